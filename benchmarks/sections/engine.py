"""The matching engine alone (C++, no Python), on the same streams as the head-to-head.

Runs the native benchmark (benchmarks/engine_bench.cpp, built by make) with
the streams' text files. It prints one line per case,
``engine <case> <ns/op> ns/op <M ops/s> M ops/s``, and writes the figures as
JSON (``--json``): the lines give the table (so new cases show up by
themselves), the JSON the targets. Then the crafted price sets, the
outside-window one included (whose prices the native benchmark writes), are
timed against random prices from Python as well (crafted_prices.py).
"""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys

from report import table
from sections import Target

LINE = re.compile(r"^\s*engine\s+(\S+)\s+([0-9.]+)\s*ns/op\s+([0-9.]+)\s*M ops/s(?:\s+\(kernel\s+([0-9.]+)\s*ns/op\))?",
                  re.M)


# Crafted price sets are timed against random prices at this many levels.
CRAFTED_LEVELS = 50_000


def run(ctx) -> dict:
    binary = ctx.engine_bench
    if not binary or not os.path.exists(binary):
        return {"unavailable": f"engine benchmark not built ({binary})"}
    data = ctx.data
    out = os.path.join(ctx.tmp, "engine.json")
    cmd = [binary, "--json", out]
    for d, path in data["flow_texts"].items():
        cmd += ["--flow", f"{d}={path}"]
    for path in data["replay_texts"]:
        cmd += ["--replay", path]
    churn = os.path.join(ctx.tmp, "outside_window.txt")
    cmd += ["--crafted", str(CRAFTED_LEVELS), "--write-churn", churn]
    if ctx.quick:
        cmd += ["--passes", "3"]
    ctx.log(f"$ {os.path.basename(binary)} --json ... --flow ... --replay ... --crafted {CRAFTED_LEVELS}")
    stdout, res = run_for_json(ctx, cmd, out)
    if "unavailable" in res:
        return res
    res["lines"] = [[case, float(ns), float(mops), float(kernel) if kernel else None]
                    for case, ns, mops, kernel in LINE.findall(stdout)]
    res["python_crafted"] = crafted_from_python(ctx, churn)
    return res


def run_for_json(ctx, cmd, out) -> tuple[str, dict]:
    """Runs `cmd`, which writes JSON to `out`, logging what it prints; returns
    what it printed and the JSON, or {"unavailable": why} if it fails."""
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    except subprocess.TimeoutExpired:
        return "", {"unavailable": "timed out"}
    ctx.log(proc.stdout.rstrip())
    if proc.returncode != 0 or not os.path.exists(out):
        return proc.stdout, {"unavailable": f"exit {proc.returncode}: {proc.stderr.strip()[-300:]}"}
    with open(out) as f:
        return proc.stdout, json.load(f)


def crafted_from_python(ctx, churn) -> dict:
    """crafted_prices.py's figures, in a process of their own; {"unavailable": why} if it fails."""
    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "crafted_prices.py")
    out = os.path.join(ctx.tmp, "crafted_python.json")
    ctx.log(f"$ python crafted_prices.py {CRAFTED_LEVELS} --churn ... --json ...")
    _, sets = run_for_json(ctx, [sys.executable, script, str(CRAFTED_LEVELS), "--churn", churn, "--json", out], out)
    return sets if "unavailable" in sets else {"sets": sets}


def render(res, ctx) -> list[str]:
    L = ["## Engine alone (C++, no Python)", ""]
    if "unavailable" in res:
        return L + [f"Not available: {res['unavailable']}.", ""]
    L += [f"`benchmarks/engine_bench.cpp`, {res.get('compiler', '')}. Same streams as the head-to-head, "
          "orders created before the timed loop. The flows' passes take turns, one round of every depth after "
          "another, so that a stretch in which the machine runs slower falls on every depth alike; growth is the "
          "median of each round's own ratio. \"In the kernel\" is the part of the time per operation that "
          "the kernel spent for the timed loop (mean over passes): page faults of the memory the book grows into, "
          "and compacting memory for the blocks that ask for large pages. On this virtual machine freed memory "
          "goes back to the host after a few seconds, and touching it again costs a host fault for each page, so "
          "this part moves from run to run.", ""]
    rows = [[case, f"{ns:.1f}", f"{mops:.2f} M", "" if kernel is None else f"{kernel:.1f}"]
            for case, ns, mops, kernel in res.get("lines", [])]
    L += table(["case", "ns/op", "ops/s", "in the kernel, ns/op"], rows) + [""]
    py = res.get("python_crafted") or {}
    L += ["Crafted against random prices over the same range from Python, "
          f"{CRAFTED_LEVELS:,} levels (`benchmarks/crafted_prices.py`): the median of each pass's own ratio.", ""]
    if "sets" not in py:
        return L + [f"Not available: {py.get('unavailable', 'not measured')}.", ""]
    rows = [[name, f"{e['crafted']['ns_per_op']:.0f}", f"{e['random']['ns_per_op']:.0f}", f"{e['ratio']:.2f}"]
            for name, e in py["sets"].items()]
    return L + table(["set", "crafted, ns/op", "random, ns/op", "crafted / random"], rows) + [""]


def targets(res, ctx) -> list[Target]:
    flows = res.get("flows") or {}
    why = res.get("unavailable", "not measured")

    def rate(entry, limit, text):
        if not entry:
            return Target.unmeasured(text, why)
        m = entry["ops_per_s"] / 1e6
        return Target(m >= limit, text, f"{m:.1f} M/s ({entry['ns_per_op']:.0f} ns/op{kernel_part(entry)})")

    def kernel_part(entry):
        kernel = entry.get("kernel_ns_per_op")
        return "" if kernel is None else f", {kernel:.0f} of them in the kernel"

    out = [rate(flows.get("1000"), 15, "engine alone ≥ 15 M mixed ops/s at 1,000 resting (issue 10)"),
           rate(flows.get("1000000"), 4, "engine alone ≥ 4 M mixed ops/s at 1,000,000 resting (issue 10)"),
           rate(res.get("replay"), 12, "engine alone replays ≥ 12 M messages/s (issue 10)")]
    text = "engine alone: per-op cost at 1,000,000 resting ≤ 3.5× that at 1,000 (issue 10)"
    lo, hi = flows.get("1000"), flows.get("1000000")
    if lo and hi:
        # the median of the rounds' own ratios, which the benchmark takes between its first and last flow
        ends = list(flows)[0], list(flows)[-1]
        g = res["growth"] if "growth" in res and ends == ("1000", "1000000") else hi["ns_per_op"] / lo["ns_per_op"]
        kernel = hi.get("kernel_ns_per_op")
        spent = "" if kernel is None else f"; {kernel:.0f} ns of the {hi['ns_per_op']:.0f} in the kernel"
        out.append(Target(g <= 3.5, text, f"{g:.2f}× (medians {hi['ns_per_op']:.0f} vs {lo['ns_per_op']:.0f} ns{spent})"))
    else:
        out.append(Target.unmeasured(text, why))
    py = res.get("python_crafted") or {}
    for where, sets in (("engine alone", res.get("crafted")), ("from Python", py.get("sets"))):
        for name, entry in (sets or {}).items():
            text = f"{where}: crafted prices ({name}) ≤ 1.5× random ones over the same range, {CRAFTED_LEVELS:,} levels (issue 10)"
            out.append(Target(entry["ratio"] <= 1.5, text,
                              f"{entry['ratio']:.2f}× ({entry['crafted']['ns_per_op']:.0f} vs {entry['random']['ns_per_op']:.0f} ns)"))
    if "sets" not in py and "unavailable" not in res:
        out.append(Target.unmeasured("from Python: crafted prices ≤ 1.5× random ones (issue 10)",
                                     py.get("unavailable", "not measured")))
    return out
