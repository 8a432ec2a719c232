"""Crafted against random prices from Python: the time to add one buy at each
of N prices and cancel them all, for price sets an adversary might pick,
against the same count of random prices over the same range.

    python benchmarks/crafted_prices.py [N] [--churn FILE] [--json OUT]

With ``--churn``, also the outside-window case that ``engine_bench
--write-churn FILE`` wrote: a book holding its resting prices, where each
crafted price (outside the ladder window) or random one (over the same range)
is added and cancelled at once.

Prints one line per set, ``python crafted/random <set>: <ratio>x``, and with
``--json`` writes the figures. Times are this thread's CPU time; crafted and
random passes take turns at going first, and the ratio is the median of each
pass's own ratio, so that both sides of it ran under the same conditions.
"""

import argparse
import json
import random
import statistics
import sys
import time

from quoranth import Order, OrderBook, OrderType

INT64_MAX = 2**63 - 1
MULTIPLIER = 0x9E3779B97F4A7C15  # the multiplier of the old price hash
PASSES = 5


def price_sets(n):
    inverse = pow(MULTIPLIER, -1, 2**64)
    flood = [p for p in (j * inverse % 2**64 for j in range(1, 3 * n)) if 0 < p <= INT64_MAX][:n]
    base = 1_000_000_000
    return {
        "inverse_multiplier": (flood, 1, INT64_MAX),
        "alternating_ends": ([base + 32 * j if j % 2 == 0 else base + 64 * n - 32 * j for j in range(n)],
                             base, base + 64 * n),
        "far_strides": ([base + (j * 7919 % n) * 4096 for j in range(n)], base, base + n * 4096),
        "each_a_new_best": ([base + j for j in range(n)], base, base + n),
    }


def add_all_then_cancel(prices):
    """Seconds to add a buy at each price, then cancel them all."""
    orders = [Order(OrderType.Buy, p, 1.0) for p in prices]
    book = OrderBook()
    add, cancel = book.add, book.cancel
    t0 = time.thread_time()
    for o in orders:
        add(o)
    for o in orders:
        cancel(o.id)
    return time.thread_time() - t0


def add_and_cancel_each(resting, prices):
    """Seconds to add a buy at each price and cancel it at once, on a book
    holding buys at the resting prices."""
    book = OrderBook()
    for p in resting:
        book.add(Order(OrderType.Buy, p, 1.0))
    orders = [Order(OrderType.Buy, p, 1.0) for p in prices]
    add, cancel = book.add, book.cancel
    t0 = time.thread_time()
    for o in orders:
        add(o)
        cancel(o.id)
    return time.thread_time() - t0


def compare(name, ops, time_crafted, time_random):
    crafted, uniform, ratios = [], [], []
    for i in range(PASSES):
        if i % 2 == 0:
            c = time_crafted()
            r = time_random()
        else:
            r = time_random()
            c = time_crafted()
        crafted.append(c)
        uniform.append(r)
        ratios.append(c / r)
    # The shape of engine_bench's JSON for the same comparison.
    result = {"crafted": {"ns_per_op": statistics.median(crafted) * 1e9 / ops},
              "random": {"ns_per_op": statistics.median(uniform) * 1e9 / ops},
              "ratio": statistics.median(ratios)}
    print(f"python crafted {name} {result['crafted']['ns_per_op']:.0f} ns/op, "
          f"random {result['random']['ns_per_op']:.0f} ns/op; crafted/random {name}: {result['ratio']:.2f}x",
          flush=True)
    return result


def read_churn(path):
    with open(path) as f:
        counts = [int(x) for x in f.readline().split()]
        prices = [int(line) for line in f]
    resting = prices[:counts[0]]
    outside = prices[counts[0]:counts[0] + counts[1]]
    uniform = prices[counts[0] + counts[1]:counts[0] + counts[1] + counts[2]]
    return resting, outside, uniform


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("n", nargs="?", type=int, default=50_000)
    parser.add_argument("--churn", help="the outside-window prices engine_bench --write-churn wrote")
    parser.add_argument("--json", help="where to write the figures")
    args = parser.parse_args(argv)
    rng = random.Random(5)
    results = {}
    for name, (crafted, low, high) in price_sets(args.n).items():
        uniform = [rng.randint(low, high) for _ in range(args.n)]
        results[name] = compare(name, 2 * len(crafted), lambda: add_all_then_cancel(crafted),
                                lambda: add_all_then_cancel(uniform))
    if args.churn:
        resting, outside, uniform = read_churn(args.churn)
        results["outside_window"] = compare("outside_window", 2 * len(outside),
                                            lambda: add_and_cancel_each(resting, outside),
                                            lambda: add_and_cancel_each(resting, uniform))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f)


if __name__ == "__main__":
    main(sys.argv[1:])
