"""Crafted against random prices from Python: the time to add one buy at each
of N prices and cancel them all, for price sets an adversary might pick,
against the same count of random prices over the same range.

    python benchmarks/crafted_prices.py [N]

Prints one line per set, ``python crafted/random <set>: <ratio>x``. Times are
this thread's CPU time, the best of five passes each, crafted and random passes
taken in turn.
"""

import random
import sys
import time

from quoranth import Order, OrderBook, OrderType

INT64_MAX = 2**63 - 1
MULTIPLIER = 0x9E3779B97F4A7C15  # the multiplier of the old price hash


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


def cost(prices):
    orders = [Order(OrderType.Buy, p, 1.0) for p in prices]
    book = OrderBook()
    add, cancel = book.add, book.cancel
    t0 = time.thread_time()
    for o in orders:
        add(o)
    for o in orders:
        cancel(o.id)
    return time.thread_time() - t0


def main(n):
    rng = random.Random(5)
    for name, (crafted, low, high) in price_sets(n).items():
        uniform = [rng.randint(low, high) for _ in range(n)]
        best_crafted = best_random = float("inf")
        for _ in range(5):
            best_crafted = min(best_crafted, cost(crafted))
            best_random = min(best_random, cost(uniform))
        ns = 1e9 / (2 * n)
        print(f"python crafted {name} {best_crafted * ns:.0f} ns/op, random {best_random * ns:.0f} ns/op; "
              f"crafted/random {name}: {best_crafted / best_random:.2f}x")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 50_000)
