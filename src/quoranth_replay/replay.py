"""The replay object: a book driven by an exchange's messages, open to the caller's own orders."""

from __future__ import annotations

from array import array
from collections.abc import Iterator
from dataclasses import dataclass, field
from operator import and_, eq
from pathlib import Path
from typing import NamedTuple

from quoranth import Fill, Order, OrderBook, OrderType

from .lobster import (
    NO_ASK,
    NO_BID,
    PRICE_UNITS_PER_TICK,
    TICK_SIZE,
    Message,
    MessageFile,
    OrderbookFile,
    ReplayInputError,
    read_messages,
    read_orderbook,
)
from .plan import ADD, BUY, CANCEL, EXECUTE_LAST, EXECUTE_ORDER, NO_KEY, NOTHING, REDUCE, SELL, Plan, make_plan

_SIDES = (OrderType.Buy, OrderType.Sell)
_EMPTY = (0, 0)
# Book prices are ticks times TICK_SIZE; this turns them back into ticks.
_TICKS_PER_PRICE_UNIT = round(1 / TICK_SIZE)

# What depth(levels) returns: (bids, asks), each a list of (ticks, quantity, orders).
Depth = tuple[list[tuple[int, float, int]], list[tuple[int, float, int]]]


class ReplayFill(NamedTuple):
    """A fill, with the message that caused it and whether it touched the caller's orders."""

    time: float
    """Exchange time (seconds after midnight) of the message that caused it, or of the
    last message applied when the caller's own order traded on arrival."""
    message_index: int
    """That message's index in the file (0 for the first), -1 before the first message."""
    price_in_ticks: int
    quantity: float
    buy_id: str
    sell_id: str
    buy_mine: bool
    """The buy order is one the caller placed."""
    sell_mine: bool
    """The sell order is one the caller placed."""

    @property
    def mine(self) -> bool:
        """Whether either order is one the caller placed."""
        return self.buy_mine or self.sell_mine


class Step(NamedTuple):
    """One message applied: where it is in the file, the message, and the fills it caused."""

    message_index: int
    message: Message
    fills: list[ReplayFill]


class Placed(NamedTuple):
    """The caller's order as placed: the book's id for it and the fills it made on arrival."""

    order_id: str
    fills: list[ReplayFill]


@dataclass
class FillColumns:
    """Fills as columns: the message index that caused each, the keys of its buy and
    sell orders (see ``quoranth_replay.plan``; -1 for an execution's stand-in), price in
    ticks and quantity."""

    index: array[int] = field(default_factory=lambda: array("q"))
    buy_key: array[int] = field(default_factory=lambda: array("q"))
    sell_key: array[int] = field(default_factory=lambda: array("q"))
    ticks: array[int] = field(default_factory=lambda: array("q"))
    quantity: array[float] = field(default_factory=lambda: array("d"))

    def __len__(self) -> int:
        return len(self.index)


@dataclass
class Agreement:
    """How often the book's best levels matched the exchange's, counted after each message."""

    compared: int = 0
    bid_price: int = 0
    ask_price: int = 0
    prices: int = 0
    """Best bid and best ask prices both agree."""
    bid: int = 0
    """Best bid agrees in price and size (the level's total)."""
    ask: int = 0
    both: int = 0
    """Best bid and best ask agree in price and size."""

    def share(self, count: int) -> float | None:
        return count / self.compared if self.compared else None


@dataclass
class Fidelity:
    """Visible executions replayed, and how many filled exactly the order the exchange named."""

    executions: int = 0
    faithful: int = 0

    @property
    def share(self) -> float | None:
        return self.faithful / self.executions if self.executions else None


class Replay:
    """Replays a LOBSTER message file through an ``OrderBook``, one message at a time.

    Iterate over it to apply the messages one by one: each step is a ``Step``
    with the message and the fills it caused. Between steps, ``place``,
    ``cancel`` and ``reduce`` work on the caller's own orders in the same book,
    where they queue and trade with the exchange's orders by price-time
    priority; every ``ReplayFill`` tells whether it touched one of them.
    ``run()`` applies the remaining messages without stopping.

    Given the exchange's orderbook file, the book starts from the exchange's
    visible book (one order per level) and its best bid and ask are compared with
    the exchange's after every message (``agreement``); ``fidelity`` counts the
    executions that filled the very order the exchange named.
    """

    def __init__(
        self,
        messages: MessageFile | Path | str,
        orderbook: OrderbookFile | Path | str | None = None,
        *,
        keep_fills: bool = False,
    ) -> None:
        self.messages = messages if isinstance(messages, MessageFile) else read_messages(messages)
        if orderbook is not None and not isinstance(orderbook, OrderbookFile):
            orderbook = read_orderbook(orderbook)
        if orderbook is not None and len(orderbook) != len(self.messages):
            raise ReplayInputError(
                orderbook.path, None, f"has {len(orderbook)} rows but {self.messages.path} has {len(self.messages)} messages"
            )
        self.orderbook = orderbook
        self.plan: Plan = make_plan(self.messages, orderbook)
        self.book = OrderBook(tick_size=TICK_SIZE)
        self.agreement = Agreement()
        self.fidelity = Fidelity()
        self.fill_count = 0
        self.traded_volume = 0.0
        self.index = 0
        """Messages applied so far; the next one to apply."""
        self._keep_fills = keep_fills
        self._fills = FillColumns()
        count = len(self.messages)
        # Book ids by key (messages, then opening orders, then the caller's), and back.
        self._book_ids: list[str] = [""] * (count + len(self.plan.opening))
        self._keys: dict[str, int] = {}
        self._mine: set[str] = set()
        self._reference = _reference(orderbook) if orderbook is not None else None
        # The plan's columns as lists: faster to index one by one than arrays.
        plan = self.plan
        self._operations = plan.operations.tolist()
        self._targets = plan.keys.tolist()
        self._sides = plan.sides.tolist()
        self._ticks = plan.ticks.tolist()
        self._quantities = plan.quantities.tolist()
        for key, side, ticks, size in self.plan.opening:
            self._add(key, side, ticks, size)

    # ------------------------------------------------------------ stepping

    def __len__(self) -> int:
        return len(self.messages)

    def __iter__(self) -> Iterator[Step]:
        return self

    def __next__(self) -> Step:
        index = self.index
        if index >= len(self.messages):
            raise StopIteration
        fills = self._apply(index)
        if self._reference is not None:
            self._compare(index, [self.book.depth(1)])
        return Step(index, self.messages[index], self._replay_fills(fills, index))

    def run(self, until: int | None = None, *, depth_levels: int = 0) -> list[Depth]:
        """Apply the messages before index ``until`` (by default all that are left).

        With ``depth_levels``, returns ``book.depth(depth_levels)`` after each message.
        This is the loop to hand to a batch call on the book when the caller needs
        no stop between messages: its input is ``plan`` and its outputs are the
        fill columns and the top of book after each message.
        """
        start = self.index
        stop = len(self.messages) if until is None else min(until, len(self.messages))
        apply = self._apply
        if self._reference is None and not depth_levels:
            for index in range(start, stop):
                apply(index)
            return []
        views: list[Depth] = []
        depth, levels, keep = self.book.depth, max(depth_levels, 1), views.append
        for index in range(start, stop):
            apply(index)
            keep(depth(levels))
        if self._reference is not None:
            self._compare(start, views)
        return views if depth_levels else []

    @property
    def time(self) -> float:
        """Exchange time of the last message applied (of the first message before any)."""
        times = self.messages.times
        return times[self.index - 1] if self.index else times[0]

    # -------------------------------------------------- the caller's orders

    def place(self, side: OrderType, price_in_ticks: int, quantity: float) -> Placed:
        """Add one of the caller's limit orders to the book now; it matches and rests like any other."""
        key = len(self._book_ids)
        self._book_ids.append("")
        order_id, fills = self._add(key, SELL if side == OrderType.Sell else BUY, price_in_ticks, quantity, mine=True)
        return Placed(order_id, self._replay_fills(fills, self.index - 1))

    def cancel(self, order_id: str) -> bool:
        """Cancel one of the caller's orders; False if it is not one of theirs or no longer known."""
        if order_id not in self._mine:
            return False
        self._mine.discard(order_id)
        self._keys.pop(order_id, None)
        return self.book.cancel(order_id)

    def reduce(self, order_id: str, quantity: float) -> bool:
        """Take ``quantity`` off one of the caller's resting orders, keeping its queue place."""
        return order_id in self._mine and self.book.reduce(order_id, quantity)

    def queue_position(self, order_id: str) -> tuple[int, float] | None:
        """(orders ahead, quantity ahead) of a resting order, or None."""
        return self.book.queue_position(order_id)

    def is_mine(self, order_id: str) -> bool:
        return order_id in self._mine

    # ---------------------------------------------------------- recorded fills

    def take_fills(self) -> FillColumns:
        """The fills recorded since the last call (kept only with ``keep_fills=True``)."""
        taken, self._fills = self._fills, FillColumns()
        return taken

    def exchange_id(self, key: int) -> int | None:
        """The exchange's id of the order under ``key``; None for other orders."""
        return self.messages.order_ids[key] if 0 <= key < len(self.messages) else None

    # ---------------------------------------------------------- internals

    def _add(self, key: int, side: int, ticks: int, quantity: float, *, mine: bool = False) -> tuple[str, list[Fill]]:
        order = Order(_SIDES[side], ticks, quantity)
        order_id = order.id
        self._book_ids[key] = order_id
        self._keys[order_id] = key
        if mine:
            self._mine.add(order_id)
        fills = self.book.add(order)
        if fills:
            self._record(fills, self.index - 1)
        return order_id, fills

    def _apply(self, index: int) -> list[Fill]:
        """Carry out the plan's operation for message ``index``; returns its fills."""
        self.index = index + 1
        operation = self._operations[index]
        if operation == NOTHING:
            return []
        if operation == ADD:
            return self._add(index, self._sides[index], self._ticks[index], self._quantities[index])[1]
        book = self.book
        order_id = self._book_ids[self._targets[index]]
        if operation == REDUCE:
            book.reduce(order_id, self._quantities[index])
            return []
        if operation == CANCEL:
            book.cancel(order_id)
            self._keys.pop(order_id, None)
            return []
        # An execution: the stand-in counterpart trades by the book's priority,
        # then goes, whatever of it is left (the exchange's trade ended there).
        side, size = self._sides[index], self._quantities[index]
        counterpart = Order(_SIDES[side], self._ticks[index], size)
        fills = book.add(counterpart)
        book.cancel(counterpart.id)
        self.fidelity.executions += 1
        if len(fills) == 1 and fills[0].quantity == size:
            resting = fills[0].buy_id if side == SELL else fills[0].sell_id
            self.fidelity.faithful += resting == order_id
        if operation == EXECUTE_LAST:
            book.cancel(order_id)
            self._keys.pop(order_id, None)
        if fills:
            self._record(fills, index)
        return fills

    def _record(self, fills: list[Fill], index: int) -> None:
        self.fill_count += len(fills)
        for fill in fills:
            self.traded_volume += fill.quantity
        if not self._keep_fills:
            return
        columns, keys = self._fills, self._keys
        for fill in fills:
            columns.index.append(index)
            columns.buy_key.append(keys.get(fill.buy_id, NO_KEY))
            columns.sell_key.append(keys.get(fill.sell_id, NO_KEY))
            columns.ticks.append(round(fill.price * _TICKS_PER_PRICE_UNIT))
            columns.quantity.append(fill.quantity)

    def _replay_fills(self, fills: list[Fill], index: int) -> list[ReplayFill]:
        if not fills:
            return []
        when = self.messages.times[max(index, 0)]
        mine = self._mine
        return [
            ReplayFill(
                when,
                index,
                round(fill.price * _TICKS_PER_PRICE_UNIT),
                fill.quantity,
                fill.buy_id,
                fill.sell_id,
                fill.buy_id in mine,
                fill.sell_id in mine,
            )
            for fill in fills
        ]

    def _compare(self, start: int, views: list[Depth]) -> None:
        """Count the agreements of the best levels after messages ``start``, ``start + 1``, ... with the exchange's."""
        stop = start + len(views)
        reference_bids, reference_asks = self._reference  # type: ignore[misc]
        wanted_bids, wanted_asks = reference_bids[start:stop], reference_asks[start:stop]
        bids = [side[0][:2] if side else _EMPTY for side, _ in views]
        asks = [side[0][:2] if side else _EMPTY for _, side in views]
        bid_ok = list(map(eq, bids, wanted_bids))
        ask_ok = list(map(eq, asks, wanted_asks))
        bid_price_ok = [mine[0] == theirs[0] for mine, theirs in zip(bids, wanted_bids)]
        ask_price_ok = [mine[0] == theirs[0] for mine, theirs in zip(asks, wanted_asks)]
        agreement = self.agreement
        agreement.compared += len(views)
        agreement.bid_price += sum(bid_price_ok)
        agreement.ask_price += sum(ask_price_ok)
        agreement.prices += sum(map(and_, bid_price_ok, ask_price_ok))
        agreement.bid += sum(bid_ok)
        agreement.ask += sum(ask_ok)
        agreement.both += sum(map(and_, bid_ok, ask_ok))


def _reference(orderbook: OrderbookFile) -> tuple[list[tuple[int, int]], list[tuple[int, int]]]:
    """The exchange's best bid and best ask per message as (ticks, size); (0, 0) for an empty side."""
    bids = [
        (price // PRICE_UNITS_PER_TICK, size) if price > NO_BID else _EMPTY
        for price, size in zip(orderbook.bid_prices, orderbook.bid_sizes)
    ]
    asks = [
        (price // PRICE_UNITS_PER_TICK, size) if price < NO_ASK else _EMPTY
        for price, size in zip(orderbook.ask_prices, orderbook.ask_sizes)
    ]
    return bids, asks
