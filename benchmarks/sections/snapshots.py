"""Snapshots of a large book: pickle and unpickle time, pickle size per resting order.

Measured as soon as ``OrderBook`` pickles; until then the section says so.
"""

from __future__ import annotations

import gc
import pickle
import statistics
import time
from array import array

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
    res = {"orders": n, "books": {}}
    # The same orders added one by one, and by one batch that names each by a
    # key (as a replay's book is built), whose keys the state carries too.
    for name, make in (("added", lambda: harness.resting_book(a, n)), ("keyed", lambda: _keyed_book(n))):
        gc.disable()
        try:
            res["books"][name] = _measure(make())
        finally:
            gc.enable()
    return res


def _keyed_book(n: int):
    import quoranth
    columns = [array("b"), array("q"), array("b"), array("q"), array("d")]

    def add(side, price, quantity):
        for column, value in zip(columns, (1, len(columns[0]), side, price, quantity)):
            column.append(value)
    harness.drive_resting(add, n)
    book = quoranth.OrderBook()
    book.apply_batch(*columns)
    return book


def _measure(book) -> dict:
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
    return {"dumps_s": statistics.median(dumps), "loads_s": statistics.median(loads), "bytes": size,
            "restored_equal": same}


def _view(book):
    return (book.best_bid(), book.best_ask(), book.buy_volume(), book.sell_volume(),
            len(book.buy_orders), len(book.sell_orders))


BOOK_NAMES = {"added": "orders added one by one", "keyed": "the same orders added by one keyed `apply_batch`"}


def render(res, ctx) -> list[str]:
    L = ["## Snapshots", ""]
    if "unavailable" in res:
        return L + [f"Not measured: {res['unavailable']}.", ""]
    n, books = res["orders"], res["books"]
    same = all(b["restored_equal"] for b in books.values())
    L += [f"A book of {n:,} resting orders (about ten per level), pickled with the highest protocol "
          "and unpickled; median of 3. A book built by a batch also keeps each order's key. Each restored book "
          + ("shows the same views as the original." if same
             else "**does not show the same views as the original**."), ""]
    rows = []
    for name, b in books.items():
        rows.append([BOOK_NAMES[name], f"{b['dumps_s'] * 1e3:,.0f} ms ({b['dumps_s'] / n * 1e9:.0f} ns)",
                     f"{b['loads_s'] * 1e3:,.0f} ms ({b['loads_s'] / n * 1e9:.0f} ns)",
                     f"{b['bytes'] / 1e6:,.1f} MB ({b['bytes'] / n:.1f} bytes)"])
    L += table(["book", "`pickle.dumps` (per order)", "`pickle.loads` (per order)", "pickle size (per order)"], rows)
    return L + [""]


def targets(res, ctx) -> list[Target]:
    t_text = f"a {ORDERS:,}-order book pickles and unpickles in < {SECONDS:g} s (issue 12)"
    b_text = f"its pickle < {BYTES_PER_ORDER} bytes per resting order (issue 12)"
    if "unavailable" in res:
        return [Target.unmeasured(t_text, res["unavailable"]), Target.unmeasured(b_text, res["unavailable"])]
    out = []
    for name, b in res["books"].items():
        full = res["orders"] >= ORDERS and b["restored_equal"]
        note = "" if b["restored_equal"] else "; the restored book differs"
        total = b["dumps_s"] + b["loads_s"]
        per = b["bytes"] / res["orders"]
        which = f", {BOOK_NAMES[name]} (issue 12)"
        out += [Target(total < SECONDS if full else None, t_text.replace(" (issue 12)", which),
                       f"{total:.2f} s ({b['dumps_s']:.2f} + {b['loads_s']:.2f}) at {res['orders']:,}{note}"),
                Target(per < BYTES_PER_ORDER if full else None, b_text.replace(" (issue 12)", which),
                       f"{per:.1f} bytes at {res['orders']:,}{note}")]
    return out
