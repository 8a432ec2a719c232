"""Resident bytes per resting order, each book probed in a fresh process."""

from __future__ import annotations

import os
import sys

from report import table
from sections import PEERS, SLOW_PEERS, Target

LIMIT = 110   # bytes per resting order, index entry included


def run(ctx) -> dict:
    if not ctx.memory:
        return {"unavailable": "not measured in this run (`--no-memory`)"}
    n = 100_000 if ctx.quick else 1_000_000
    jobs = [("quoranth", sys.executable, n), ("pure-python", sys.executable, n)]
    jobs += [(p, ctx.bench_python, min(n, 100_000) if p in SLOW_PEERS else n)
             for p in PEERS if ctx.missing(p) is None]
    probes = {}
    for name, python, orders in jobs:
        out = os.path.join(ctx.tmp, f"mem_{name}.json")
        ctx.log(f"memory {name} ({orders:,} resting orders)")
        res, err = ctx.run_json([python, ctx.bench_py(), "--memory", name, "--orders", str(orders),
                                 "--out", out], 300, out)
        probes[name] = res or {"error": err}
        ctx.log(f"  {res['bytes_per_order']:.1f} bytes per resting order" if res else f"  {err}")
    return {"probes": probes}


def render(res, ctx) -> list[str]:
    L = ["## Memory per resting order", ""]
    if "unavailable" in res:
        return L + [res["unavailable"] + ".", ""]
    L += ["Resident-set growth per resting order (index entry included), measured in a fresh "
          "process after a garbage collection, less the growth of the same driving loop run "
          "without a book (it keeps no objects). Prices spread over as many levels as in the "
          "mixed flow (about ten orders per level).", ""]
    rows = []
    for name in ["quoranth", "pure-python"] + PEERS:
        r = res["probes"].get(name)
        if not r:
            continue
        label = {"pure-python": "pure-Python"}.get(name, name)
        if "error" in r:
            rows.append([label, "–", r["error"]])
        else:
            extra = " (levels only)" if name == "order-book" else ""
            rows.append([label, f"{r['orders']:,}", f"{r['bytes_per_order']:.0f}{extra}"])
    return L + table(["book", "resting orders", "bytes per order"], rows) + [""]


def targets(res, ctx) -> list[Target]:
    text = f"≤ {LIMIT} bytes per resting order at 1,000,000, from Python (issue 10)"
    r = (res.get("probes") or {}).get("quoranth") or {}
    if "bytes_per_order" not in r:
        return [Target.unmeasured(text, res.get("unavailable") or r.get("error") or "not measured")]
    ok = r["bytes_per_order"] <= LIMIT if r["orders"] >= 1_000_000 else None
    return [Target(ok, text, f"{r['bytes_per_order']:.0f} bytes at {r['orders']:,}")]
