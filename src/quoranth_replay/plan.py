"""Turning exchange messages into operations on one book.

Every message becomes at most one book operation, decided from the files alone
before anything is replayed, so a plan is plain columns (arrays) that a loop of
per-order calls or a single batch call (``OrderBook.apply_batch``, whose
operation codes these are) can carry out alike. The module plans natively;
the opening book is worked out here.

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

from quoranth import _lobster_plan

from .lobster import (
    DELETE,
    EXECUTE,
    NEW,
    NO_ASK,
    NO_BID,
    PARTIAL_CANCEL,
    PRICE_UNITS_PER_TICK,
    MessageFile,
    OrderbookFile,
    ReplayInputError,
    check_opening_row,
)

NOTHING, ADD, REDUCE, CANCEL, EXECUTE_ORDER, EXECUTE_LAST = 0, 1, 2, 3, 4, 5
BUY, SELL = 0, 1
# The key of no order: the stand-in counterpart of an execution.
NO_KEY = -1


class Plan:
    """Book operations, one per message, as columns.

    ``keys`` names the order an operation acts on (for EXECUTE, the order the
    exchange executed); ``sides`` is the side of the order added (for EXECUTE,
    the side of the stand-in counterpart); ``ticks`` and ``quantities`` its
    price in ticks and size. ``opening`` holds the opening orders, added before
    the first message, as (key, side, ticks, quantity); ``unplaced`` counts the
    messages that name an order the replay does not hold and cannot place.
    """

    __slots__ = ("operations", "keys", "sides", "ticks", "quantities", "opening", "unplaced")

    def __init__(
        self,
        operations: array[int],
        keys: array[int],
        sides: array[int],
        ticks: array[int],
        quantities: array[int],
        opening: tuple[tuple[int, int, int, int], ...],
        unplaced: int,
    ) -> None:
        self.operations = operations
        self.keys = keys
        self.sides = sides
        self.ticks = ticks
        self.quantities = quantities
        self.opening = opening
        self.unplaced = unplaced

    def __len__(self) -> int:
        return len(self.operations)


def opening_levels(messages: MessageFile, orderbook: OrderbookFile) -> list[tuple[int, int, int]]:
    """(side, ticks, size) of each visible level before the first message.

    That is the first row of the orderbook file less the first message's own
    effect: its new order taken off its level, or the size it removed put back.
    A row that cannot be a book, or an opening book that would trade with
    itself, raises ``ReplayInputError``.
    """
    row = orderbook.first_row
    check_opening_row(orderbook.path, None, orderbook.levels, row)
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
    levels = [(side, ticks, size) for (side, ticks), size in ordered if size > 0]
    bids, asks = ([ticks for side, ticks, _ in levels if side == wanted] for wanted in (BUY, SELL))
    if bids and asks and bids[0] >= asks[0]:
        bid, ask = bids[0] * PRICE_UNITS_PER_TICK, asks[0] * PRICE_UNITS_PER_TICK
        reason = f"the first row less the first message is crossed: best bid {bid} is not below best ask {ask}"
        raise ReplayInputError(orderbook.path, None, reason)
    return levels


def make_plan(messages: MessageFile, orderbook: OrderbookFile | None = None) -> Plan:
    """The book operations that replay ``messages`` (from the exchange's opening book, given ``orderbook``)."""
    count = len(messages)
    opening = tuple(
        (count + index, side, ticks, size)
        for index, (side, ticks, size) in enumerate(opening_levels(messages, orderbook) if orderbook is not None else ())
    )
    made = _lobster_plan(
        messages.types,
        messages.order_ids,
        messages.sizes,
        messages.prices,
        messages.directions,
        array("q", [key for key, _, _, _ in opening]),
        array("b", [side for _, side, _, _ in opening]),
        array("q", [ticks for _, _, ticks, _ in opening]),
    )
    operations, keys, sides, ticks, quantities, unplaced = made
    return Plan(operations, keys, sides, ticks, quantities, opening, unplaced)
