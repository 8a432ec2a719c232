"""A plain pure-Python limit order book with the same behaviour as quoranth.

This is the book a Python programmer would write with the standard library:
a dict index from order id to order, and for each side a sorted list of
prices (``bisect``) next to a dict of FIFO queues (``deque``). It offers the
same public surface as the native module (``Order``, ``Fill``, ``OrderBook``,
``OrderType``, ``OrderStatus``) so that the benchmark drives both through the
exact same calls.

Semantics kept identical to the native book: price-time priority, partial
fills keep their place at the head of the queue, fills are priced at the sell
order's price, every add writes the final state of the orders it touched into
the index, filled orders stay in the index until cancelled, cancel removes
every resting record with that id at the indexed price, ``add`` never changes
the caller's object, and lookups hand out copies.

To stay reasonably fast without changing what callers observe, the resting
record and the index entry of an order are one shared object (the index is
written with exactly that state after every match anyway); ``update_order``
replaces the index entry with a fresh copy, after which the two diverge as
they should.
"""

from __future__ import annotations

import enum
import time
import uuid
from bisect import bisect_left, insort
from collections import deque

__all__ = ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]


class OrderType(enum.IntEnum):
    Buy = 0
    Sell = 1


class OrderStatus(enum.IntEnum):
    Open = 0
    Filled = 1
    Canceled = 2


BUY = OrderType.Buy
SELL = OrderType.Sell
OPEN = OrderStatus.Open
FILLED = OrderStatus.Filled

_now = time.time_ns
_uuid4 = uuid.uuid4


def _plain(x: float) -> str:
    """Shortest round-trip digits, never in exponent notation, no trailing '.0'."""
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "-inf" if x < 0 else "inf"
    if x == int(x) and abs(x) < 1e16:
        text = str(int(x))
        return "-0" if text == "0" and str(x).startswith("-") else text
    text = repr(x)
    if "e" in text or "E" in text:
        text = format(__import__("decimal").Decimal(text), "f")
    return text


def _fixed(x: float, digits: int) -> str:
    if x != x:
        return "NaN"
    if x in (float("inf"), float("-inf")):
        return "-inf" if x < 0 else "inf"
    return f"{x:.{digits}f}"


class Fill:
    __slots__ = ("quantity", "price", "buy_id", "sell_id", "timestamp")

    def __init__(self, quantity, price, buy_id, sell_id, timestamp):
        self.quantity = quantity
        self.price = price
        self.buy_id = buy_id
        self.sell_id = sell_id
        self.timestamp = timestamp

    def __repr__(self):
        return (f"Fill: {_fixed(self.quantity, 2)} @ {_fixed(self.price, 2)} "
                f"(Buy: {self.buy_id}, Sell: {self.sell_id}) at {self.timestamp}")


class Order:
    __slots__ = ("id", "side", "price_in_ticks", "quantity", "status", "timestamp")

    def __init__(self, side, price_in_ticks, quantity):
        if price_in_ticks <= 0:
            raise ValueError("price_in_ticks must be positive")
        if quantity <= 0.0:
            raise ValueError("quantity must be positive")
        self.id = str(_uuid4())
        self.side = side
        self.price_in_ticks = price_in_ticks
        self.quantity = float(quantity)
        self.status = OPEN
        self.timestamp = _now() // 100 * 100

    def _copy(self) -> "Order":
        o = _new_order(Order)
        o.id = self.id
        o.side = self.side
        o.price_in_ticks = self.price_in_ticks
        o.quantity = self.quantity
        o.status = self.status
        o.timestamp = self.timestamp
        return o

    def is_open(self) -> bool:
        return self.status is OPEN

    def can_match(self, other: "Order") -> bool:
        if self.side is other.side:
            return False
        if self.side is BUY:
            return self.price_in_ticks >= other.price_in_ticks
        return other.price_in_ticks >= self.price_in_ticks

    def fill(self, incoming: "Order", tick_size: float):
        if not self.can_match(incoming):
            return None
        return _fill(self, incoming, tick_size)

    def __repr__(self):
        return (f"[{self.side.name} {_plain(self.quantity)} @ {self.price_in_ticks}] "
                f"[{self.id}, placed at {self.timestamp}]")


_new_order = object.__new__


def _fill(resting: Order, incoming: Order, tick_size: float) -> Fill:
    """One match; the caller has already checked that the two orders cross."""
    a, b = resting.quantity, incoming.quantity
    q = b if (a != a or b <= a) and b == b else a
    resting.quantity = a - q
    incoming.quantity = b - q
    if resting.quantity <= 0.0:
        resting.status = FILLED
    if incoming.quantity <= 0.0:
        incoming.status = FILLED
    if resting.side is SELL:
        price = resting.price_in_ticks * tick_size
        return Fill(q, price, incoming.id, resting.id, _now() // 100 * 100)
    price = incoming.price_in_ticks * tick_size
    return Fill(q, price, resting.id, incoming.id, _now() // 100 * 100)


class OrderBook:
    """Price levels per side: a sorted key list plus a dict of deques.

    Keys are stored so that the best level is always the last element of the
    side's key list: bids by price, asks by negated price.
    """

    __slots__ = ("tick_size", "orders", "_bid_keys", "_bid_levels",
                 "_ask_keys", "_ask_levels", "_shadowed")

    def __init__(self, tick_size: float = 0.01):
        self.tick_size = float(tick_size)
        self.orders: dict[str, Order] = {}
        self._bid_keys: list[int] = []          # ascending prices
        self._bid_levels: dict[int, deque] = {}
        self._ask_keys: list[int] = []          # ascending negated prices
        self._ask_levels: dict[int, deque] = {}
        # ids whose index entry may differ from a resting record (added twice
        # while resting, or written by update_order): cancel scans for them.
        self._shadowed: set[str] = set()

    # -- creation ---------------------------------------------------------
    def create_order(self, side, price, quantity) -> Order:
        price = float(price)
        quantity = float(quantity)
        if price <= 0 or quantity <= 0:
            raise ValueError("Price and quantity must be positive")
        q = price / self.tick_size
        if q != q:
            ticks = 0
        elif q >= 9.223372036854775807e18:
            ticks = 9223372036854775807
        elif q <= -9.223372036854775808e18:
            ticks = -9223372036854775808
        else:
            ticks = int(q + 0.5) if q >= 0 else -int(-q + 0.5)
        if ticks <= 0:
            raise ValueError("Resulting price_in_ticks must be positive")
        return Order(side, ticks, quantity)

    # -- matching ---------------------------------------------------------
    def add(self, incoming_order: Order) -> list[Fill]:
        order = incoming_order._copy()
        orders = self.orders
        fills = []
        tick_size = self.tick_size
        price = order.price_in_ticks
        if order.side is BUY:
            keys, levels, sign = self._ask_keys, self._ask_levels, -1
            own_keys, own_levels, own_key = self._bid_keys, self._bid_levels, price
        else:
            keys, levels, sign = self._bid_keys, self._bid_levels, 1
            own_keys, own_levels, own_key = self._ask_keys, self._ask_levels, -price
        while order.status is OPEN and keys:
            key = keys[-1]
            level_price = key * sign
            if (level_price > price) if sign < 0 else (level_price < price):
                break
            queue = levels[key]
            resting = queue[0]
            fills.append(_fill(resting, order, tick_size))
            if resting.status is not OPEN:
                queue.popleft()
                if not queue:
                    keys.pop()
                    del levels[key]
            orders[resting.id] = resting
        if order.status is OPEN:
            queue = own_levels.get(own_key)
            if queue is None:
                own_levels[own_key] = deque((order,))
                if not own_keys or own_key > own_keys[-1]:
                    own_keys.append(own_key)
                else:
                    insort(own_keys, own_key)
            else:
                queue.append(order)
            previous = orders.get(order.id)
            if previous is not None and previous.status is OPEN:
                self._shadowed.add(order.id)
        orders[order.id] = order
        return fills

    # -- cancel, lookup, update -------------------------------------------
    def cancel(self, order_id: str) -> bool:
        entry = self.orders.pop(order_id, None)
        if entry is None:
            return False
        if entry.side is BUY:
            keys, levels, key = self._bid_keys, self._bid_levels, entry.price_in_ticks
        else:
            keys, levels, key = self._ask_keys, self._ask_levels, -entry.price_in_ticks
        queue = levels.get(key)
        if queue is None:
            return True
        if order_id in self._shadowed:
            self._shadowed.discard(order_id)
            kept = [o for o in queue if o.id != order_id]
            if len(kept) != len(queue):
                queue.clear()
                queue.extend(kept)
        elif entry.status is OPEN:
            queue.remove(entry)
        if not queue:
            del levels[key]
            if keys[-1] == key:
                keys.pop()
            else:
                del keys[bisect_left(keys, key)]
        return True

    def get_order(self, order_id: str):
        entry = self.orders.get(order_id)
        return None if entry is None else entry._copy()

    def update_order(self, order: Order) -> None:
        self.orders[order.id] = order._copy()
        self._shadowed.add(order.id)

    # -- market views -----------------------------------------------------
    @property
    def buy_orders(self) -> list[Order]:
        levels = self._bid_levels
        return [o._copy() for k in self._bid_keys for o in levels[k]]

    @property
    def sell_orders(self) -> list[Order]:
        levels = self._ask_levels
        return [o._copy() for k in reversed(self._ask_keys) for o in levels[k]]

    def best_bid(self):
        if not self._bid_keys:
            return None
        key = self._bid_keys[-1]
        return key, self._bid_levels[key][0].quantity

    def best_ask(self):
        if not self._ask_keys:
            return None
        key = self._ask_keys[-1]
        return -key, self._ask_levels[key][0].quantity

    def spread(self):
        if not self._bid_keys or not self._ask_keys:
            return None
        return float(-self._ask_keys[-1] - self._bid_keys[-1]) * self.tick_size

    def buy_volume(self) -> float:
        total = -0.0
        levels = self._bid_levels
        for k in self._bid_keys:
            for o in levels[k]:
                total += o.quantity
        return total

    def sell_volume(self) -> float:
        total = -0.0
        levels = self._ask_levels
        for k in reversed(self._ask_keys):
            for o in levels[k]:
                total += o.quantity
        return total

    def __repr__(self) -> str:
        tick = self.tick_size
        bid, ask, spread = self.best_bid(), self.best_ask(), self.spread()
        bid_text = "None" if bid is None else f"{_fixed(bid[1], 2)} @ {_plain(bid[0] * tick)}"
        ask_text = "None" if ask is None else f"{_fixed(ask[1], 2)} @ {_plain(ask[0] * tick)}"
        spread_text = "None" if spread is None else _fixed(spread, 4)
        return (f"Best Bid: {bid_text}, Best Ask: {ask_text} (Spread: {spread_text})\n"
                f"Open Buy Volume: {_fixed(self.buy_volume(), 2)}, "
                f"Open Sell Volume: {_fixed(self.sell_volume(), 2)}")

    __str__ = __repr__
