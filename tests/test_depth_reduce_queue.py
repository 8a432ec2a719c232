"""Depth views, in-place reduce and queue position, against the reference model and by hand."""

import random

import pytest

from model import ModelBook, fill_key, from_module, order_key
from quoranth import Order, OrderBook, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell


def test_reduce_keeps_the_order_ahead_of_later_arrivals(book, sell, buy):
    a, b = sell(100, 5.0), sell(100, 5.0)
    book.add(a)
    book.add(b)
    assert book.reduce(a.id, 2.0) is True
    assert book.get_order(a.id).quantity == 3.0 and book.queue_position(b.id) == (1, 3.0)
    fills = book.add(buy(100, 4.0))
    assert [(f.quantity, f.sell_id) for f in fills] == [(3.0, a.id), (1.0, b.id)]
    assert book.queue_position(b.id) == (0, 0.0)


def test_reduce_to_nothing_cancels_and_ids_resting_nowhere_are_false(book, sell, buy):
    filled, written, resting = sell(100, 2.0), sell(102, 1.0), sell(100, 2.0)
    book.add(filled)
    book.add(buy(100, 2.0))
    book.update_order(written)  # known to the index, resting nowhere
    book.add(resting)
    before = (book.depth(), repr(book))
    for order_id in (filled.id, written.id, "no such id", ""):
        assert book.reduce(order_id, 1.0) is False and book.queue_position(order_id) is None
    assert (book.depth(), repr(book)) == before
    assert book.reduce(resting.id, 2.0) is True  # exactly what is left
    assert book.get_order(resting.id) is None and book.depth() == ([], [])


@pytest.mark.parametrize("quantity, message", [
    (0.0, "quantity must be positive"), (-1.0, "quantity must be positive"),
    (float("nan"), "quantity must be positive"), (float("inf"), "quantity must be finite"),
])
def test_reduce_refuses_a_quantity_that_is_not_finite_and_positive(book, sell, quantity, message):
    o = sell(100, 2.0)
    book.add(o)
    with pytest.raises(ValueError, match=f"^{message}$"):
        book.reduce(o.id, quantity)
    with pytest.raises(TypeError, match="^argument 'quantity': "):
        book.reduce(o.id, "1")
    assert book.get_order(o.id).quantity == 2.0


def test_an_order_resting_twice_reduces_and_reports_its_oldest_record(book, sell):
    o, other = sell(100, 5.0), sell(100, 1.0)
    for x in (o, other, o):
        book.add(x)
    assert book.queue_position(o.id) == (0, 0.0)
    assert book.reduce(o.id, 4.0)
    assert [x.quantity for x in book.sell_orders] == [1.0, 1.0, 5.0]
    # Using up its oldest record leaves the other one resting where it was.
    assert book.reduce(o.id, 1.0)
    assert [(x.id, x.quantity) for x in book.sell_orders] == [(other.id, 1.0), (o.id, 5.0)]
    assert book.get_order(o.id).quantity == 5.0 and book.queue_position(o.id) == (1, 1.0)
    assert book.reduce(o.id, 5.0) and [x.id for x in book.sell_orders] == [other.id] and book.get_order(o.id) is None


@pytest.mark.parametrize("levels, message", [(0, ValueError), (-1, ValueError), (-2**70, ValueError),
                                             (1.0, TypeError), ("1", TypeError), (None, TypeError)])
def test_depth_levels_must_be_a_positive_int(book, levels, message):
    with pytest.raises(message):
        book.depth(levels)


def test_depth_counts_levels_and_a_huge_count_means_all(book, buy, sell):
    for ticks in (99, 98, 97):
        book.add(buy(ticks, 1.0))
        book.add(sell(ticks + 10, 2.0))
    assert book.depth(2) == ([(99, 1.0, 1), (98, 1.0, 1)], [(107, 2.0, 1), (108, 2.0, 1)])
    assert book.depth() == book.depth(levels=2**63 - 1) == book.depth(2**80) == book.depth(True * 3)


def test_random_flow_agrees_with_the_model():
    """Views after every step of a flow of adds, reduces, cancels and crossing orders."""
    rng = random.Random(12)
    book, model = OrderBook(0.01), ModelBook(0.01)
    ids = []
    for _ in range(3000):
        kind = rng.random()
        if kind < 0.5 or not ids:
            side = rng.choice([BUY, SELL])
            o = Order(side, 100 + rng.randint(-4, 4), float(rng.randint(1, 6)) / rng.choice([1, 2, 4]))
            assert [fill_key(f) for f in book.add(o)] == model.add(from_module(o))
            ids.append(o.id)
            if rng.random() < 0.05:  # the same order again while it may still rest
                assert [fill_key(f) for f in book.add(o)] == model.add(from_module(o))
        elif kind < 0.8:
            order_id, quantity = rng.choice(ids), rng.choice([0.25, 0.5, 1.0, 3.0, 10.0])
            assert book.reduce(order_id, quantity) == model.reduce(order_id, quantity)
        elif kind < 0.9:
            order_id = rng.choice(ids)
            assert book.cancel(order_id) == model.cancel(order_id)
        order_id = rng.choice(ids)
        assert book.queue_position(order_id) == model.queue_position(order_id)
        assert order_key(book.get_order(order_id)) == order_key(model.get_order(order_id))
        n = rng.choice([1, 3, 10])
        assert book.depth(n) == model.depth(n)
