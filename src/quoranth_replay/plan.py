"""Turning exchange messages into operations on one book.

Every message becomes at most one book operation, decided from the files alone
before anything is replayed, so a plan is plain columns (arrays) that a loop of
per-order calls or a single batch call can carry out alike.

Orders are named by integer keys: a message's new order gets the message's
index; the opening order of a visible level (from the orderbook file) gets
``len(messages) + j``; the caller's own orders take keys after those.

* new limit order (1): ADD the order under its key;
* partial cancel (2): REDUCE the order by the size, keeping its queue place;
* deletion (3): CANCEL the order; for an opening order (which stands for all the
  orders that rested at its level) REDUCE it by the deleted size instead;
* visible execution (4): EXECUTE, an order of the executed size at that price
  from the other side, which trades by the book's own priority and whose
  remainder is dropped; EXECUTE_LAST when the exchange's order is used up by it,
  so that its record (filled, or holding what the exchange no longer has) is
  then cancelled;
* hidden executions, cross trades and halts (5, 6, 7) and messages naming an
  order the replay cannot place: NOTHING.

A message naming an order that was not added in the file rested before the file
began: it acts on the opening order of its side and price when there is one.
"""

from __future__ import annotations

from array import array
from dataclasses import dataclass
from itertools import repeat
from operator import floordiv

from .lobster import DELETE, EXECUTE, NEW, NO_ASK, NO_BID, PARTIAL_CANCEL, PRICE_UNITS_PER_TICK, MessageFile, OrderbookFile

NOTHING, ADD, REDUCE, CANCEL, EXECUTE_ORDER, EXECUTE_LAST = 0, 1, 2, 3, 4, 5
BUY, SELL = 0, 1
# The key of no order: the stand-in counterpart of an execution.
NO_KEY = -1
# Message types that act on an order already resting.
_CHANGES = frozenset({PARTIAL_CANCEL, DELETE, EXECUTE})


@dataclass(frozen=True, eq=False)
class Plan:
    """Book operations, one per message, as columns.

    ``keys`` names the order an operation acts on (for EXECUTE, the order the
    exchange executed); ``sides`` is the side of the order added (for EXECUTE,
    the side of the stand-in counterpart); ``ticks`` and ``quantities`` its
    price in ticks and size.
    """

    operations: array[int]
    keys: array[int]
    sides: array[int]
    ticks: array[int]
    quantities: array[int]
    # Opening orders, added before the first message: key, side, ticks, quantity.
    opening: tuple[tuple[int, int, int, int], ...]
    # Messages that name an order the replay does not hold and cannot place.
    unplaced: int

    def __len__(self) -> int:
        return len(self.operations)


def opening_levels(messages: MessageFile, orderbook: OrderbookFile) -> list[tuple[int, int, int]]:
    """(side, ticks, size) of each visible level before the first message.

    That is the first row of the orderbook file less the first message's own
    effect: its new order taken off its level, or the size it removed put back.
    """
    row = orderbook.first_row
    sizes: dict[tuple[int, int], int] = {}
    for level in range(orderbook.levels):
        ask_price, ask_size, bid_price, bid_size = row[4 * level : 4 * level + 4]
        if ask_price < NO_ASK and ask_size > 0:
            sizes[SELL, ask_price // PRICE_UNITS_PER_TICK] = ask_size
        if bid_price > NO_BID and bid_size > 0:
            sizes[BUY, bid_price // PRICE_UNITS_PER_TICK] = bid_size
    if len(messages):
        first = messages[0]
        where = (BUY if first.direction == 1 else SELL, first.price // PRICE_UNITS_PER_TICK)
        if first.type == NEW:
            sizes[where] = sizes.get(where, 0) - first.size
        elif first.type in (PARTIAL_CANCEL, DELETE, EXECUTE):
            sizes[where] = sizes.get(where, 0) + first.size
    # Bids best (highest) first, then asks best (lowest) first.
    ordered = sorted(sizes.items(), key=lambda item: (item[0][0], item[0][1] if item[0][0] == SELL else -item[0][1]))
    return [(side, ticks, size) for (side, ticks), size in ordered if size > 0]


def make_plan(messages: MessageFile, orderbook: OrderbookFile | None = None) -> Plan:
    """The book operations that replay ``messages`` (from the exchange's opening book, given ``orderbook``)."""
    count = len(messages)
    opening = tuple(
        (count + index, side, ticks, size)
        for index, (side, ticks, size) in enumerate(opening_levels(messages, orderbook) if orderbook is not None else ())
    )
    opening_key = {(side, ticks): key for key, side, ticks, _ in opening}

    types, ids, sizes = messages.types, messages.order_ids, messages.sizes
    # Columns as if every message added its order; then the other messages change theirs.
    operations = array("b", [ADD if kind == NEW else NOTHING for kind in types])
    keys = array("q", [index if kind == NEW else NO_KEY for index, kind in enumerate(types)])
    sides = array("b", [BUY if direction == 1 else SELL for direction in messages.directions])
    ticks = array("q", map(floordiv, messages.prices, repeat(PRICE_UNITS_PER_TICK)))
    quantities = array("q", sizes)
    # What the exchange still holds of each order added in the file, by exchange id.
    live: dict[int, list[int]] = {}  # exchange id -> [key, remaining size]
    unplaced = 0
    for index, kind, order_id, size in zip(range(count), types, ids, sizes):
        if kind == NEW:
            live[order_id] = [index, size]
            continue
        if kind not in _CHANGES:
            continue
        record = live.get(order_id)
        if record is not None:
            key = record[0]
            record[1] -= size
            ended = record[1] <= 0 or kind == DELETE
            if ended:
                del live[order_id]
            if kind == PARTIAL_CANCEL:
                operation = REDUCE
            elif kind == DELETE:
                operation = CANCEL
            else:
                operation = EXECUTE_LAST if ended else EXECUTE_ORDER
        else:
            opening_order = opening_key.get((sides[index], ticks[index]))
            if opening_order is None:
                unplaced += 1
                continue
            key = opening_order
            operation = EXECUTE_ORDER if kind == EXECUTE else REDUCE
        operations[index] = operation
        keys[index] = key
        if kind == EXECUTE:
            sides[index] = SELL if sides[index] == BUY else BUY  # replayed by an order from the other side
    return Plan(operations, keys, sides, ticks, quantities, opening, unplaced)
