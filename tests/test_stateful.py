"""Random sequences of operations on one or two books, checked after every step against the model.

At a random step a book may be forked by pickle, copy or deepcopy: from then on the fork takes
every call the book takes, and every result and view of the two must agree.

The rules draw single calls with edge values, bursts of orders, and a market-like flow around a
mid price that drifts, jumps far and sweeps whole sides, so that price levels are created, emptied
and found again across wide price ranges. QUORANTH_SOAK=1 selects the long "soak" profile; the
number of operations run is printed at the end of the session either way.
"""

import copy
import math
import os
import pickle
import random
import time

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from model import BUY, ModelBook, fill, fill_key, from_module, order_key, price_to_ticks
from quoranth import Fill, Order, OrderBook, OrderStatus, OrderType

SOAK = bool(os.environ.get("QUORANTH_SOAK"))
_common = dict(deadline=None, suppress_health_check=list(HealthCheck))
settings.register_profile("quoranth-stateful", max_examples=40, stateful_step_count=40, **_common)
settings.register_profile("soak", max_examples=500, stateful_step_count=100, database=None, **_common)
PROFILE = settings.get_profile("soak" if SOAK else "quoranth-stateful")

operations = {"steps": 0, "calls": 0}

SIDES = st.sampled_from([OrderType.Buy, OrderType.Sell])
TICKS = st.one_of(st.integers(96, 104), st.sampled_from([1, 2, 2**62, 2**63 - 2, 2**63 - 1]),
                  st.integers(1, 2**63 - 1), st.integers(10**6 - 5000, 10**6 + 5000))
MID_MOVES = st.one_of(st.sampled_from([-2, -1, 1, 2]), st.integers(-10**5, 10**5), st.sampled_from([-(10**9), 10**12]))
QUANTITIES = st.one_of(
    st.integers(1, 10).map(float),
    st.sampled_from([0.1, 0.2, 0.3, 1 / 3, 2.675, 5e-324, 1e-300, 1e300, 2.0**53 + 2]),
    st.floats(min_value=1e-6, max_value=1e6),
)
PRICES = st.one_of(st.sampled_from([0.004, 0.025, 0.99, 1.0, 1.005, 1.01, 1.03, 50.0, 1e300]),
                   st.floats(min_value=1e-3, max_value=200.0))
TICK_SIZES = st.sampled_from([None, 0.5, 1.0, 0.25, 0.05, 1e-9, 5e-324, 1e300])


def canon(value):
    """Floats by repr (NaN equals NaN, -0.0 differs from 0.0), recursively through tuples and lists."""
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, (tuple, list)):
        return [canon(v) for v in value]
    return value


FORKS = {"copy": copy.copy, "deepcopy": copy.deepcopy, "pickle2": lambda b: pickle.loads(pickle.dumps(b, 2)),
         "pickle": lambda b: pickle.loads(pickle.dumps(b, pickle.HIGHEST_PROTOCOL))}


def comparable(value):
    """A result as two books' results can be compared: fills without their times, orders as fields."""
    if isinstance(value, Fill):
        return canon(fill_key(value))
    if isinstance(value, Order):
        return canon(order_key(value))
    if isinstance(value, (list, tuple)):
        return [comparable(v) for v in value]
    return canon(value)


def agree(values):
    assert all(comparable(v) == comparable(values[0]) for v in values[1:]), "a forked book differs"
    return values[0]


class Forked:
    """A book and, once forked, its fork: every call goes to both, and their results must agree."""

    def __init__(self, book):
        self.books = [book]

    def fork(self, how):
        self.books = [self.books[0], FORKS[how](self.books[0])]

    def __getattr__(self, name):
        if name == "create_order":  # a new order each call, with its own id: made by one book for both
            return self.books[0].create_order
        members = [getattr(b, name) for b in self.books]
        if not callable(members[0]):
            return agree(members)
        return lambda *args: agree([m(*args) for m in members])

    def __repr__(self):
        return agree([repr(b) for b in self.books])

    def __str__(self):
        return agree([str(b) for b in self.books])


@pytest.fixture(scope="module", autouse=True)
def report_operations(request):
    yield
    line = (f"stateful: {operations['steps']} operations ({operations['calls']} module calls)"
            f" under profile {'soak' if SOAK else 'quoranth-stateful'}")
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    with capture.global_and_fixture_disabled():
        print("\n" + line)
    if SOAK:
        assert operations["steps"] >= 100_000, line


class Books(RuleBasedStateMachine):
    """One book, or two with different tick sizes, fed from a shared pool of the caller's orders."""

    def __init__(self):
        super().__init__()
        self.books = []     # (native, model)
        self.pool = []      # the caller's Order objects
        self.known = []     # every identifier the books may know
        self.mid = 1000     # the mid price of the market-like flow, in ticks

    def step(self, calls=1):
        operations["steps"] += 1
        operations["calls"] += calls

    @initialize(second=TICK_SIZES)
    def make_books(self, second):
        sizes = [0.01] if second is None else [0.01, second]
        self.books = [(Forked(OrderBook(t)), ModelBook(t)) for t in sizes]
        assert [canon(b.tick_size) for b, _ in self.books] == [canon(t) for t in sizes]

    def book(self, i):
        return self.books[i % len(self.books)]

    def keep(self, order):
        assert order.status == OrderStatus.Open and order.is_open()
        self.pool.append(order)
        self.known.append(order.id)

    @rule(side=SIDES, ticks=TICKS, qty=QUANTITIES)
    def new_order(self, side, ticks, qty):
        order = Order(side, ticks, qty)
        assert (order.side, order.price_in_ticks, order.quantity) == (side, ticks, qty)
        self.keep(order)
        self.step()

    @rule(i=st.integers(0, 1), side=SIDES, price=PRICES, qty=QUANTITIES)
    def create_order(self, i, side, price, qty):
        native, model = self.book(i)
        ticks = price_to_ticks(price, model.tick_size)
        self.step()
        if ticks <= 0:
            with pytest.raises(ValueError, match="^Resulting price_in_ticks must be positive$"):
                native.create_order(side, price, qty)
            return
        order = native.create_order(side, price, qty)
        assert (order.side, order.price_in_ticks, order.quantity) == (side, ticks, qty)
        assert native.get_order(order.id) is None
        self.keep(order)

    def add(self, i, order):
        native, model = self.book(i)
        before = order_key(order)
        opposite = native.sell_volume if order.side == OrderType.Buy else native.buy_volume
        volume = opposite()
        t0 = time.time_ns() // 100 * 100
        fills = native.add(order)
        t1 = time.time_ns()
        assert [canon(fill_key(f)) for f in fills] == canon(model.add(from_module(order)))
        assert order_key(order) == before, "add changed the caller's order"
        assert all(t0 <= f.timestamp <= t1 and f.timestamp % 100 == 0 for f in fills)
        # quantity is conserved: the incoming order keeps its quantity less every fill, and the
        # opposite side loses what was traded
        left = order.quantity
        for f in fills:
            left -= f.quantity
        assert canon(native.get_order(order.id).quantity) == canon(left)
        traded = math.fsum(f.quantity for f in fills)
        assert math.isclose(volume - traded, opposite(), rel_tol=1e-9, abs_tol=1e-9 * max(1.0, abs(volume)))
        self.step(len(fills) + 5)

    @precondition(lambda self: self.pool)
    @rule(i=st.integers(0, 1), pick=st.integers(min_value=0))
    def add_order(self, i, pick):
        self.add(i, self.pool[pick % len(self.pool)])

    @precondition(lambda self: self.known)
    @rule(i=st.integers(0, 1), pick=st.integers(min_value=0))
    def add_book_copy(self, i, pick):
        """Re-adds the book's own copy: a Filled one is inert, an Open one rests a second time."""
        copy = self.book(i)[0].get_order(self.known[pick % len(self.known)])
        if copy is not None:
            self.add(i, copy)

    @rule(i=st.integers(0, 1), seed=st.integers(0, 2**32), n=st.integers(1, 60))
    def burst(self, i, seed, n):
        """Many orders at once, so that levels grow deep and the index grows past its first size."""
        rng = random.Random(seed)
        for _ in range(n):
            side = rng.choice([OrderType.Buy, OrderType.Sell])
            order = Order(side, rng.randint(95, 105), float(rng.randint(1, 9)))
            self.keep(order)
            self.add(i, order)

    @rule(i=st.integers(0, 1), seed=st.integers(0, 2**32), n=st.integers(1, 80))
    def market_flow(self, i, seed, n):
        """A market around the mid: mostly passive orders, some crossing it, cancels of resting
        orders, re-adds of the book's copies and of the caller's objects, and a drifting mid."""
        native, model = self.book(i)
        rng = random.Random(seed)
        for _ in range(n):
            r = rng.random()
            if r < 0.55 or not self.known:
                side = rng.choice([OrderType.Buy, OrderType.Sell])
                offset = rng.randint(-3, 8) if rng.random() < 0.8 else rng.randint(-8, 0)
                ticks = max(1, self.mid - offset if side == OrderType.Buy else self.mid + offset)
                if rng.random() < 0.2 and native.tick_size == 0.01:
                    order = native.create_order(side, ticks * 0.01, float(rng.randint(1, 10)))
                else:
                    order = Order(side, ticks, rng.choice([1.0, 2.0, 0.1, 0.2, 0.3, 1 / 3, 2.675, 6.0]))
                self.keep(order)
                self.add(i, order)
            elif r < 0.8:
                resting = [o.id for o in model.buy_orders + model.sell_orders]
                oid = rng.choice(resting) if resting and rng.random() < 0.8 else rng.choice(self.known)
                assert native.cancel(oid) is model.cancel(oid)
                self.step()
            elif r < 0.9:
                copy = native.get_order(rng.choice(self.known))
                if copy is not None:
                    self.add(i, copy)  # a Filled copy is inert; an Open one rests again
            elif r < 0.93:
                self.add(i, rng.choice(self.pool))
            else:
                self.mid = max(1, self.mid + rng.choice([-2, -1, 1, 2]))

    @rule(i=st.integers(0, 1), how=st.sampled_from(sorted(FORKS)))
    def fork(self, i, how):
        """Forks the book here; the fork then takes the same flow (a later fork replaces it)."""
        self.book(i)[0].fork(how)
        self.step()

    @rule(move=MID_MOVES)
    def move_mid(self, move):
        """The mid drifts a little, or jumps far from every resting level."""
        self.mid = min(2**63 - 10, max(1, self.mid + move))
        self.step()

    @rule(i=st.integers(0, 1), side=SIDES)
    def sweep(self, i, side):
        """One order through every price of the other side takes all of it, best level first."""
        native, _ = self.book(i)
        selling = side == OrderType.Sell
        volume = native.buy_volume() if selling else native.sell_volume()
        order = Order(side, 1 if selling else 2**63 - 1, 2 * volume + 1.0)
        self.keep(order)
        self.add(i, order)
        assert (native.best_bid() if selling else native.best_ask()) is None

    @rule(i=st.integers(0, 1), pick=st.integers(min_value=0),
          stranger=st.sampled_from([None, "", "x" * 36, "00000000-0000-4000-8000-000000000000"]))
    def cancel(self, i, pick, stranger):
        native, model = self.book(i)
        oid = self.known[pick % len(self.known)] if stranger is None and self.known else stranger or ""
        assert native.cancel(oid) is model.cancel(oid)
        assert native.get_order(oid) is None
        self.step(2)

    @rule(i=st.integers(0, 1), seed=st.integers(0, 2**32), share=st.floats(0.1, 1.0))
    def cancel_many(self, i, seed, share):
        native, model = self.book(i)
        rng = random.Random(seed)
        for oid in rng.sample(self.known, int(len(self.known) * share)):
            assert native.cancel(oid) is model.cancel(oid)
            self.step()

    @precondition(lambda self: self.pool)
    @rule(i=st.integers(0, 1), pick=st.integers(min_value=0), from_book=st.booleans())
    def update_order(self, i, pick, from_book):
        native, model = self.book(i)
        order = self.pool[pick % len(self.pool)]
        if from_book:  # the other book's copy, which may be Filled or partly filled
            order = self.book(i + 1)[0].get_order(order.id) or order
        assert native.update_order(order) is None
        model.update_order(from_module(order))
        self.step()

    @precondition(lambda self: len(self.pool) >= 2)
    @rule(a=st.integers(min_value=0), b=st.integers(min_value=0), tick=st.sampled_from([0.01, 1.0, -0.5, math.nan]))
    def order_fill(self, a, b, tick):
        """Order.fill on two of the caller's objects: both change in place, as the model's fill does."""
        resting, incoming = self.pool[a % len(self.pool)], self.pool[b % len(self.pool)]
        if resting is incoming:
            return
        mr, mi = from_module(resting), from_module(incoming)
        crosses = mr.side != mi.side and (
            mr.price_in_ticks >= mi.price_in_ticks if mr.side == BUY else mi.price_in_ticks >= mr.price_in_ticks)
        assert resting.can_match(incoming) is crosses
        result = resting.fill(incoming, tick)
        if crosses:
            assert canon(fill_key(result)) == canon(fill(mr, mi, tick))
        else:
            assert result is None
        assert (order_key(resting), order_key(incoming)) == (mr.key(), mi.key())
        self.step(2)

    @invariant()
    def agrees_with_model(self):
        for native, model in self.books:
            buys, sells = native.buy_orders, native.sell_orders
            assert [order_key(o) for o in buys] == [o.key() for o in model.buy_orders]
            assert [order_key(o) for o in sells] == [o.key() for o in model.sell_orders]
            assert all(o.side == OrderType.Buy for o in buys) and all(o.side == OrderType.Sell for o in sells)
            assert all(o.is_open() and o.quantity > 0 for o in buys + sells)
            bid, ask = native.best_bid(), native.best_ask()
            assert bid is None or ask is None or bid[0] < ask[0], "crossed book"
            assert canon([bid, ask, native.spread(), native.buy_volume(), native.sell_volume()]) == canon(
                [model.best_bid(), model.best_ask(), model.spread(), model.buy_volume(), model.sell_volume()])
            assert repr(native) == str(native) == repr(model)
            assert canon(native.depth(3)) == canon(model.depth(3))
            for oid in self.known[-50:]:
                assert order_key(native.get_order(oid)) == order_key(model.get_order(oid))
        operations["calls"] += 10

    def teardown(self):
        for native, model in self.books:  # the whole index, not just the recent part
            for oid in self.known:
                assert order_key(native.get_order(oid)) == order_key(model.get_order(oid))


TestBooks = Books.TestCase
TestBooks.settings = PROFILE
