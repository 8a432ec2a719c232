"""Matching on add: price-time priority, fills, resting remainders, index state."""

import pytest

from model import fill_key, rows
from quoranth import Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
TICK = 0.01


def state(book, order_id):
    """(quantity, status as int) of the book's index entry."""
    o = book.get_order(order_id)
    return None if o is None else (o.quantity, int(o.status))


@pytest.mark.parametrize("side", [BUY, SELL])
def test_add_into_empty_book_rests_alone(book, side, place):
    o, fills = place(book, side, 100, 2.5)
    assert fills == []
    resting = book.buy_orders if side == BUY else book.sell_orders
    other = book.sell_orders if side == BUY else book.buy_orders
    assert rows(resting) == [(o.id, 100, 2.5)] and other == []
    assert state(book, o.id) == (2.5, OrderStatus.Open)


def test_buy_sweeps_two_sell_levels(book, place):
    s1, _ = place(book, SELL, 99, 2.0)
    s2, _ = place(book, SELL, 100, 3.0)
    b, fills = place(book, BUY, 100, 4.0)
    assert [fill_key(f) for f in fills] == [
        (2.0, 99 * TICK, b.id, s1.id),
        (2.0, 100 * TICK, b.id, s2.id),
    ]
    assert rows(book.sell_orders) == [(s2.id, 100, 1.0)]
    assert book.best_ask() == (100, 1.0)
    assert book.buy_orders == []
    assert state(book, b.id) == (0.0, OrderStatus.Filled)
    assert state(book, s1.id) == (0.0, OrderStatus.Filled)
    assert state(book, s2.id) == (1.0, OrderStatus.Open)


@pytest.mark.parametrize("incoming, rest_side, ticks, trades", [
    (BUY, SELL, 100, True),
    (BUY, SELL, 99, False),
    (SELL, BUY, 100, True),
    (SELL, BUY, 101, False),
])
def test_equal_price_trades_one_tick_away_rests(book, incoming, rest_side, ticks, trades, place):
    r, _ = place(book, rest_side, 100, 1.0)
    o, fills = place(book, incoming, ticks, 1.0)
    assert len(fills) == (1 if trades else 0)
    if trades:
        assert fills[0].price == 100 * TICK
        assert book.buy_orders == [] and book.sell_orders == []
    else:
        assert (book.best_bid(), book.best_ask()) == (
            ((100, 1.0), (ticks, 1.0)) if incoming == SELL else ((ticks, 1.0), (100, 1.0)))


def test_sell_sweep_trades_at_its_own_price(book, place):
    b1, _ = place(book, BUY, 100, 2.0)
    b2, _ = place(book, BUY, 98, 3.0)
    keep, _ = place(book, BUY, 94, 1.0)
    s, fills = place(book, SELL, 95, 5.0)
    assert [fill_key(f) for f in fills] == [
        (2.0, 95 * TICK, b1.id, s.id),
        (3.0, 95 * TICK, b2.id, s.id),
    ]
    assert rows(book.buy_orders) == [(keep.id, 94, 1.0)]
    assert book.sell_orders == []
    assert state(book, s.id) == (0.0, OrderStatus.Filled)


def test_partly_filled_head_keeps_its_place(book, place):
    early = Order(SELL, 100, 1.0)  # created first, added last: queues last
    a, _ = place(book, SELL, 100, 5.0)
    b, _ = place(book, SELL, 100, 5.0)
    book.add(early)
    buyer, fills = place(book, BUY, 100, 2.0)
    assert [fill_key(f) for f in fills] == [(2.0, 1.0, buyer.id, a.id)]
    assert rows(book.sell_orders) == [(a.id, 100, 3.0), (b.id, 100, 5.0), (early.id, 100, 1.0)]
    buyer2, fills = place(book, BUY, 101, 4.0)
    assert [fill_key(f) for f in fills] == [(3.0, 1.0, buyer2.id, a.id), (1.0, 1.0, buyer2.id, b.id)]
    assert rows(book.sell_orders) == [(b.id, 100, 4.0), (early.id, 100, 1.0)]


def test_new_order_queues_behind_partly_filled_head(book, place):
    a, _ = place(book, BUY, 100, 5.0)
    place(book, SELL, 100, 1.0)
    b, _ = place(book, BUY, 100, 1.0)
    assert rows(book.buy_orders) == [(a.id, 100, 4.0), (b.id, 100, 1.0)]


def test_filled_order_added_again_trades_nothing(book, place):
    s, _ = place(book, SELL, 100, 1.0)
    b, _ = place(book, BUY, 100, 1.0)
    filled = book.get_order(b.id)
    assert filled.status == OrderStatus.Filled
    other, _ = place(book, SELL, 100, 7.0)
    book.cancel(b.id)
    assert book.add(filled) == []
    assert rows(book.sell_orders) == [(other.id, 100, 7.0)] and book.buy_orders == []
    again = book.get_order(b.id)  # the index entry was written back unchanged
    assert (again.quantity, again.status, again.timestamp) == (0.0, OrderStatus.Filled, b.timestamp)


def test_filled_by_order_fill_is_not_rested(book):
    resting = Order(SELL, 100, 2.0)
    incoming = Order(BUY, 100, 2.0)
    resting.fill(incoming, TICK)
    assert incoming.status == OrderStatus.Filled
    assert book.add(incoming) == []
    assert book.buy_orders == []
    assert state(book, incoming.id) == (0.0, OrderStatus.Filled)


def test_same_order_added_twice_rests_twice(book, place):
    s = Order(SELL, 100, 1.0)
    assert book.add(s) == [] and book.add(s) == []
    assert rows(book.sell_orders) == [(s.id, 100, 1.0), (s.id, 100, 1.0)]
    assert book.sell_volume() == 2.0
    b, fills = place(book, BUY, 100, 1.5)
    assert [fill_key(f) for f in fills] == [(1.0, 1.0, b.id, s.id), (0.5, 1.0, b.id, s.id)]
    assert rows(book.sell_orders) == [(s.id, 100, 0.5)]
    assert state(book, s.id) == (0.5, OrderStatus.Open)


def test_open_copy_from_get_order_rests_a_second_record(book, place):
    a, _ = place(book, BUY, 100, 3.0)
    assert book.add(book.get_order(a.id)) == []
    assert rows(book.buy_orders) == [(a.id, 100, 3.0), (a.id, 100, 3.0)]


def test_callers_objects_unchanged_by_add(book, place):
    s, _ = place(book, SELL, 100, 2.0)
    b, fills = place(book, BUY, 100, 5.0)
    assert len(fills) == 1
    for o, q in ((s, 2.0), (b, 5.0)):
        assert o.quantity == q and o.status == OrderStatus.Open and o.is_open()
    assert state(book, s.id) == (0.0, OrderStatus.Filled)
    assert state(book, b.id) == (3.0, OrderStatus.Open)


def test_no_tolerance_on_fractional_quantities(book, place):
    s1, _ = place(book, SELL, 100, 0.1)
    s2, _ = place(book, SELL, 100, 0.2)
    b, fills = place(book, BUY, 100, 0.3)
    assert [f.quantity for f in fills] == [0.1, 0.3 - 0.1]
    left = 0.2 - (0.3 - 0.1)
    assert left == pytest.approx(2.7755575615628914e-17, rel=1e-9)
    assert rows(book.sell_orders) == [(s2.id, 100, left)]
    assert book.best_ask() == (100, left)
    assert state(book, b.id) == (0.0, OrderStatus.Filled)
    assert state(book, s2.id) == (left, OrderStatus.Open)


def test_fill_price_uses_book_tick_size(place):
    book = OrderBook(0.25)
    s, _ = place(book, SELL, 7, 1.0)
    b, fills = place(book, BUY, 9, 1.0)
    assert fills[0].price == 7 * 0.25
    b2, _ = place(book, BUY, 3, 1.0)
    s2, fills = place(book, SELL, 2, 4.0)
    assert [fill_key(f) for f in fills] == [(1.0, 2 * 0.25, b2.id, s2.id)]
    assert book.best_ask() == (2, 3.0)
