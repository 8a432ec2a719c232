"""Market views (side lists, best prices, volumes, spread) and the summary text."""

import math

import pytest

from model import ModelBook, from_module, rows
from quoranth import Order, OrderBook, OrderStatus, OrderType

BUY, SELL = OrderType.Buy, OrderType.Sell
B, S = 0, 1


def build(tick_size, flow):
    """The same flow of (side, ticks, qty) into a native book and the reference one."""
    book, model = OrderBook(tick_size), ModelBook(tick_size)
    for side, ticks, qty in flow:
        o = Order(BUY if side == B else SELL, ticks, qty)
        book.add(o)
        model.add(from_module(o))
    return book, model


def is_neg_zero(x):
    return x == 0.0 and math.copysign(1.0, x) < 0


def test_empty_book():
    book = OrderBook()
    assert book.buy_orders == [] and book.sell_orders == []
    assert book.best_bid() is None and book.best_ask() is None and book.spread() is None
    assert is_neg_zero(book.buy_volume()) and is_neg_zero(book.sell_volume())


@pytest.mark.parametrize("side", [B, S])
def test_one_side_only(side):
    book, _ = build(0.01, [(side, 100, 2.0), (side, 101, 3.0)])
    bid, ask = book.best_bid(), book.best_ask()
    assert (bid, ask) == (((101, 3.0), None) if side == B else (None, (100, 2.0)))
    assert book.spread() is None
    filled, empty = (book.buy_volume(), book.sell_volume())[:: 1 if side == B else -1]
    assert filled == 5.0 and is_neg_zero(empty)


def test_side_lists_ascending_in_queue_order():
    book = OrderBook()
    buys = [Order(BUY, t, q) for t, q in ((102, 3.0), (100, 1.0), (102, 5.0), (101, 2.0))]
    sells = [Order(SELL, t, q) for t, q in ((105, 1.5), (103, 2.5), (104, 0.5), (103, 4.0))]
    for o in buys + sells:
        book.add(o)
    b = {o.quantity: o.id for o in buys}
    s = {o.quantity: o.id for o in sells}
    assert rows(book.buy_orders) == [(b[1.0], 100, 1.0), (b[2.0], 101, 2.0), (b[3.0], 102, 3.0), (b[5.0], 102, 5.0)]
    assert rows(book.sell_orders) == [(s[2.5], 103, 2.5), (s[4.0], 103, 4.0), (s[0.5], 104, 0.5), (s[1.5], 105, 1.5)]
    assert book.best_bid() == (102, 3.0)  # front order, not the level total
    assert book.best_ask() == (103, 2.5)
    assert book.buy_volume() == 11.0 and book.sell_volume() == 8.5
    assert book.spread() == 1 * 0.01
    assert all(o.side == BUY and o.status == OrderStatus.Open for o in book.buy_orders)
    assert all(o.side == SELL for o in book.sell_orders)


def test_partly_filled_front_shows_remaining():
    book, _ = build(0.01, [(B, 100, 5.0), (B, 100, 1.0), (S, 99, 2.0)])
    assert book.best_bid() == (100, 3.0)
    assert [o.quantity for o in book.buy_orders] == [3.0, 1.0]
    assert book.buy_volume() == 4.0
    assert repr(book).startswith("Best Bid: 3.00 @ 1, Best Ask: None")


def test_emptied_level_leaves_views():
    book, _ = build(0.01, [(B, 100, 1.0), (B, 99, 2.0), (S, 105, 1.0), (S, 100, 1.0)])
    assert book.best_bid() == (99, 2.0)
    assert book.best_ask() == (105, 1.0)
    assert book.spread() == 6 * 0.01


def test_lists_are_fresh_copies():
    book = OrderBook()
    o = Order(BUY, 100, 2.0)
    book.add(o)
    first, second = book.buy_orders, book.buy_orders
    assert first is not second
    assert first[0] is not second[0] and first[0] is not o
    first[0].fill(Order(SELL, 100, 2.0), 0.01)
    assert first[0].status == OrderStatus.Filled
    assert rows(book.buy_orders) == [(o.id, 100, 2.0)]
    assert book.best_bid() == (100, 2.0)


SUMMARIES = {
    "empty": (0.01, [], "Best Bid: None, Best Ask: None (Spread: None)\n"
              "Open Buy Volume: -0.00, Open Sell Volume: -0.00"),
    "example": (0.01, [(B, 10000, 5.0), (B, 10000, 2.5), (B, 9990, 1.0), (S, 10005, 4.0)],
                "Best Bid: 5.00 @ 100, Best Ask: 4.00 @ 100.05 (Spread: 0.0500)\n"
                "Open Buy Volume: 8.50, Open Sell Volume: 4.00"),
    "long_digits": (0.01, [(B, 10010, 1.0)],
                    "Best Bid: 1.00 @ 100.10000000000001, Best Ask: None (Spread: None)\n"
                    "Open Buy Volume: 1.00, Open Sell Volume: -0.00"),
    "asks_only": (0.01, [(S, 10, 0.5)],
                  "Best Bid: None, Best Ask: 0.50 @ 0.1 (Spread: None)\n"
                  "Open Buy Volume: -0.00, Open Sell Volume: 0.50"),
    "tick_one": (1.0, [(B, 10000, 1.0), (S, 10002, 2.0)],
                 "Best Bid: 1.00 @ 10000, Best Ask: 2.00 @ 10002 (Spread: 2.0000)\n"
                 "Open Buy Volume: 1.00, Open Sell Volume: 2.00"),
    "spread_tie": (0.03125, [(B, 10, 1.0), (S, 11, 1.0)],
                   "Best Bid: 1.00 @ 0.3125, Best Ask: 1.00 @ 0.34375 (Spread: 0.0312)\n"
                   "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    "huge_and_tiny": (1e20, [(B, 1, 1e-5), (S, 3, 1e20)],
                      "Best Bid: 0.00 @ 100000000000000000000, Best Ask: 100000000000000000000.00 @ "
                      "300000000000000000000 (Spread: 200000000000000000000.0000)\n"
                      "Open Buy Volume: 0.00, Open Sell Volume: 100000000000000000000.00"),
    "small_tick": (1e-7, [(B, 15, 1.0), (S, 1000000, 1.0)],
                   "Best Bid: 1.00 @ 0.0000015, Best Ask: 1.00 @ 0.09999999999999999 (Spread: 0.1000)\n"
                   "Open Buy Volume: 1.00, Open Sell Volume: 1.00"),
    "half_even": (0.01, [(B, 100, 0.125), (B, 99, 0.25), (S, 101, 2.675), (S, 102, 0.375)],
                  "Best Bid: 0.12 @ 1, Best Ask: 2.67 @ 1.01 (Spread: 0.0100)\n"
                  "Open Buy Volume: 0.38, Open Sell Volume: 3.05"),
    "after_trade": (0.01, [(S, 10005, 4.0), (B, 10010, 1.5), (B, 10000, 2.0)],
                    "Best Bid: 2.00 @ 100, Best Ask: 2.50 @ 100.05 (Spread: 0.0500)\n"
                    "Open Buy Volume: 2.00, Open Sell Volume: 2.50"),
}


@pytest.mark.parametrize("name", SUMMARIES)
def test_summary_text(name):
    tick_size, flow, expected = SUMMARIES[name]
    book, model = build(tick_size, flow)
    assert repr(book) == expected
    assert str(book) == expected
    assert repr(model) == expected


# Every form in the summary (plain prices, fixed quantities and spread) against
# the reference model's text, over tick sizes whose products are awkward.
@pytest.mark.parametrize("tick, bid, ask", [
    (0.01, 10000, 10005), (0.03125, 10, 13), (0.00005, 1, 2), (1e-5, 6, 10), (1e20, 1, 2),
    (0.01, 10010, 10020), (1.0, 10000, 10001), (1e-300, 1, 2**62), (5e-324, 2**62, 2**63 - 1),
])
def test_summary_forms_match_the_model(tick, bid, ask):
    book, model = build(tick, [(B, bid, 1.25), (S, ask, 0.125)])
    assert repr(book) == repr(model)
    assert repr(book).endswith("\nOpen Buy Volume: 1.25, Open Sell Volume: 0.12")
