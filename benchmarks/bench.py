#!/usr/bin/env python3
"""quoranth benchmark suite.

    python benchmarks/bench.py                 # full run, writes benchmarks/RESULTS.md
    python benchmarks/bench.py --quick         # small sizes, smoke test
    python benchmarks/bench.py --no-peers      # quoranth and the pure-Python book only
    python benchmarks/bench.py --only engine   # some sections only (see sections/)
    python benchmarks/bench.py --only head_to_head --with limit-order-book
                                               # quoranth against one peer

The report is made of sections (``benchmarks/sections/``, one module each).
The head-to-head runs quoranth and each other book in one worker process per
pair under the benchmark venv (benchmarks/.venv-peers, which holds the peer
packages and a wheel of quoranth), their passes interleaved; memory is probed
in fresh processes; the native engine benchmark runs if its binary is given.
A run with --only, --with or --quick prints its report but does not write
RESULTS.md unless --out says where.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import importlib
import json
import os
import platform
import shutil
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import adapters  # noqa: E402
import harness  # noqa: E402
import streams as st  # noqa: E402
from sections import ORDER, SLOW_PEERS, Context  # noqa: E402


def log(*a):
    print(*a, flush=True)


# ---------------------------------------------------------------------------
# worker modes (run under the benchmark venv's interpreter)

def worker_main(args) -> None:
    """Runs every case for the listed books (the first is the subject), interleaved."""
    with open(os.path.join(args.data, "index.json")) as f:
        data = json.load(f)
    t0 = time.monotonic()
    books = []
    for i, name in enumerate(args.worker.split(",")):
        profile = harness.Profile(quick=args.quick, slow=name in SLOW_PEERS)
        profile.depths = tuple(d for d in profile.depths if str(d) in data["flows"])
        # the subject runs everything; the others stop at their budget
        deadline = harness.Deadline(args.budget if i else None)
        books.append((name, harness.Book(adapters.make(name), profile, deadline)))

    def saved():
        # kept current, so that a worker cut short still reports what it measured
        out = {"books": {name: {"name": b.a.name, "version": b.a.version, "kind": b.a.kind,
                                "notes": b.a.notes, "results": b.results} for name, b in books},
               "digest": _digest(), "seconds": round(time.monotonic() - t0, 1)}
        with open(args.out + ".part", "w") as f:
            json.dump(out, f)
        os.replace(args.out + ".part", args.out)

    runner = harness.Runner([b for _, b in books], harness.Floor(), log=log, saved=saved)
    runner.run_all({int(k): v for k, v in data["flows"].items()}, data["replays"])
    saved()


def _digest():
    from sections.head_to_head import extension_digest
    return extension_digest()


def memory_main(args) -> None:
    adapter = adapters.make(args.memory)
    gc.disable()
    out = harness.memory_probe(adapter, args.orders)
    out["name"] = adapter.name
    with open(args.out, "w") as f:
        json.dump(out, f)


# ---------------------------------------------------------------------------
# orchestration

def machine_info() -> dict:
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "?"
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = f"{kb / 1024 / 1024:.0f} GiB"
    except OSError:
        pass
    try:
        from importlib.metadata import version
        quoranth = version("quoranth")
    except Exception:
        quoranth = "not available"
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": mem,
            "os": f"{platform.system()} {platform.release()}",
            "python": platform.python_version(), "implementation": platform.python_implementation(),
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"), "quoranth": quoranth,
            "load": " ".join(f"{x:.2f}" for x in os.getloadavg())}


def make_data(tmp: str, profile: harness.Profile) -> dict:
    """Generates the shared streams once; workers and the engine benchmark read them."""
    log("generating streams")
    gc.disable()

    def save(s, stem):
        # binary for the Python workers, text for the engine benchmark
        path, text = os.path.join(tmp, stem + ".bin"), os.path.join(tmp, stem + ".txt")
        s.dump(path)
        st.write_text_stream(s, text)
        return path, text

    flows, flow_texts, infos = {}, {}, {}
    n_ops = profile.flow_passes * profile.flow_segment
    for depth in profile.depths:
        t0 = time.monotonic()
        s = st.mixed_flow(depth, n_ops)
        flows[str(depth)], flow_texts[str(depth)] = save(s, f"flow_{depth}")
        infos[f"flow_{depth}"] = s.info
        log(f"  stream flow_{depth}: {s.info['end_orders']:,} orders on {s.info['end_levels']:,} "
            f"levels after {n_ops:,} ops ({time.monotonic() - t0:.1f} s)")
        del s
    replays, replay_texts = [], []
    ddir = st.lobster_dir(ROOT)
    if ddir:
        for i, s in enumerate(st.replay_streams(ddir)):
            path, text = save(s, f"replay_{i}")
            replays.append(path)
            replay_texts.append(text)
            infos[f"replay_{i}"] = s.info
            log(f"  stream replay {s.info['file']}: {s.info['ops']:,} ops from {s.info['messages']:,} messages")
    gc.enable()
    data = {"flows": flows, "flow_texts": flow_texts, "replays": replays,
            "replay_texts": replay_texts, "info": infos, "data_dir": ddir}
    with open(os.path.join(tmp, "index.json"), "w") as f:
        json.dump(data, f)
    return data


def main_run(args) -> int:
    t_start = time.monotonic()
    profile = harness.Profile(quick=args.quick)
    info = machine_info()
    log(f"quoranth benchmarks on {info['cpu']} ({info['cores']} cores), Python {info['python']}")
    names = args.only.split(",") if args.only else ORDER
    unknown = [n for n in names if n not in ORDER]
    if unknown:
        log(f"unknown section(s): {', '.join(unknown)}; the sections are {', '.join(ORDER)}")
        return 2
    tmp = tempfile.mkdtemp(prefix="quoranth-bench-")
    try:
        ctx = Context(quick=args.quick, profile=profile, tmp=tmp, bench_python=args.peers_python,
                      peers=not args.no_peers, memory=not args.no_memory, peer_budget=args.peer_budget,
                      engine_bench=args.engine_bench, make_data=lambda: make_data(tmp, profile), log=log,
                      pair_with=[n for n in args.pair_with.split(",") if n])
        done = []
        for name in [n for n in ORDER if n in names]:
            mod = importlib.import_module(f"sections.{name}")
            log(f"== {name}")
            t0 = time.monotonic()
            try:
                res = mod.run(ctx)
            except Exception as e:  # one broken section must not lose the others
                log(f"  section {name} failed: {type(e).__name__}: {e}")
                res = {"unavailable": f"the benchmark failed: {type(e).__name__}: {e}"[:300]}
            ctx.results[name] = res
            done.append((name, mod, res))
            log(f"  ({time.monotonic() - t0:.0f} s)")
            gc.collect()

        info["seconds"] = round(time.monotonic() - t_start)
        import report
        text = report.render(info, done, ctx)
        log("")
        log(text)
        if args.out:
            with open(args.out, "w") as f:
                f.write(text)
            log(f"wrote {args.out}")
        if args.json:
            with open(args.json, "w") as f:
                json.dump({"machine": info, "sections": ctx.results}, f, indent=1)
        return 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    ap.add_argument("--only", default="", help="comma-separated sections to run: " + ", ".join(ORDER))
    ap.add_argument("--no-peers", action="store_true", help="skip the peer packages")
    ap.add_argument("--with", dest="pair_with", default="",
                    help="comma-separated books to pair quoranth with (default: the pure-Python book and every peer)")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    ap.add_argument("--peers-python", default=os.path.join(HERE, ".venv-peers", "bin", "python"),
                    help="interpreter of the benchmark venv (the peers and quoranth)")
    ap.add_argument("--peer-budget", type=float, default=60.0,
                    help="seconds of work allowed per slow peer (fast peers get 1.5x)")
    ap.add_argument("--engine-bench", default=os.path.join(ROOT, "build", "bench", "engine_bench"),
                    help="native engine benchmark binary, if built")
    ap.add_argument("--out", default=None,
                    help="markdown report path ('' for none; default benchmarks/RESULTS.md for a full run)")
    ap.add_argument("--json", default="", help="also write the raw figures as JSON")
    # worker modes
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    ap.add_argument("--memory", help=argparse.SUPPRESS)
    ap.add_argument("--orders", type=int, default=1_000_000, help=argparse.SUPPRESS)
    ap.add_argument("--data", help=argparse.SUPPRESS)
    ap.add_argument("--budget", type=float, default=None, help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        worker_main(args)
        return 0
    if args.memory:
        memory_main(args)
        return 0
    if args.out is None:
        # a partial run never overwrites the full report
        args.out = "" if args.only or args.quick or args.pair_with else os.path.join(HERE, "RESULTS.md")
    return main_run(args)


if __name__ == "__main__":
    sys.exit(main())
