"""A limit order book for one instrument with price-time priority matching."""

from array import array
from collections.abc import Buffer
from typing import Any, ClassVar, Self, final


__all__ = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]

@final
class OrderType:
    """Represents the side of an order: either Buy or Sell.

    Members compare equal to their own kind and to their integer value
    (Buy == 0, Sell == 1); they have no ordering and are unhashable.
    The class cannot be instantiated.
    """

    Buy: ClassVar[OrderType]
    Sell: ClassVar[OrderType]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> Self:
        """The member itself, as pickle gives it back."""

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

@final
class OrderStatus:
    """Represents the current status of an order.

    Members compare equal to their own kind and to their integer value
    (Open == 0, Filled == 1, Canceled == 2); they have no ordering and are
    unhashable. The class cannot be instantiated.
    """

    Open: ClassVar[OrderStatus]
    Filled: ClassVar[OrderStatus]
    Canceled: ClassVar[OrderStatus]
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __copy__(self) -> Self:
        """The member itself, as pickle gives it back."""

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

@final
class Order:
    """Represents a single order in the order book.

    Raises ValueError unless ``price_in_ticks`` is positive and ``quantity``
    positive and finite.
    """

    def __new__(cls, side: OrderType, price_in_ticks: int, quantity: float) -> Self: ...
    @property
    def id(self) -> str:
        """Random 36-character UUID text."""

    @property
    def side(self) -> OrderType: ...
    @property
    def price_in_ticks(self) -> int: ...
    @property
    def quantity(self) -> float:
        """Remaining open quantity."""

    @property
    def status(self) -> OrderStatus: ...
    @property
    def timestamp(self) -> int:
        """Creation time in nanoseconds since the Unix epoch."""

    def can_match(self, other: Order) -> bool:
        """Whether the orders are on opposite sides and their prices cross (their
        statuses are not looked at: a filled order still matches)."""

    def fill(self, incoming: Order, tick_size: float) -> Fill | None:
        """Trade the smaller remaining quantity of the two orders, reducing both in place.

        Returns None, changing nothing, when the orders cannot match; a Fill of
        quantity 0, changing nothing, when one of them has nothing left.
        """

    def is_open(self) -> bool: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

@final
class Fill:
    """Represents a match (fill) between two orders."""

    def __new__(cls, quantity: float, price: float, buy_id: str, sell_id: str, timestamp: int) -> Self: ...
    @property
    def quantity(self) -> float: ...
    @property
    def price(self) -> float:
        """Execution price in price units: the sell order's ticks times the tick size."""

    @property
    def buy_id(self) -> str: ...
    @property
    def sell_id(self) -> str: ...
    @property
    def timestamp(self) -> int:
        """Time of the match in nanoseconds since the Unix epoch."""

    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

@final
class OrderBook:
    """Represents the main order book for matching buy and sell orders.

    Raises ValueError unless ``tick_size`` is finite and positive.
    """

    def __new__(cls, tick_size: float = 0.01) -> Self: ...
    @property
    def tick_size(self) -> float: ...
    @property
    def buy_orders(self) -> list[Order]:
        """Resting buy orders, lowest price first, oldest first within a price."""

    @property
    def sell_orders(self) -> list[Order]:
        """Resting sell orders, lowest price first, oldest first within a price."""

    def create_order(self, side: OrderType, price: float, quantity: float) -> Order:
        """A new order at ``price`` rounded to ticks; it is not added to the book."""

    def add(self, incoming_order: Order) -> list[Fill]:
        """Match the order against the book and rest what is left of it.

        Works on a copy: ``incoming_order`` itself is left unchanged.
        """

    def cancel(self, order_id: str) -> bool:
        """Remove the order from the book; False if the id is unknown."""

    def get_order(self, order_id: str) -> Order | None:
        """A copy of the book's latest state of the order, or None."""

    def update_order(self, order: Order) -> None:
        """Overwrite the book's record of the order; its resting copy is untouched.

        ValueError if the id rests as an order with another side, price or timestamp.
        """

    def best_bid(self) -> tuple[int, float] | None:
        """(price in ticks, quantity of the first order queued there) of the highest bid."""

    def best_ask(self) -> tuple[int, float] | None:
        """(price in ticks, quantity of the first order queued there) of the lowest ask."""

    def buy_volume(self) -> float: ...
    def sell_volume(self) -> float: ...
    def spread(self) -> float | None:
        """Best ask minus best bid in price units; None if either side is empty."""

    def depth(self, levels: int = 10) -> tuple[list[tuple[int, float, int]], list[tuple[int, float, int]]]:
        """(bids, asks): up to ``levels`` levels per side as (price_in_ticks, quantity, orders), best first."""

    def reduce(self, order_id: str, quantity: float) -> bool:
        """Take ``quantity`` off a resting order in place, keeping its queue position; cancel it at nothing.

        For an order resting more than once, its oldest record is reduced, and a record
        left with nothing goes while the order's other records stay.
        """

    def queue_position(self, order_id: str) -> tuple[int, float] | None:
        """(orders_ahead, quantity_ahead) of a resting order in its level's queue, or None."""

    def apply_batch(
        self,
        operations: Buffer,
        keys: Buffer,
        sides: Buffer,
        prices_in_ticks: Buffer,
        quantities: Buffer,
        top_of_book: bool = False,
    ) -> dict[str, memoryview[Any]]:  # int or float items, by column
        """Apply events given as columns of one length, in order; return the fills as columns.

        Columns are one-dimensional buffers of numbers (``array.array``, NumPy arrays,
        ``memoryview``), converted when their item type differs. ``operations``: 0 nothing,
        1 add a limit order (side, price, quantity) under ``key`` (0 or more), 2 reduce the order under
        ``key`` by ``quantity`` in place, 3 cancel it, 4 take (match, then drop the rest),
        5 take, then cancel the order under ``key``. ``sides``: 0 Buy, 1 Sell. The orders
        of one batch carry one timestamp: the time the batch began.

        Returns read-only memoryviews: ``event``, ``buy_key``, ``sell_key`` (-1: no key),
        ``price_in_ticks``, ``quantity`` and ``on_named`` (1 for a take that traded its
        whole quantity, in that one fill, with the order its key names), one per fill;
        with ``top_of_book`` also
        ``bid_price``, ``bid_quantity``, ``ask_price``, ``ask_quantity`` after each event
        (the level's total; 0 for an empty side). Every event is checked before any is
        applied: a bad one raises ValueError naming it and nothing changes. A batch that
        runs out of memory (MemoryError), or meets an event whose column another thread
        wrote after the check (ValueError), keeps the events before that one: the error's
        ``events_applied`` and ``fills`` say how many, and what they traded.
        """

    def order_id(self, key: int) -> str | None:
        """The id of the order a batch added under ``key``, while the book holds it; else None."""

    def __copy__(self) -> Self:
        """An independent book in the same state (deep: a book holds no Python objects)."""

    def __deepcopy__(self, memo: dict[int, object], /) -> Self: ...

# Private helpers of the quoranth_replay package: LOBSTER files as columns.
def _lobster_message_columns(
    data: Buffer, width: int, /
) -> tuple[array[float], array[int], array[int], array[int], array[int], array[int]] | None: ...
def _lobster_integer_columns(data: Buffer, width: int, kept: int, /) -> tuple[array[int], ...] | None: ...
def _lobster_unplain_message(
    times: Buffer, types: Buffer, sizes: Buffer, prices: Buffer, directions: Buffer, /
) -> int | None: ...
def _lobster_plan(
    types: Buffer,
    order_ids: Buffer,
    sizes: Buffer,
    prices: Buffer,
    directions: Buffer,
    opening_keys: Buffer,
    opening_sides: Buffer,
    opening_ticks: Buffer,
    /,
) -> tuple[array[int], array[int], array[int], array[int], array[int], int]: ...
