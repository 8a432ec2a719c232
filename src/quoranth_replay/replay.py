"""The replay object: a book driven by an exchange's messages, open to the caller's own orders."""

from __future__ import annotations

from array import array
from collections.abc import Callable, Iterator, Sized
from itertools import compress, count, repeat
from operator import add, and_, eq, floordiv, ge, le
from operator import index as as_integer
from pathlib import Path
from typing import Any, NamedTuple, SupportsIndex

from quoranth import OrderBook, OrderType

from .lobster import (
    NO_ASK,
    NO_BID,
    PRICE_UNITS_PER_TICK,
    TICK_SIZE,
    Message,
    MessageFile,
    OrderbookFile,
    ReplayInputError,
    check_messages,
    columns_in_range,
    read_messages,
    read_orderbook,
)
from .plan import ADD, BUY, CANCEL, EXECUTE_LAST, EXECUTE_ORDER, NO_KEY, REDUCE, SELL, Plan, make_plan

# What OrderBook.apply_batch returns: columns (memoryviews) by name.
BatchResult = dict[str, memoryview]
# The columns of one event of the caller's: operation, key, side, price, quantity.
OwnColumns = tuple[bytes, array[int], bytes, array[Any], array[Any]]
# Messages replayed per batch call by `run`: bounds the memory of its output columns.
_BATCH = 1 << 20

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
    buy_id: str | None
    """The book's id of the buy order; None for an execution's stand-in (the
    exchange's other side, which never rests) and for orders added to ``book``
    directly rather than through the replay."""
    sell_id: str | None
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


class FillColumns:
    """Fills as columns: the message index that caused each (-1 before the first
    message), the keys of its buy and sell orders (see ``quoranth_replay.plan``; -1
    for an execution's stand-in), price in ticks and quantity."""

    __slots__ = ("index", "buy_key", "sell_key", "ticks", "quantity")

    def __init__(self) -> None:
        self.index: array[int] = array("q")
        self.buy_key: array[int] = array("q")
        self.sell_key: array[int] = array("q")
        self.ticks: array[int] = array("q")
        self.quantity: array[float] = array("d")

    def __len__(self) -> int:
        return len(self.index)

    def _cut(self, rows: int) -> None:
        """Drop every row from ``rows`` on: the rows a failed append left in some columns only."""
        del self.index[rows:]
        del self.buy_key[rows:]
        del self.sell_key[rows:]
        del self.ticks[rows:]
        del self.quantity[rows:]


class _Uncounted:
    """A batch result the book has applied and the replay has still to count: its fills
    belong to messages from ``first_index`` (None: the opening orders), and with
    ``compared`` its best levels after messages ``start`` to ``stop`` are compared.
    One object, its fields set in place: that takes no memory, so a result the book
    applied is never dropped for lack of it."""

    __slots__ = ("result", "start", "stop", "first_index", "compared")

    def __init__(self) -> None:
        self.result: BatchResult | None = None
        self.start = self.stop = 0
        self.first_index: int | None = None
        self.compared = False


class Reference(NamedTuple):
    """The exchange's best levels after each message, from its orderbook file (see ``_reference``)."""

    bid_prices: array[int]
    bid_sizes: array[int]
    ask_prices: array[int]
    ask_sizes: array[int]


class TopOfBook(NamedTuple):
    """The best level of each side after each message, as columns (memoryviews):
    price in ticks and the level's total quantity; 0 and 0.0 for an empty side."""

    bid_price: memoryview
    bid_quantity: memoryview
    ask_price: memoryview
    ask_quantity: memoryview


class Agreement(NamedTuple):
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
        """``count`` (one of these fields) as a share of the messages compared; None before any."""
        return count / self.compared if self.compared else None

    def plus(self, *counts: int) -> Agreement:
        """These counts with ``counts`` (in field order) added."""
        return Agreement(*map(add, self, counts))


class Fidelity(NamedTuple):
    """Visible executions replayed, and how many filled exactly the order the exchange named."""

    executions: int = 0
    faithful: int = 0

    @property
    def share(self) -> float | None:
        """The faithful share of the executions replayed; None before any."""
        return self.faithful / self.executions if self.executions else None


class Replay:
    """Replays a LOBSTER message file through an ``OrderBook``.

    Iterate over it to apply the messages one by one: each step is a ``Step``
    with the message and the fills it caused. Between steps, ``place``,
    ``cancel`` and ``reduce`` work on the caller's own orders in the same book,
    where they queue and trade with the exchange's orders by price-time
    priority; every ``ReplayFill`` tells whether it touched one of them.
    ``run()`` applies the remaining messages without stopping, in one batch call
    (a few for very long files).

    Given the exchange's orderbook file, the book starts from the exchange's
    visible book (one order per level) and its best bid and ask are compared with
    the exchange's after every message (``agreement``); ``fidelity`` counts the
    executions that filled the very order the exchange named.

    The book is driven through ``OrderBook.apply_batch`` only, with the plan's
    integer keys (see ``quoranth_replay.plan``); the caller's orders get keys
    after the plan's, so ``book.order_id(key)`` names any order of the replay.

    Attributes: ``book`` (the ``OrderBook``), ``messages`` and ``orderbook``
    (the files as read), ``plan``, ``index`` (messages applied so far),
    ``fill_count`` and ``traded_volume`` (every fill so far, the caller's
    included), ``agreement`` and ``fidelity``. A replay cannot be copied or
    pickled; it is for one thread.
    """

    def __init__(
        self,
        messages: MessageFile | Path | str,
        orderbook: OrderbookFile | Path | str | None = None,
        *,
        keep_fills: bool = False,
    ) -> None:
        self.messages = messages if isinstance(messages, MessageFile) else read_messages(messages)
        if not len(self.messages):
            raise ReplayInputError(self.messages.path, None, "no messages")
        m = self.messages
        _check_lengths(m.path, (m.times, m.types, m.order_ids, m.sizes, m.prices, m.directions))
        if m is messages:  # made by hand, or read before and perhaps changed since
            check_messages(m)
        if orderbook is not None and not isinstance(orderbook, OrderbookFile):
            orderbook = read_orderbook(orderbook)
        if orderbook is not None:
            _check_lengths(orderbook.path, (orderbook.ask_prices, orderbook.ask_sizes, orderbook.bid_prices, orderbook.bid_sizes))
        if orderbook is not None and len(orderbook) != len(self.messages):
            raise ReplayInputError(
                orderbook.path, None, f"has {len(orderbook)} rows but {self.messages.path} has {len(self.messages)} messages"
            )
        self.orderbook = orderbook
        with columns_in_range(m.path):
            self.plan: Plan = make_plan(self.messages, orderbook)
        self.book = OrderBook(tick_size=TICK_SIZE)
        self.agreement = Agreement()
        self.fidelity = Fidelity()
        self.fill_count = 0
        self.traded_volume = 0.0
        self._index = 0
        self._keep_fills = keep_fills
        # Kept fills: the first _kept_rows rows are whole; an append that failed
        # part-way may leave some columns longer, cut back before the next one.
        self._kept = FillColumns()
        self._kept_rows = 0
        # The result the book applied last, until it is counted (see _count_pending).
        self._uncounted = _Uncounted()
        plan = self.plan
        # The plan's columns as views, sliced per batch without copying.
        self._columns = tuple(memoryview(column) for column in (plan.operations, plan.keys, plan.sides, plan.ticks, plan.quantities))
        self._operations = plan.operations.tobytes()
        # Keys of the caller's orders start after the messages' and the opening orders'.
        self._first_own_key = self._next_key = len(self.messages) + len(plan.opening)
        self._own: dict[str, int] = {}  # the caller's order ids -> keys
        self._reference = None
        if orderbook is not None:
            with columns_in_range(orderbook.path):
                self._reference = _reference(orderbook)
        if plan.opening:
            keys, sides, ticks, sizes = zip(*plan.opening)
            opened = self.book.apply_batch(
                bytes([ADD]) * len(keys), array("q", keys), bytes(sides), array("q", ticks), array("d", sizes)
            )
            self._hold(opened, 0, 0, None, False)

    def __copy__(self) -> Replay:
        raise _cannot_copy()

    def __deepcopy__(self, memo: dict[int, object]) -> Replay:
        raise _cannot_copy()

    def __reduce_ex__(self, protocol: SupportsIndex) -> str | tuple[Any, ...]:
        raise _cannot_copy()

    # ------------------------------------------------------------ stepping

    @property
    def index(self) -> int:
        """Messages applied so far; the next one to apply."""
        return self._index

    def __len__(self) -> int:
        """The messages of the file."""
        return len(self.messages)

    def __iter__(self) -> Iterator[Step]:
        return self

    def __next__(self) -> Step:
        index = self._index
        if index >= len(self.messages):
            self._count_pending()  # a result held from the last call (_apply counts it otherwise)
            raise StopIteration
        # An execution that uses up the order it names also takes the order's key
        # away: its id is looked up first, for the fill.
        key = self.plan.keys[index]
        named = (key, self.book.order_id(key)) if self._operations[index] == EXECUTE_LAST else None
        result = self._apply(index, index + 1, tops=self._reference is not None)
        return Step(index, self.messages[index], self._replay_fills(result, index, named))

    def run(self, until: int | None = None, *, depth_levels: int = 0) -> list[Depth]:
        """Apply the messages before index ``until`` (by default all that are left).

        Without ``depth_levels``, in one batch call on the book (a few for very
        long files), and returns []. With ``depth_levels``, message by message
        (a batch of one each, some microseconds), returning
        ``book.depth(depth_levels)`` after each.
        """
        self._count_pending()
        start = self._index
        stop = self._stop(start, until)
        if not depth_levels:
            for first in range(start, stop, _BATCH):
                self._apply(first, min(first + _BATCH, stop), tops=self._reference is not None)
            return []
        views: list[Depth] = []
        depth, keep, tops = self.book.depth, views.append, self._reference is not None
        depth(depth_levels)  # a bad value raises here, before any message is applied
        for index in range(start, stop):
            self._apply(index, index + 1, tops=tops)
            keep(depth(depth_levels))
        return views

    def run_top_of_book(self, until: int | None = None) -> TopOfBook:
        """Apply the messages before index ``until`` (by default all that are left)
        in one batch call, and return the best bid and ask after each."""
        start = self._index
        stop = self._stop(start, until)
        result = self._apply(start, stop, tops=True)
        return TopOfBook(result["bid_price"], result["bid_quantity"], result["ask_price"], result["ask_quantity"])

    def _stop(self, start: int, until: int | None) -> int:
        """Where a run from ``start`` ends: before message ``until`` (an index, never a
        time: a float is refused), or at the end of the file."""
        if until is None:
            return len(self.messages)
        try:
            until = as_integer(until)
        except TypeError:
            raise TypeError(f"argument 'until': '{type(until).__name__}' object cannot be interpreted as an integer") from None
        return max(start, min(until, len(self.messages)))

    @property
    def time(self) -> float:
        """Exchange time of the last message applied (of the first message before any)."""
        times = self.messages.times
        return times[self._index - 1] if self._index else times[0]

    # -------------------------------------------------- the caller's orders

    def place(self, side: OrderType, price_in_ticks: int, quantity: float) -> Placed:
        """Add one of the caller's limit orders to the book now; it matches and rests like any other.

        A ``MemoryError`` raised once the book has added the order carries its id as
        ``order_id``: the order is the caller's all the same (``is_mine``, ``cancel``)."""
        _check_type(side, OrderType, "side", "OrderType")
        key = self._next_key
        self._next_key += 1  # taken first: converting the price and quantity may run hooks that place orders too
        columns = self._own_columns(ADD, key, SELL if side == OrderType.Sell else BUY, price_in_ticks, quantity)
        index, last = self._index, self._index - 1  # after the conversions: their hooks may step the replay
        try:
            result = self._own_apply(columns)
            self._hold(result, index, index, last, False)
            order_id = self._adopt(key)
            return Placed(order_id, self._replay_fills(result, last))
        except MemoryError as error:
            # The key was new: if it names an order, the book added this one,
            # whatever failed (the fills may not have been reported).
            added = self.book.order_id(key)
            if added is not None:
                self._own[added] = key
                setattr(error, "order_id", added)  # an attribute MemoryError does not declare
            raise

    def cancel(self, order_id: str) -> bool:
        """Cancel one of the caller's orders; False if it is not one of theirs or no longer known."""
        _check_type(order_id, str, "order_id", "PyString")
        key = self._own.get(order_id)
        if key is None:
            return False
        known = self.book.get_order(order_id) is not None
        try:
            self._own_event(CANCEL, key)
        except MemoryError:
            # The key names the order while the book holds it: still named, the
            # cancel did not happen, and the order stays the caller's.
            if self.book.order_id(key) is not None:
                raise
        del self._own[order_id]
        return known

    def reduce(self, order_id: str, quantity: float) -> bool:
        """Take ``quantity`` off one of the caller's resting orders, keeping its queue place."""
        _check_type(order_id, str, "order_id", "PyString")
        key = self._own.get(order_id)
        if key is None:
            # A reduce of no key changes nothing, but the book checks its quantity.
            self._own_event(REDUCE, NO_KEY, quantity=quantity)
            return False
        resting = self.book.queue_position(order_id) is not None
        left = self._quantity_left(order_id)
        try:
            self._own_event(REDUCE, key, quantity=quantity)
        except MemoryError:
            if self._quantity_left(order_id) == left:  # the reduce did not happen
                raise
        if self.book.order_id(key) is None:  # reduced to nothing: gone from the book, as if cancelled
            self._own.pop(order_id, None)  # (a hook converting the quantity may have cancelled it already)
        return resting

    def queue_position(self, order_id: str) -> tuple[int, float] | None:
        """(orders ahead, quantity ahead) of a resting order, or None."""
        return self.book.queue_position(order_id)

    def is_mine(self, order_id: str) -> bool:
        """Whether ``order_id`` names an order the caller placed and has not cancelled or reduced to nothing."""
        _check_type(order_id, str, "order_id", "PyString")
        return order_id in self._own

    # ---------------------------------------------------------- recorded fills

    def take_fills(self) -> FillColumns:
        """The fills recorded since the last call (kept only with ``keep_fills=True``)."""
        self._count_pending()
        fresh, taken = FillColumns(), self._kept
        taken._cut(self._kept_rows)
        self._kept, self._kept_rows = fresh, 0
        return taken

    def exchange_id(self, key: int) -> int | None:
        """The exchange's id of the order under ``key``; None for other orders."""
        try:
            key = as_integer(key)
        except TypeError:
            raise TypeError(f"argument 'key': '{type(key).__name__}' object cannot be interpreted as an integer") from None
        return self.messages.order_ids[key] if 0 <= key < len(self.messages) else None

    # ---------------------------------------------------------- internals

    def _apply(self, start: int, stop: int, *, tops: bool) -> BatchResult:
        """Carry out the plan for messages ``start`` to ``stop`` in one batch call."""
        self._count_pending()
        operations, keys, sides, ticks, quantities = [column[start:stop] for column in self._columns]
        try:
            result = self.book.apply_batch(operations, keys, sides, ticks, quantities, top_of_book=tops)
        except (MemoryError, ValueError) as error:
            # A batch stopped part-way (out of memory, or a column written
            # meanwhile) keeps the messages it applied: so does the replay, or
            # applying them again would add their orders twice.
            applied, fills = getattr(error, "events_applied", 0), getattr(error, "fills", None)
            if fills is not None:
                self._take_in(fills, start, start + applied)
            else:
                self._index = start + applied  # their fills could not be reported
            raise
        self._take_in(result, start, stop)
        return result

    def _take_in(self, result: BatchResult, start: int, stop: int) -> None:
        """Move past messages ``start`` to ``stop``, applied with this result, and count them."""
        self._index = stop
        self._hold(result, start, stop, start, self._reference is not None)

    def _hold(self, result: BatchResult, start: int, stop: int, first_index: int | None, compared: bool) -> None:
        """Hold the result the book just applied, then count it (see _Uncounted)."""
        held = self._uncounted
        held.start = start
        held.stop = stop
        held.first_index = first_index
        held.compared = compared
        held.result = result
        self._count_pending()

    def _count_pending(self) -> None:
        """Count the result held, whole or not at all: one whose counting fails (for lack
        of memory) is counted at the next call, before the book changes again, so that the
        counts and the kept fills never take in part of a result, nor one twice."""
        held = self._uncounted
        result = held.result
        if result is None:
            return
        fidelity = self._fidelity_after(result, held.start, held.stop)
        agreement = self._agreement_after(held.start, result) if held.compared else self.agreement
        quantities = result["quantity"]
        if quantities:
            fill_count, traded_volume = self.fill_count + len(quantities), self.traded_volume + sum(quantities)
            kept_rows = self._keep(result, held.first_index) if self._keep_fills else 0
            # Nothing from here on takes memory, so nothing fails.
            self.fill_count = fill_count
            self.traded_volume = traded_volume
            self._kept_rows = kept_rows
        self.fidelity = fidelity
        self.agreement = agreement
        held.result = None

    def _own_event(self, operation: int, key: int, side: int = BUY, price_in_ticks: int = 1, quantity: float = 1.0) -> BatchResult:
        """One event of the caller's as a batch; bad values raise as the per-order calls do."""
        return self._own_apply(self._own_columns(operation, key, side, price_in_ticks, quantity))

    @staticmethod
    def _own_columns(operation: int, key: int, side: int, price_in_ticks: int, quantity: float) -> OwnColumns:
        """The columns of one event of the caller's. Converting the price and quantity
        may run the caller's hooks, which may place orders or step the replay."""
        return (bytes([operation]), array("q", [key]), bytes([side]), _column("q", price_in_ticks, "price_in_ticks"),
                _column("d", quantity, "quantity"))

    def _own_apply(self, columns: OwnColumns) -> BatchResult:
        """Apply one event of the caller's; a stopped batch whose event was applied and whose
        result was made after all counts as done."""
        self._count_pending()
        try:
            return self.book.apply_batch(*columns)
        except ValueError as error:
            raise ValueError(str(error).removeprefix("event 0: ")) from None
        except MemoryError as error:
            # Applied, and its result made after all: done.
            fills: BatchResult | None = getattr(error, "fills", None)
            if getattr(error, "events_applied", 0) and fills is not None:
                return fills
            raise

    def _quantity_left(self, order_id: str) -> float | None:
        """The quantity the book's index gives the order, or None if it holds none."""
        order = self.book.get_order(order_id)
        return None if order is None else order.quantity

    def _adopt(self, key: int) -> str:
        """Make the order just added under ``key`` one of the caller's; its id."""
        order_id = self.book.order_id(key)
        assert order_id is not None  # just added under the key
        self._own[order_id] = key
        return order_id

    def _keep(self, result: BatchResult, first_index: int | None) -> int:
        """Append the fills of a batch whose first event is message ``first_index`` (None for
        the opening orders, before the first message) to the kept columns; the rows they then
        hold, which the caller commits once nothing can fail."""
        kept, events = self._kept, result["event"]
        rows = self._kept_rows + len(events)
        kept._cut(self._kept_rows)
        kept.index.extend(repeat(-1, len(events)) if first_index is None else map(first_index.__add__, events))
        for column, name in ((kept.buy_key, "buy_key"), (kept.sell_key, "sell_key"), (kept.ticks, "price_in_ticks"),
                             (kept.quantity, "quantity")):
            column.frombytes(result[name].cast("B"))
        return rows

    def _fidelity_after(self, result: BatchResult, start: int, stop: int) -> Fidelity:
        """The fidelity counting also the executions among messages ``start`` to ``stop``, and those
        that filled the very order named: one fill, of the execution's whole size, with that order (on_named)."""
        operations = self._operations
        executions = operations.count(EXECUTE_ORDER, start, stop) + operations.count(EXECUTE_LAST, start, stop)
        if not executions:
            return self.fidelity
        faithful = bytes(result["on_named"]).count(1)
        return Fidelity(self.fidelity.executions + executions, self.fidelity.faithful + faithful)

    def _replay_fills(self, result: BatchResult, index: int, named: tuple[int, str | None] | None = None) -> list[ReplayFill]:
        """The fills of a one-event batch for message ``index``; ``named`` is the key and
        id of the order the event took the key of."""
        quantities = result["quantity"]
        if not quantities:
            return []
        when = self.messages.times[max(index, 0)]
        own, book_id = self._first_own_key, self._book_id
        return [
            ReplayFill(when, index, ticks, quantity, book_id(buy, named), book_id(sell, named), buy >= own, sell >= own)
            for buy, sell, ticks, quantity in zip(result["buy_key"], result["sell_key"], result["price_in_ticks"], quantities)
        ]

    def _book_id(self, key: int, named: tuple[int, str | None] | None) -> str | None:
        """The book's id of the order under ``key``; ``named`` is the key and id of an
        order whose key the event took away."""
        if named is not None and key == named[0]:
            return named[1]
        return None if key == NO_KEY else self.book.order_id(key)

    def _agreement_after(self, start: int, result: BatchResult) -> Agreement:
        """The agreement counting also the best levels after messages ``start``, ``start + 1``, ... against the exchange's."""
        reference = self._reference
        assert reference is not None  # compared only given the exchange's orderbook
        bid_prices, bid_sizes, ask_prices, ask_sizes = reference
        compared = len(result["bid_price"])
        if compared == 1:  # a step: plain comparisons cost less than building lists
            bid_price_ok = result["bid_price"][0] == bid_prices[start]
            ask_price_ok = result["ask_price"][0] == ask_prices[start]
            bid_ok = bid_price_ok and result["bid_quantity"][0] == bid_sizes[start]
            ask_ok = ask_price_ok and result["ask_quantity"][0] == ask_sizes[start]
            both_prices_ok, both_ok = bid_price_ok and ask_price_ok, bid_ok and ask_ok
            return self.agreement.plus(1, bid_price_ok, ask_price_ok, both_prices_ok, bid_ok, ask_ok, both_ok)
        stop = start + compared
        bid_prices_ok = list(map(eq, result["bid_price"].tolist(), bid_prices[start:stop]))
        ask_prices_ok = list(map(eq, result["ask_price"].tolist(), ask_prices[start:stop]))
        bids_ok = list(map(and_, bid_prices_ok, map(eq, result["bid_quantity"].tolist(), bid_sizes[start:stop])))
        asks_ok = list(map(and_, ask_prices_ok, map(eq, result["ask_quantity"].tolist(), ask_sizes[start:stop])))
        return self.agreement.plus(
            compared,
            sum(bid_prices_ok),
            sum(ask_prices_ok),
            sum(map(and_, bid_prices_ok, ask_prices_ok)),
            sum(bids_ok),
            sum(asks_ok),
            sum(map(and_, bids_ok, asks_ok)),
        )


def _cannot_copy() -> TypeError:
    return TypeError("Replay objects cannot be copied or pickled: they drive a book of their own; "
                     "make another Replay of the same files and run it to the same index")


def _check_lengths(path: str, columns: tuple[Sized, ...]) -> None:
    """Columns made by hand must have a row each for every message (the readers' always do)."""
    if len({len(column) for column in columns}) > 1:
        raise ReplayInputError(path, None, f"its columns differ in length ({', '.join(str(len(c)) for c in columns)})")


def _check_type(value: object, expected: type, name: str, target: str) -> None:
    """TypeError for a value of another type, as the book's own methods give it:
    an order object or an int is not "an id that is not the caller's"."""
    if not isinstance(value, expected):
        raise TypeError(f"argument '{name}': '{type(value).__name__}' object cannot be converted to '{target}'")


def _column(typecode: str, value: float, name: str) -> array[Any]:
    """A one-item column of ``typecode``; a TypeError names the argument, as the book's do."""
    try:
        return array(typecode, [value])
    except TypeError as error:
        raise TypeError(f"argument '{name}': {error}") from None


def _reference(orderbook: OrderbookFile) -> Reference:
    """The exchange's best bid and best ask after each message: price in ticks and size; 0 and 0 for an empty side."""
    bid_prices, bid_sizes = _best_levels(orderbook.bid_prices, orderbook.bid_sizes, le, NO_BID)
    ask_prices, ask_sizes = _best_levels(orderbook.ask_prices, orderbook.ask_sizes, ge, NO_ASK)
    return Reference(bid_prices, bid_sizes, ask_prices, ask_sizes)


def _best_levels(prices: array[int], sizes: array[int], beyond: Callable[[int, int], bool], placeholder: int) -> tuple[array[int], array[int]]:
    """Prices in ticks and sizes of one side, with 0 and 0 where the side is empty
    (at the placeholder price or beyond it); whole columns at a time, since empty
    rows are few. Kept as arrays for the replay's life: 16 bytes a message, where
    lists of ints took about a hundred."""
    ticks = array("q", map(floordiv, prices, repeat(PRICE_UNITS_PER_TICK)))
    levels = array("q", sizes)
    for row in compress(count(), map(beyond, prices, repeat(placeholder))):
        ticks[row] = levels[row] = 0
    return ticks, levels
