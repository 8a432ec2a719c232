"""Snapshots of a large book: pickle and unpickle time, pickle size per resting order.

Measured as soon as ``OrderBook`` pickles; until then the section says so.
"""

from __future__ import annotations

import gc
import pickle
import statistics
import time

import adapters
import harness
from report import table
from sections import Target

ORDERS = 1_000_000
SECONDS = 1.0          # pickle and unpickle together
BYTES_PER_ORDER = 100


def run(ctx) -> dict:
    try:
        a = adapters.make("quoranth")
        pickle.loads(pickle.dumps(a.new_book(), protocol=pickle.HIGHEST_PROTOCOL))
    except ImportError as e:
        return {"unavailable": f"quoranth not importable: {e}"}
    except (TypeError, pickle.PicklingError) as e:
        return {"unavailable": f"`OrderBook` does not pickle yet ({type(e).__name__}: {e})"}
    n = 100_000 if ctx.quick else ORDERS
    gc.disable()
    try:
        book = harness.resting_book(a, n)
        dumps, loads, size, same = [], [], 0, True
        for _ in range(3):
            t0 = time.perf_counter()
            blob = pickle.dumps(book, protocol=pickle.HIGHEST_PROTOCOL)
            t1 = time.perf_counter()
            copy = pickle.loads(blob)
            t2 = time.perf_counter()
            dumps.append(t1 - t0)
            loads.append(t2 - t1)
            size = len(blob)
            same = same and _view(copy) == _view(book)
            del blob, copy
    finally:
        gc.enable()
    return {"orders": n, "dumps_s": statistics.median(dumps), "loads_s": statistics.median(loads),
            "bytes": size, "restored_equal": same}


def _view(book):
    return (book.best_bid(), book.best_ask(), book.buy_volume(), book.sell_volume(),
            len(book.buy_orders), len(book.sell_orders))


def render(res, ctx) -> list[str]:
    L = ["## Snapshots", ""]
    if "unavailable" in res:
        return L + [f"Not measured: {res['unavailable']}.", ""]
    n = res["orders"]
    L += [f"A book of {n:,} resting orders (about ten per level), pickled with the highest protocol "
          "and unpickled; median of 3. The restored book "
          + ("shows the same views as the original." if res["restored_equal"]
             else "**does not show the same views as the original**."), ""]
    L += table(["", "time", "per resting order"],
               [["`pickle.dumps`", f"{res['dumps_s'] * 1e3:,.0f} ms", f"{res['dumps_s'] / n * 1e9:.0f} ns"],
                ["`pickle.loads`", f"{res['loads_s'] * 1e3:,.0f} ms", f"{res['loads_s'] / n * 1e9:.0f} ns"],
                ["pickle size", f"{res['bytes'] / 1e6:,.1f} MB", f"{res['bytes'] / n:.1f} bytes"]])
    return L + [""]


def targets(res, ctx) -> list[Target]:
    t_text = f"a {ORDERS:,}-order book pickles and unpickles in < {SECONDS:g} s (issue 12)"
    b_text = f"its pickle < {BYTES_PER_ORDER} bytes per resting order (issue 12)"
    if "unavailable" in res:
        return [Target.unmeasured(t_text, res["unavailable"]), Target.unmeasured(b_text, res["unavailable"])]
    full = res["orders"] >= ORDERS and res["restored_equal"]
    note = "" if res["restored_equal"] else "; the restored book differs"
    total = res["dumps_s"] + res["loads_s"]
    per = res["bytes"] / res["orders"]
    return [Target(total < SECONDS if full else None, t_text,
                   f"{total:.2f} s ({res['dumps_s']:.2f} + {res['loads_s']:.2f}) at {res['orders']:,}{note}"),
            Target(per < BYTES_PER_ORDER if full else None, b_text, f"{per:.1f} bytes at {res['orders']:,}{note}")]
