#!/usr/bin/env python3
"""quoranth benchmark suite.

    python benchmarks/bench.py                 # full run, writes benchmarks/RESULTS.md
    python benchmarks/bench.py --quick         # small sizes, smoke test
    python benchmarks/bench.py --no-peers      # quoranth and the pure-Python book only

Runs every workload for quoranth and for the pure-Python book in this process
(each case with its own call-floor measurement), the peer packages in worker
processes started with the peers' interpreter (benchmarks/.venv-peers), the
memory probes in fresh processes, and the native engine benchmark if its
binary is given. Figures are medians over several passes; ratios are taken
per pass against the floor measured in that pass, so comparisons between
books are made on floor-normalised figures, which hold up on a busy machine.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import adapters  # noqa: E402
import harness  # noqa: E402
import streams as st  # noqa: E402

PEER_ORDER = ["limit-order-book", "cython-orderbook", "order-book", "fastlob", "lightmatchingengine"]
SLOW_PEERS = {"fastlob", "lightmatchingengine"}
MATCHING_PEERS = {"limit-order-book", "cython-orderbook", "fastlob", "lightmatchingengine"}


def log(*a):
    print(*a, flush=True)


# ---------------------------------------------------------------------------
# worker modes (also used for peers, under their own interpreter)

def run_suite(name: str, profile: harness.Profile, data: dict, budget: float | None,
              floor: harness.Floor | None = None, out: str | None = None) -> dict:
    adapter = adapters.make(name)
    floor = floor or harness.Floor(profile.n)
    t0 = time.monotonic()

    def suite(results):
        return {"name": adapter.name, "key": name, "version": adapter.version, "kind": adapter.kind,
                "notes": adapter.notes, "results": results,
                "seconds": round(time.monotonic() - t0, 1)}

    def saved(results):
        # a worker keeps its file current, so that a run cut short still reports
        if out:
            with open(out + ".part", "w") as f:
                json.dump(suite(results), f)
            os.replace(out + ".part", out)
    runner = harness.Runner(adapter, profile, floor, log=log, deadline=harness.Deadline(budget),
                            saved=saved)
    runner.micro()
    hint = runner.results.get("add_rest", {}).get("ns")
    flow_paths = {int(k): v for k, v in data["flows"].items()}
    runner._run("flow_floor", lambda: runner.flow_floor(flow_paths[min(flow_paths)]))
    runner.flow(flow_paths, add_ns_hint=hint if name != "quoranth" else None)
    runner._run("replay", lambda: runner.replay(data["replays"]))
    return suite(runner.results)


def worker_main(args) -> None:
    with open(os.path.join(args.data, "index.json")) as f:
        data = json.load(f)
    profile = harness.Profile(quick=args.quick, slow=args.worker in SLOW_PEERS)
    profile.depths = tuple(d for d in profile.depths if str(d) in data["flows"])
    out = run_suite(args.worker, profile, data, args.budget, out=args.out)
    with open(args.out, "w") as f:
        json.dump(out, f)


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
    return {"cpu": cpu, "cores": os.cpu_count(), "memory": mem,
            "os": f"{platform.system()} {platform.release()}",
            "python": platform.python_version(), "implementation": platform.python_implementation(),
            "date": datetime.datetime.now().strftime("%Y-%m-%d %H:%M"),
            "load": " ".join(f"{x:.2f}" for x in os.getloadavg())}


def make_data(tmp: str, profile: harness.Profile) -> dict:
    """Generates the shared streams once; workers and the engine benchmark read them."""
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


def cross_check(data: dict) -> str:
    """Replays the recorded flow through quoranth and the pure-Python book and
    compares the books they end with, so that the two are known to do the same work."""
    try:
        books = [adapters.make("quoranth"), adapters.make("pure-python")]
    except ImportError:
        return "not run (quoranth not importable)"
    paths = data["replays"] + [data["flows"][k] for k in sorted(data["flows"], key=int)[:1]]
    for path in paths:
        s = st.Stream.load(path)
        states = []
        for a in books:
            b = a.new_book()
            pre, ops = a.flow_prep(b, s)
            a.flow_fill(b, pre)
            fills = 0
            for code, arg in ops:
                if code == 0:
                    fills += len(b.add(arg))
                elif code == 1:
                    b.cancel(arg)
            states.append((fills, b.best_bid(), b.best_ask(), b.buy_volume(), b.sell_volume(),
                           [(o.price_in_ticks, o.quantity) for o in b.buy_orders],
                           [(o.price_in_ticks, o.quantity) for o in b.sell_orders]))
        if states[0] != states[1]:
            return f"MISMATCH on {os.path.basename(path)}: quoranth {states[0][:5]} vs pure-Python {states[1][:5]}"
    return (f"quoranth and the pure-Python book produce the same fills and end with the same resting "
            f"orders on {len(paths)} streams")


def run_subprocess(cmd, timeout, out_path):
    t0 = time.monotonic()
    try:
        proc = subprocess.run(cmd, timeout=timeout, capture_output=True, text=True)
    except subprocess.TimeoutExpired as e:
        sys.stdout.write(e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or ""))
        if os.path.exists(out_path):
            with open(out_path) as f:
                res = json.load(f)
            res["partial"] = f"stopped after {timeout} s"
            return res, None
        return None, f"timed out after {timeout} s"
    sys.stdout.write(proc.stdout)
    if proc.returncode != 0 or not os.path.exists(out_path):
        tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
        return None, f"exit {proc.returncode}: " + " | ".join(tail)[:300]
    with open(out_path) as f:
        res = json.load(f)
    res.setdefault("seconds", round(time.monotonic() - t0, 1))
    return res, None


def peer_installed(python: str, peer: str) -> str | None:
    mod = {"limit-order-book": "limit_order_book", "cython-orderbook": "cython_orderbook",
           "order-book": "order_book", "fastlob": "fastlob",
           "lightmatchingengine": "lightmatchingengine.lightmatchingengine"}[peer]
    r = subprocess.run([python, "-c", f"import {mod}"], capture_output=True, text=True)
    return None if r.returncode == 0 else (r.stderr.strip().splitlines() or ["import failed"])[-1]


def run_engine_bench(binary: str, data: dict, tmp: str) -> dict | None:
    if not binary or not os.path.exists(binary):
        return None
    out = os.path.join(tmp, "engine.json")
    cmd = [binary, "--json", out]
    for d, path in data["flow_texts"].items():
        cmd += ["--flow", f"{d}={path}"]
    for path in data["replay_texts"]:
        cmd += ["--replay", path]
    log("$ " + " ".join(os.path.basename(c) if os.sep in c else c for c in cmd[:1]) + " ...")
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return {"error": "timed out"}
    sys.stdout.write(proc.stdout)
    if proc.returncode != 0 or not os.path.exists(out):
        return {"error": f"exit {proc.returncode}: {proc.stderr.strip()[-300:]}"}
    with open(out) as f:
        return json.load(f)


def main_run(args) -> int:
    t_start = time.monotonic()
    profile = harness.Profile(quick=args.quick)
    info = machine_info()
    log(f"quoranth benchmarks on {info['cpu']} ({info['cores']} cores), Python {info['python']}")
    tmp = tempfile.mkdtemp(prefix="quoranth-bench-")
    try:
        log("generating streams")
        data = make_data(tmp, profile)
        suites = {}
        floor = harness.Floor(profile.n)
        check = cross_check(data)
        log(f"cross-check: {check}")

        for name in ("quoranth", "pure-python"):
            log(f"running {name}")
            try:
                suites[name] = run_suite(name, profile, data, None, floor)
            except ImportError as e:
                log(f"  {name} unavailable: {e}")
                suites[name] = {"name": name, "error": f"not importable: {e}"}
            gc.collect()

        engine = run_engine_bench(args.engine_bench, data, tmp)

        peers_python = args.peers_python
        peers = {}
        if not args.no_peers:
            if not peers_python or not os.path.exists(peers_python):
                log(f"peers venv not found ({peers_python}); peers not run")
            for peer in PEER_ORDER:
                if not peers_python or not os.path.exists(peers_python):
                    peers[peer] = {"name": peer, "error": "peers environment missing"}
                    continue
                missing = peer_installed(peers_python, peer)
                if missing:
                    log(f"running {peer}: not installed ({missing})")
                    peers[peer] = {"name": peer, "error": f"not installed: {missing}"}
                    continue
                log(f"running {peer}")
                budget = args.peer_budget if peer in SLOW_PEERS else args.peer_budget * 1.5
                out = os.path.join(tmp, f"peer_{peer}.json")
                cmd = [peers_python, os.path.join(HERE, "bench.py"), "--worker", peer,
                       "--data", tmp, "--out", out, "--budget", str(budget)]
                if args.quick:
                    cmd.append("--quick")
                res, err = run_subprocess(cmd, budget + 120, out)
                peers[peer] = res or {"name": peer, "error": err}
                if err:
                    log(f"  {peer}: {err}")

        memory = {}
        if not args.no_memory:
            mem_n = 100_000 if args.quick else 1_000_000
            jobs = [("quoranth", sys.executable, mem_n), ("pure-python", sys.executable, mem_n)]
            if not args.no_peers and peers_python and os.path.exists(peers_python):
                for peer in PEER_ORDER:
                    if "error" in peers.get(peer, {"error": 1}):
                        continue
                    jobs.append((peer, peers_python, min(mem_n, 100_000) if peer in SLOW_PEERS else mem_n))
            for name, py, n in jobs:
                if name == "quoranth" and "error" in suites.get("quoranth", {}):
                    continue
                out = os.path.join(tmp, f"mem_{name}.json")
                log(f"memory {name} ({n:,} resting orders)")
                res, err = run_subprocess([py, os.path.join(HERE, "bench.py"), "--memory", name,
                                           "--orders", str(n), "--out", out], 300, out)
                memory[name] = res or {"error": err}
                if res:
                    log(f"  {res['bytes_per_order']:.1f} bytes per resting order")
                else:
                    log(f"  {err}")

        info["seconds"] = round(time.monotonic() - t_start)
        report = {"machine": info, "profile": vars(profile), "streams": data["info"], "check": check,
                  "data_dir": data["data_dir"], "suites": suites, "peers": peers,
                  "memory": memory, "engine": engine}
        import report as rp
        text = rp.render(report)
        log("")
        log(text)
        if args.out:
            with open(args.out, "w") as f:
                f.write(text)
            log(f"wrote {args.out}")
        if args.json:
            with open(args.json, "w") as f:
                json.dump(report, f, indent=1)
        return 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small sizes, for a smoke test")
    ap.add_argument("--no-peers", action="store_true", help="skip the peer packages")
    ap.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    ap.add_argument("--peers-python", default=os.path.join(HERE, ".venv-peers", "bin", "python"),
                    help="interpreter of the venv holding the peer packages")
    ap.add_argument("--peer-budget", type=float, default=60.0,
                    help="seconds of work allowed per slow peer (fast peers get 1.5x)")
    ap.add_argument("--engine-bench", default=os.path.join(ROOT, "build", "bench", "engine_bench"),
                    help="native engine benchmark binary, if built")
    ap.add_argument("--out", default=os.path.join(HERE, "RESULTS.md"), help="markdown report path ('' for none)")
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
    return main_run(args)


if __name__ == "__main__":
    sys.exit(main())
