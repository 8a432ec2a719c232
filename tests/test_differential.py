"""Randomised order flows run through the native book and the reference model side by side."""

import math
import random

import pytest

from model import ModelBook, fill_key, from_module, order_key, rows
from quoranth import Order, OrderBook, OrderType

STEPS = 2500
FULL_CHECK_EVERY = 5


def top(book):
    """Everything the cheap views report, with the sign of zero volumes kept."""
    bv, sv = book.buy_volume(), book.sell_volume()
    return (book.best_bid(), book.best_ask(), book.spread(),
            (bv, math.copysign(1.0, bv)), (sv, math.copysign(1.0, sv)), repr(book))


def full(book):
    return rows(book.buy_orders), rows(book.sell_orders)


def quantity(rng):
    kind = rng.random()
    if kind < 0.5:
        return float(rng.randint(1, 10))
    if kind < 0.8:
        return round(rng.uniform(0.01, 6.0), 2)
    return rng.choice([0.1, 0.2, 0.3, 0.7, 1 / 3, 2.675])


class Flow:
    def __init__(self, seed, tick_size):
        self.rng = random.Random(seed)
        self.book = OrderBook(tick_size)
        self.model = ModelBook(tick_size)
        self.originals = {}  # id -> the caller's Order object
        self.mid = 1000

    def new_order(self):
        rng = self.rng
        side = rng.choice([OrderType.Buy, OrderType.Sell])
        # mostly passive, sometimes crossing the mid by a few ticks
        offset = rng.randint(-3, 8) if rng.random() < 0.8 else rng.randint(-8, 0)
        ticks = self.mid - offset if side == OrderType.Buy else self.mid + offset
        if rng.random() < 0.2:
            order = self.book.create_order(side, ticks * self.book.tick_size, quantity(rng))
        else:
            order = Order(side, ticks, quantity(rng))
        self.originals[order.id] = order
        return order

    def add(self, order):
        fills = self.book.add(order)
        expected = self.model.add(from_module(order))
        assert [fill_key(f) for f in fills] == expected
        return {order.id} | {f[2] for f in expected} | {f[3] for f in expected}

    def step(self):
        rng, book, model = self.rng, self.book, self.model
        known = list(self.originals)
        r = rng.random()
        if r < 0.55 or not known:
            return self.add(self.new_order())
        if r < 0.8:
            resting = rows(model.buy_orders) + rows(model.sell_orders)
            oid = rng.choice(resting)[0] if resting and rng.random() < 0.8 else rng.choice(known)
            assert book.cancel(oid) == model.cancel(oid)
            return {oid}
        if r < 0.83:
            oid = rng.choice(["", "x" * 36, Order(OrderType.Buy, 1, 1.0).id])
            assert book.cancel(oid) is False and model.cancel(oid) is False
            return set()
        if r < 0.87:
            oid = rng.choice(known)
            book.update_order(self.originals[oid])
            model.update_order(from_module(self.originals[oid]))
            return {oid}
        if r < 0.92:
            # re-add the book's own copy: Filled ones must be inert, Open ones rest again
            oid = rng.choice(known)
            copy = book.get_order(oid)
            if copy is None:
                return set()
            return self.add(copy)
        if r < 0.94:
            return self.add(self.originals[rng.choice(known)])
        self.mid += rng.choice([-2, -1, 1, 2])
        return set()

    def check(self, touched, full_check):
        book, model = self.book, self.model
        assert top(book) == top(model)
        for oid in touched:
            assert order_key(book.get_order(oid)) == order_key(model.get_order(oid)), oid
        if full_check:
            assert full(book) == full(model)


@pytest.mark.parametrize("seed, tick_size", [(1, 0.01), (2, 0.01), (3, 0.05), (4, 0.25), (5, 1.0)])
def test_random_flow_matches_model(seed, tick_size):
    flow = Flow(seed, tick_size)
    trades = 0
    for i in range(STEPS):
        touched = flow.step()
        trades += len(touched) > 1
        flow.check(touched, full_check=i % FULL_CHECK_EVERY == 0)
    flow.check(set(flow.originals), full_check=True)
    # the flow must have exercised both matching and resting
    assert trades > 100
    assert flow.model.buy_orders and flow.model.sell_orders


def test_drain_both_sides_matches_model():
    flow = Flow(99, 0.01)
    for _ in range(400):
        flow.add(flow.new_order())
    for side in (OrderType.Buy, OrderType.Sell):
        # one big crossing order sweeps the whole opposite side, level by level
        price = 1 if side == OrderType.Sell else 10**6
        touched = flow.add(Order(side, price, 1e6))
        flow.check(touched, full_check=True)
    assert flow.model.buy_orders or flow.model.sell_orders
