"""Book construction, create_order, and cancel / get_order / update_order."""

import math
import re

import pytest

from model import order_key, rows
from quoranth import Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
NAN, INF = math.nan, math.inf
INT64_MAX = 2**63 - 1
PQ = "Price and quantity must be positive"
RESULT = "Resulting price_in_ticks must be positive"
ID_RE = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")


# ---------------------------------------------------------------- construction

@pytest.mark.parametrize("args, expected", [
    ((), 0.01), ((0.5,), 0.5), ((1,), 1.0), ((5e-324,), 5e-324), ((1.7976931348623157e308,), 1.7976931348623157e308),
])
def test_tick_size_stored_unchanged(args, expected):
    book = OrderBook(*args)
    assert type(book.tick_size) is float and book.tick_size == expected
    assert book.buy_orders == [] and book.sell_orders == []


# A tick size of zero, below zero, NaN or infinite would price every order at
# one saturated tick count, so that a buy at 1.00 and a sell at 0.50 matched.
@pytest.mark.parametrize("tick, message", [
    (0.0, "tick_size must be positive"), (-0.0, "tick_size must be positive"), (0, "tick_size must be positive"),
    (-0.25, "tick_size must be positive"), (NAN, "tick_size must be positive"), (-NAN, "tick_size must be positive"),
    (-INF, "tick_size must be positive"), (INF, "tick_size must be finite"),
])
def test_tick_size_must_be_finite_and_positive(tick, message):
    for make in (lambda: OrderBook(tick), lambda: OrderBook(tick_size=tick), lambda: OrderBook.__new__(OrderBook, tick)):
        with pytest.raises(ValueError) as info:
            make()
        assert type(info.value) is ValueError and str(info.value) == message


# ---------------------------------------------------------------- create_order

@pytest.mark.parametrize("tick, price, ticks", [
    (0.01, 0.025, 3),       # 2.5 rounds away from zero
    (0.01, 1.005, 100),     # quotient is 100.49999999999999
    (0.01, 1.0, 100),
    (0.01, 100.05, 10005),
    (0.01, 0.005, 1),
    (0.01, 1e300, INT64_MAX),
    (0.01, INF, INT64_MAX),
    (5e-324, 1.0, INT64_MAX),
    (0.25, 0.375, 2),       # 1.5 -> 2
    (0.25, 0.625, 3),       # 2.5 -> 3, not to even
    (1.0, 7, 7),
])
def test_create_order_rounds_price_to_ticks(tick, price, ticks):
    book = OrderBook(tick)
    o = book.create_order(SELL, price, 2.5)
    assert (o.side, o.price_in_ticks, o.quantity, o.status) == (SELL, ticks, 2.5, OrderStatus.Open)
    assert o.is_open() and ID_RE.fullmatch(o.id)
    # not added anywhere
    assert book.get_order(o.id) is None
    assert book.best_ask() is None and book.sell_orders == []


def test_create_order_keywords_and_fresh_ids(book):
    a = book.create_order(side=BUY, price=1.0, quantity=3)
    b = book.create_order(BUY, 1.0, 3)
    assert a.id != b.id and order_key(a)[1:4] == order_key(b)[1:4] == (0, 100, 3.0)


@pytest.mark.parametrize("tick, price, qty, message", [
    (0.01, 0.0, 1.0, PQ),
    (0.01, -1.0, 1.0, PQ),
    (0.01, -0.0, 1.0, PQ),
    (0.01, 1.0, 0.0, PQ),
    (0.01, 1.0, -1.0, PQ),
    (0.01, 1.0, -INF, PQ),
    (0.01, -INF, 1.0, PQ),
    (0.01, 0.004, -1.0, PQ),        # both checks fail: the first wins
    (0.01, 0.004, 1.0, RESULT),
    (0.01, NAN, 1.0, RESULT),
    (0.01, NAN, NAN, RESULT),
    (0.01, 1.0, NAN, "quantity must be positive"),
    (0.01, 1.0, INF, "quantity must be finite"),
])
def test_create_order_refused(tick, price, qty, message):
    book = OrderBook(tick)
    with pytest.raises(ValueError) as exc:
        book.create_order(BUY, price, qty)
    assert str(exc.value) == message
    assert book.buy_orders == []


# ---------------------------------------------------------------- cancel

def test_cancel_unknown_id(book, place):
    assert book.cancel("nope") is False
    o, _ = place(book, BUY, 100, 1.0)
    assert book.cancel(o.id.upper()) is False
    assert book.cancel(Order(BUY, 100, 1.0).id) is False
    assert rows(book.buy_orders) == [(o.id, 100, 1.0)]


@pytest.mark.parametrize("side", [BUY, SELL])
def test_cancel_alone_removes_level(book, side, place):
    neighbour, _ = place(book, side, 101, 2.0)
    o, _ = place(book, side, 100, 1.0)
    assert book.cancel(o.id) is True
    listing = book.buy_orders if side == BUY else book.sell_orders
    assert rows(listing) == [(neighbour.id, 101, 2.0)]
    best = book.best_bid() if side == BUY else book.best_ask()
    assert best == (101, 2.0)
    assert book.get_order(o.id) is None
    assert book.cancel(o.id) is False


def test_cancel_middle_keeps_queue_order(book, place):
    a, b, c = (place(book, SELL, 100, q)[0] for q in (1.0, 2.0, 3.0))
    assert book.cancel(b.id) is True
    assert rows(book.sell_orders) == [(a.id, 100, 1.0), (c.id, 100, 3.0)]
    assert book.best_ask() == (100, 1.0)
    assert book.cancel(a.id) is True
    assert book.best_ask() == (100, 3.0)


def test_cancel_partly_filled(book, place):
    s, _ = place(book, SELL, 100, 5.0)
    place(book, BUY, 100, 2.0)
    assert book.get_order(s.id).quantity == 3.0
    assert book.cancel(s.id) is True
    assert book.sell_orders == [] and book.best_ask() is None
    assert book.get_order(s.id) is None


def test_cancel_filled_orders(book, place):
    keep, _ = place(book, SELL, 101, 4.0)
    s, _ = place(book, SELL, 100, 2.0)
    b, _ = place(book, BUY, 100, 2.0)
    for o in (s, b):
        assert book.get_order(o.id).status == OrderStatus.Filled
        assert book.cancel(o.id) is True
        assert book.get_order(o.id) is None
    assert rows(book.sell_orders) == [(keep.id, 101, 4.0)] and book.buy_orders == []


def test_cancel_removes_every_copy(book, place):
    o = Order(BUY, 100, 1.0)
    other, _ = place(book, BUY, 100, 2.0)
    book.add(o)
    book.add(o)
    assert [r[0] for r in rows(book.buy_orders)] == [other.id, o.id, o.id]
    assert book.cancel(o.id) is True
    assert rows(book.buy_orders) == [(other.id, 100, 2.0)]
    assert book.cancel(o.id) is False


# ---------------------------------------------------------------- get_order

def test_get_order_states(book, place):
    s, _ = place(book, SELL, 100, 5.0)
    b, _ = place(book, BUY, 100, 2.0)
    got = book.get_order(s.id)
    assert order_key(got) == (s.id, 1, 100, 3.0, OrderStatus.Open, s.timestamp)
    assert order_key(book.get_order(b.id)) == (b.id, 0, 100, 0.0, OrderStatus.Filled, b.timestamp)
    assert book.get_order(book.create_order(BUY, 1.0, 1.0).id) is None


def test_get_order_returns_independent_copies(book, place):
    s, _ = place(book, SELL, 100, 5.0)
    g1, g2 = book.get_order(s.id), book.get_order(s.id)
    assert g1 is not g2 and g1 is not s
    assert order_key(g1) == order_key(g2)
    g1.fill(Order(BUY, 100, 5.0), 0.01)
    assert g1.status == OrderStatus.Filled
    assert order_key(book.get_order(s.id)) == order_key(g2)
    assert rows(book.sell_orders) == [(s.id, 100, 5.0)]


# ---------------------------------------------------------------- update_order

def test_update_order_rewrites_index_only(book, place):
    s, _ = place(book, SELL, 100, 5.0)
    place(book, BUY, 100, 2.0)
    assert book.update_order(s) is None
    assert order_key(book.get_order(s.id)) == order_key(s)  # 5.0 again
    assert rows(book.sell_orders) == [(s.id, 100, 3.0)]
    assert book.best_ask() == (100, 3.0) and book.sell_volume() == 3.0
    b = Order(BUY, 100, 4.0)
    fills = book.add(b)
    assert [f.quantity for f in fills] == [3.0]  # matching uses the resting record
    assert book.get_order(s.id).quantity == 0.0
    assert book.get_order(s.id).status == OrderStatus.Filled
    assert book.best_bid() == (100, 1.0) and book.sell_orders == []


def test_update_order_of_never_added_order(book):
    o = book.create_order(SELL, 1.0, 2.0)
    book.update_order(order=o)
    assert order_key(book.get_order(o.id)) == order_key(o)
    assert book.sell_orders == [] and book.best_ask() is None
    b = Order(BUY, 200, 1.0)
    assert book.add(b) == []
    assert rows(book.buy_orders) == [(b.id, 200, 1.0)]
    # Added now, the indexed order trades like any other and rests what is left.
    assert [(f.buy_id, f.sell_id, f.quantity) for f in book.add(o)] == [(b.id, o.id, 1.0)]
    assert rows(book.sell_orders) == [(o.id, 100, 1.0)] and book.queue_position(o.id) == (0, 0.0)
    assert book.cancel(o.id) is True
    assert book.get_order(o.id) is None
    assert book.sell_orders == [] and book.best_ask() is None and book.get_order(b.id).status == OrderStatus.Filled
