"""Order: construction, identifiers, timestamps, can_match, fill and text."""

import math
import os
import re
import sys
import time
import uuid

import pytest

from quoranth import Fill, Order, OrderStatus, OrderType

B, S = OrderType.Buy, OrderType.Sell
ID_PATTERN = re.compile(r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")
INF, NAN = math.inf, math.nan


@pytest.mark.parametrize("price, qty, message", [
    (0, 1.0, "price_in_ticks must be positive"),
    (-5, 1.0, "price_in_ticks must be positive"),
    (-(2**63), 1.0, "price_in_ticks must be positive"),
    (1, 0.0, "quantity must be positive"),
    (1, -0.0, "quantity must be positive"),
    (1, -1.0, "quantity must be positive"),
    (1, -5e-324, "quantity must be positive"),
    (1, -INF, "quantity must be positive"),
    (1, NAN, "quantity must be positive"),
    (1, -NAN, "quantity must be positive"),
    (1, INF, "quantity must be finite"),
    # the price is checked first
    (0, 0.0, "price_in_ticks must be positive"),
    (0, NAN, "price_in_ticks must be positive"),
    (-1, INF, "price_in_ticks must be positive"),
])
@pytest.mark.parametrize("side", [B, S])
def test_construction_is_validated(side, price, qty, message):
    for make in (lambda: Order(side, price, qty), lambda: Order.__new__(Order, side, price, qty)):
        with pytest.raises(ValueError) as info:
            make()
        assert type(info.value) is ValueError
        assert str(info.value) == message


@pytest.mark.parametrize("price, qty", [
    (1, 5e-324), (2**63 - 1, sys.float_info.max), (100, 0.1), (True, 3), (7, 1.5)])
def test_construction_stores_values(price, qty):
    before = time.time_ns()
    order = Order(S, price, qty)
    after = time.time_ns()
    assert order.side == S and type(order.side) is OrderType
    assert order.price_in_ticks == price and type(order.price_in_ticks) is int
    assert order.quantity == qty and type(order.quantity) is float
    assert order.status == OrderStatus.Open and type(order.status) is OrderStatus
    assert order.is_open() is True
    assert before // 100 * 100 <= order.timestamp <= after
    assert order.timestamp % 100 == 0


def test_identifiers():
    ids = [Order(B, 1, 1.0).id for _ in range(1000)]
    assert len(set(ids)) == len(ids)
    for text in ids:
        assert type(text) is str and len(text) == 36
        assert ID_PATTERN.fullmatch(text), text
        parsed = uuid.UUID(text)
        assert parsed.version == 4 and parsed.variant == uuid.RFC_4122
    # every one of the 122 random bits takes both values across the sample
    values = [uuid.UUID(text).int for text in ids]
    fixed = (0xF << 76) | (0x3 << 62)
    set_somewhere = cleared_somewhere = 0
    for v in values:
        set_somewhere |= v
        cleared_somewhere |= ~v
    random_bits = ((1 << 128) - 1) & ~fixed
    assert set_somewhere & random_bits == random_bits
    assert cleared_somewhere & random_bits == random_bits


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_a_forked_child_mints_other_ids_than_its_parent():
    Order(B, 1, 1.0)  # the parent's batch of random bytes is under way
    read_end, write_end = os.pipe()
    child = os.fork()
    if child == 0:
        os.write(write_end, " ".join(Order(B, 1, 1.0).id for _ in range(300)).encode())
        os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        in_child = set(pipe.read().split())
    os.waitpid(child, 0)
    in_parent = {Order(B, 1, 1.0).id for _ in range(300)}
    assert len(in_child) == 300 and not in_child & in_parent


def test_timestamps_follow_the_wall_clock():
    if time.get_clock_info("time").resolution > 1e-7:
        pytest.skip("system clock coarser than 100 ns")
    stamps = []
    for _ in range(200):
        before = time.time_ns()
        stamp = Order(B, 1, 1.0).timestamp
        after = time.time_ns()
        assert before // 100 * 100 <= stamp <= after
        assert stamp % 100 == 0
        stamps.append(stamp)
        time.sleep(0.00001)
    # 100 ns resolution, not whole microseconds
    assert any(s % 1000 for s in stamps)


@pytest.mark.parametrize("recv, other, expected", [
    ((B, 100), (S, 100), True),
    ((S, 100), (B, 100), True),
    ((B, 101), (S, 100), True),
    ((S, 100), (B, 101), True),
    ((B, 99), (S, 100), False),
    ((S, 100), (B, 99), False),
    ((B, 2**63 - 1), (S, 1), True),
    ((S, 2**63 - 1), (B, 1), False),
    ((B, 100), (B, 100), False),
    ((B, 100), (B, 50), False),
    ((S, 100), (S, 200), False),
])
def test_can_match(recv, other, expected):
    a, b = Order(*recv, 1.0), Order(*other, 1.0)
    assert a.can_match(b) is expected


def test_can_match_ignores_status_and_quantity(buy, sell):
    resting = sell(100, 1.0)
    resting.fill(buy(100, 1.0), 0.01)
    assert resting.status == OrderStatus.Filled and resting.quantity == 0.0
    assert resting.can_match(buy(101, 1.0)) and buy(101, 1.0).can_match(resting)


def fill_and_check(resting, incoming, tick_size, qty):
    before = time.time_ns()
    fill = resting.fill(incoming, tick_size)
    after = time.time_ns()
    assert type(fill) is Fill
    assert fill.quantity == qty
    buyer, seller = (resting, incoming) if resting.side == B else (incoming, resting)
    assert (fill.buy_id, fill.sell_id) == (buyer.id, seller.id)
    assert before // 100 * 100 <= fill.timestamp <= after and fill.timestamp % 100 == 0
    return fill


@pytest.mark.parametrize("recv, inc, tick, price, qty, left", [
    # receiving sell, incoming buy: the sell's (own) price is used
    ((S, 100, 5.0), (B, 105, 3.0), 0.01, 100 * 0.01, 3.0, (2.0, 0.0)),
    # receiving buy, incoming sell: the incoming sell's price is used
    ((B, 105, 3.0), (S, 100, 3.0), 0.01, 100 * 0.01, 3.0, (0.0, 0.0)),
    ((B, 105, 3.0), (S, 100, 5.0), 0.01, 100 * 0.01, 3.0, (0.0, 2.0)),
    ((S, 10010, 0.3), (B, 10020, 0.1), 0.01, 10010 * 0.01, 0.1, (0.3 - 0.1, 0.0)),
    ((B, 10020, 0.1), (S, 10010, 0.3), 0.01, 10010 * 0.01, 0.1, (0.0, 0.3 - 0.1)),
    ((S, 7, 2.0), (B, 7, 2.5), 2, 14.0, 2.0, (0.0, 0.5)),
    ((S, 7, 2.0), (B, 9, 1.0), -0.5, -3.5, 1.0, (1.0, 0.0)),
    ((S, 7, 2.0), (B, 9, 1.0), 0.0, 0.0, 1.0, (1.0, 0.0)),
    ((S, 2**63 - 1, 1.0), (B, 2**63 - 1, 1.0), 1.0, float(2**63 - 1), 1.0, (0.0, 0.0)),
])
def test_fill(recv, inc, tick, price, qty, left):
    resting, incoming = Order(*recv), Order(*inc)
    fill = fill_and_check(resting, incoming, tick, qty)
    assert fill.price == price
    for order, remaining in zip((resting, incoming), left):
        assert order.quantity == remaining
        assert order.status == (OrderStatus.Filled if remaining <= 0 else OrderStatus.Open)
        assert order.is_open() is (remaining > 0)


def test_fill_price_with_nan_tick_size(buy, sell):
    assert math.isnan(sell(5, 1.0).fill(buy(5, 1.0), NAN).price)


def test_fill_keywords_and_in_place_update(buy, sell):
    resting, incoming = buy(105, 3.0), sell(100, 1.0)
    text = repr(incoming)
    fill = resting.fill(tick_size=0.5, incoming=incoming)
    assert (fill.quantity, fill.price) == (1.0, 50.0)
    assert repr(incoming) == text.replace("[Sell 1 @", "[Sell 0 @")
    assert repr(resting).startswith("[Buy 2 @ 105] [")


@pytest.mark.parametrize("recv, inc", [
    ((B, 99), (S, 100)),
    ((S, 100), (B, 99)),
    ((B, 100), (B, 100)),
    ((S, 100), (S, 100)),
])
def test_fill_without_crossing_returns_none(recv, inc):
    a, b = Order(*recv, 2.0), Order(*inc, 3.0)
    before = repr(a), repr(b)
    assert a.fill(b, 0.01) is None
    assert (repr(a), repr(b)) == before
    assert (a.quantity, b.quantity, a.is_open(), b.is_open()) == (2.0, 3.0, True, True)


def test_fill_against_exhausted_order(buy, sell):
    resting = sell(100, 1.0)
    fill_and_check(resting, buy(100, 1.0), 0.01, 1.0)
    incoming = buy(101, 3.0)
    fill = fill_and_check(resting, incoming, 0.01, 0.0)
    assert fill.price == 1.0
    assert (resting.quantity, resting.status) == (0.0, OrderStatus.Filled)
    assert (incoming.quantity, incoming.status) == (3.0, OrderStatus.Open)
    # the other way round: the exhausted order is the incoming one
    receiving = buy(101, 2.0)
    fill_and_check(receiving, resting, 0.01, 0.0)
    assert (receiving.quantity, receiving.status) == (2.0, OrderStatus.Open)
    assert (resting.quantity, resting.status) == (0.0, OrderStatus.Filled)


def test_repr(buy, sell):
    order = buy(10050, 10.0)
    assert repr(order) == f"[Buy 10 @ 10050] [{order.id}, placed at {order.timestamp}]"
    order = sell(2**63 - 1, 0.5)
    assert repr(order) == f"[Sell 0.5 @ 9223372036854775807] [{order.id}, placed at {order.timestamp}]"
