"""An add that fails changes nothing, a batch that fails loses nothing; crafted price sets keep every
view in price order."""

import os
import subprocess
import sys
import textwrap

import pytest

from model import ModelBook, fill_key, from_module, order_key
from quoranth import Order, OrderBook, OrderType

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

# Run in a child process: it fills a book, then retries one large sweep under a tighter and tighter
# memory limit. Every try that fails must leave the whole book as it was; the first that succeeds
# must return every fill.
UNDER_MEMORY_LIMIT = textwrap.dedent("""
    import resource, sys
    from quoranth import Order, OrderBook, OrderType

    N = 50_000
    book = OrderBook()
    sells = [Order(OrderType.Sell, 100 + i % 50, 1.0) for i in range(N)]
    for o in sells:
        book.add(o)
    filled = Order(OrderType.Buy, 100, 1.0)
    book.add(filled)  # two orders Filled in the index
    sweep = Order(OrderType.Buy, 200, N + 10.0)
    ids = [o.id for o in sells] + [filled.id, sweep.id]

    def state():
        return (repr(book), book.depth(100), [(o.id, o.quantity) for o in book.buy_orders],
                [(o.id, o.price_in_ticks, o.quantity) for o in book.sell_orders],
                [None if g is None else (g.quantity, g.status, g.timestamp) for g in map(book.get_order, ids)],
                book.queue_position(sells[-1].id))

    before = state()
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    failures = 0
    for margin_mb in (1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 96, 128, 256):
        resource.setrlimit(resource.RLIMIT_AS, (used + (margin_mb << 20), hard))
        try:
            fills = book.add(sweep)
        except MemoryError:
            resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
            failures += 1
            assert state() == before, f"book changed by an add that failed with {margin_mb} MB to spare"
            continue
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        assert len(fills) == N - 1 and sum(f.quantity for f in fills) == N - 1.0
        assert book.sell_orders == [] and book.best_bid() == (200, 11.0)
        print(failures)
        sys.exit(0)
    sys.exit("the sweep never went through")
""")


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"), reason="address-space limits on Linux, unsanitized")
def test_an_add_that_runs_out_of_memory_changes_nothing():
    run = subprocess.run([sys.executable, "-c", UNDER_MEMORY_LIMIT], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-2000:]
    assert int(run.stdout) >= 2, "the memory limits tried should make several adds fail"


# A call whose failure is the first C++ exception of its thread, out of memory: the exception needs
# per-thread state that the C library allocates on first use. The ballast gives the heap a layout
# under which that allocation failed too and the C library ended the process.
FIRST_FAILURE_IS_OUT_OF_MEMORY = textwrap.dedent("""
    import pickle, resource
    from array import array
    from quoranth import OrderBook

    n, book = 300_000, OrderBook()
    book.apply_batch(b"\\x01" * n, array("q", range(n)), b"\\x01" * n, array("q", range(10_000, 10_000 + n)), array("d", [1.0]) * n)
    state, ballast = pickle.dumps(book), array("q", [i // 2 for i in range(2_000_000)])
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), resource.RLIM_INFINITY))
    try:
        book.depth(n)
    except MemoryError:
        print("MemoryError")
""")


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"), reason="address-space limits on Linux, unsanitized")
def test_running_out_of_memory_at_a_threads_first_failure_raises_memory_error():
    run = subprocess.run([sys.executable, "-c", FIRST_FAILURE_IS_OUT_OF_MEMORY], capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout, run.stderr[-500:]) == (0, "MemoryError\n", "")


# One batch that rests N sells and then sends M buys that take them, under a memory limit (a child
# process per limit, so that no destroyed book's memory is at hand for reuse). A batch that fails
# keeps the events it applied, and its error says how many and carries their fills: with the rest of
# the batch applied after it, the fills and the book are those of one whole run.
BATCH_UNDER_MEMORY_LIMIT = textwrap.dedent("""
    import resource, sys
    from array import array
    from quoranth import OrderBook

    N, M = 100_000, 50_000
    prices = [100 + i % 50 for i in range(N)] + [200] * M

    def events(first):
        return (b"\\x01" * (N + M - first), array("q", range(first, N + M)), (b"\\x01" * N + bytes(M))[first:],
                array("q", prices[first:]), array("d", [1.0] * (N + M - first)))

    def state(book):
        return repr(book), book.depth(60), [(o.price_in_ticks, o.quantity) for o in book.sell_orders], book.best_bid()

    whole_book = OrderBook()
    whole = {name: list(column) for name, column in whole_book.apply_batch(*events(0)).items()}
    book, columns = OrderBook(), events(0)
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    used = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (int(sys.argv[1]) << 20), hard))
    try:
        result, applied = book.apply_batch(*columns), N + M
    except MemoryError as error:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        applied, partial = error.events_applied, error.fills
        rest = book.apply_batch(*events(applied))
        result = partial and {name: list(partial[name]) + [e + applied if name == "event" else e for e in rest[name]]
                              for name in whole}
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    assert result is None or {name: list(c) for name, c in result.items()} == whole, "fills lost"
    assert state(book) == state(whole_book), "the book differs from one whole run"
    print(applied, result is not None)
""")


@pytest.mark.skipif(SANITIZED or not sys.platform.startswith("linux"), reason="address-space limits on Linux, unsanitized")
def test_a_batch_that_runs_out_of_memory_loses_nothing():
    # Looser and looser limits, until one stops the batch while the buys trade
    # (and it reports the fills made before it stopped).
    stops = []
    for margin_mb in range(20, 120, 3):
        run = subprocess.run([sys.executable, "-c", BATCH_UNDER_MEMORY_LIMIT, str(margin_mb)], capture_output=True,
                             text=True, timeout=60)
        assert run.returncode == 0, f"{margin_mb} MB to spare: {run.stderr[-2000:]}"
        applied, reported = run.stdout.split()
        stops.append((int(applied), reported == "True"))
        if 100_000 < stops[-1][0] < 150_000 and stops[-1][1]:
            break
    else:
        pytest.fail(f"no limit stopped the batch while the buys traded: {stops}")


INVERSE = pow(0x9E3779B97F4A7C15, -1, 2**64)
CRAFTED = {
    # the prices whose products with a public hash multiplier are 1, 2, 3, ...
    "hash collisions": [p for p in (j * INVERSE % 2**64 for j in range(1, 6000)) if 0 < p < 2**63][:2000],
    "alternating far ends": [10**9 + (32 * j if j % 2 == 0 else 64 * 2000 - 32 * j) for j in range(2000)],
    "strides past any window": [10**9 + (j * 7919 % 2000) * 4096 for j in range(2000)],
    "extremes": [1, 2, 2**31 - 1, 2**31, 2**32, 2**53 + 1, 2**62, 2**63 - 2, 2**63 - 1] * 3,
}


@pytest.mark.parametrize("name", CRAFTED)
def test_crafted_prices_keep_every_view_in_price_order(name):
    """Both sides at crafted prices, cancelled in part, then swept: the book agrees with the model."""
    prices = CRAFTED[name]
    book, model = OrderBook(1.0), ModelBook(1.0)
    orders = []
    for j, p in enumerate(prices):
        side = OrderType.Buy if j % 2 else OrderType.Sell
        # bids below every ask, so that nothing trades until the sweep
        o = Order(side, max(1, p // 4) if side == OrderType.Buy else p // 2 + 2**62, 1.0 + j % 3)
        orders.append(o)
        assert book.add(o) == [] and model.add(from_module(o)) == []
    for o in orders[::3]:
        assert book.cancel(o.id) is model.cancel(o.id)
    assert [order_key(o) for o in book.buy_orders] == [o.key() for o in model.buy_orders]
    assert [order_key(o) for o in book.sell_orders] == [o.key() for o in model.sell_orders]
    assert book.depth(50) == model.depth(50) and repr(book) == repr(model)
    for side, price in ((OrderType.Sell, 1), (OrderType.Buy, 2**63 - 1)):
        sweep = Order(side, price, 1e9)
        assert [fill_key(f) for f in book.add(sweep)] == model.add(from_module(sweep))
    assert book.depth(5) == model.depth(5)
