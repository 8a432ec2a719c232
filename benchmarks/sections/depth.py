"""``depth(10)`` against ``best_bid()`` on a large book, in one process, interleaved.

Measured as soon as ``OrderBook`` has ``depth``; until then the section says so.
"""

from __future__ import annotations

import gc
import statistics

import adapters
import harness
from loops import time_each, time_repeat
from report import ns, table
from sections import Target

ORDERS = 1_000_000
LIMIT = 50     # depth(10) / best_bid
PASSES = 7


def run(ctx) -> dict:
    try:
        a = adapters.make("quoranth")
    except ImportError as e:
        return {"unavailable": f"quoranth not importable: {e}"}
    if not hasattr(a.m.OrderBook, "depth"):
        return {"unavailable": "`OrderBook.depth` does not exist yet"}
    n = 100_000 if ctx.quick else ORDERS
    gc.disable()
    try:
        book = harness.resting_book(a, n)
        calls = 20_000
        tens = [10] * (calls // 10)
        depth, best, ratios = [], [], []
        for i in range(PASSES):
            # the two take turns, so that both see the same machine
            if i % 2:
                b = time_repeat(book.best_bid, calls) / calls
                d = time_each(book.depth, tens) / len(tens)
            else:
                d = time_each(book.depth, tens) / len(tens)
                b = time_repeat(book.best_bid, calls) / calls
            depth.append(d)
            best.append(b)
            ratios.append(d / b)
        levels = book.depth(10)
    finally:
        gc.enable()
    return {"orders": n, "depth_ns": statistics.median(depth), "best_bid_ns": statistics.median(best),
            "ratio": statistics.median(ratios), "levels": [len(levels[0]), len(levels[1])]}


def render(res, ctx) -> list[str]:
    L = ["## Depth view against the best bid", ""]
    if "unavailable" in res:
        return L + [f"Not measured: {res['unavailable']}.", ""]
    L += [f"A book of {res['orders']:,} resting orders, about ten per level; `depth(10)` returned "
          f"{res['levels'][0]} bid and {res['levels'][1]} ask levels. Median of {PASSES} interleaved passes.", ""]
    L += table(["call", "per call", "× best_bid"],
               [["`best_bid()`", ns(res["best_bid_ns"]), "1"],
                ["`depth(10)`", ns(res["depth_ns"]), f"{res['ratio']:.1f}"]])
    return L + [""]


def targets(res, ctx) -> list[Target]:
    text = f"`depth(10)` ≤ {LIMIT}× `best_bid()` on a {ORDERS:,}-order book (issue 12)"
    if "unavailable" in res:
        return [Target.unmeasured(text, res["unavailable"])]
    ok = res["ratio"] <= LIMIT if res["orders"] >= ORDERS else None
    return [Target(ok, text, f"{res['ratio']:.1f}× ({ns(res['depth_ns'])} vs {ns(res['best_bid_ns'])}) "
                             f"at {res['orders']:,}")]
