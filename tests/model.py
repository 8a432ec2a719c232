"""Plain-Python reference order book used to cross-check the native one.

Written for clarity, not speed: a dict index, one dict of price -> list per
side, and sorted() wherever an ordered walk is needed.
"""

import math
from dataclasses import dataclass, replace
from decimal import Decimal

BUY, SELL = 0, 1
OPEN, FILLED, CANCELED = 0, 1, 2

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


@dataclass
class MOrder:
    id: str
    side: int
    price_in_ticks: int
    quantity: float
    status: int
    timestamp: int

    def key(self):
        return (self.id, self.side, self.price_in_ticks, self.quantity, self.status, self.timestamp)


def from_module(order):
    """Copies a quoranth.Order into a model record."""
    return MOrder(order.id, int(order.side), order.price_in_ticks, order.quantity,
                  int(order.status), order.timestamp)


def order_key(order):
    """Field tuple of a quoranth.Order or an MOrder (None stays None)."""
    if order is None:
        return None
    if isinstance(order, MOrder):
        return order.key()
    return from_module(order).key()


def rows(orders):
    """(id, price_in_ticks, quantity) per order, for comparing side lists."""
    return [(o.id, o.price_in_ticks, o.quantity) for o in orders]


def fill_key(fill):
    """(quantity, price, buy_id, sell_id) of a quoranth.Fill or a model fill tuple."""
    if isinstance(fill, tuple):
        return fill
    return (fill.quantity, fill.price, fill.buy_id, fill.sell_id)


# ---------------------------------------------------------------- text forms

def plain(x):
    """Shortest round-trip digits, written positionally."""
    if math.isnan(x):
        return "NaN"
    sign = "-" if math.copysign(1.0, x) < 0 else ""
    if math.isinf(x):
        return sign + "inf"
    if x == 0:
        return sign + "0"
    return sign + format(Decimal(repr(abs(x))).normalize(), "f")


def fixed(x, digits):
    """Exact value rounded half-even to `digits` fraction digits."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    return format(x, f".{digits}f")


def price_to_ticks(price, tick_size):
    """Quotient rounded half away from zero, saturated into int64 (NaN -> 0)."""
    try:
        q = price / tick_size
    except ZeroDivisionError:  # IEEE division: x / +-0 is +-inf, 0 / 0 and NaN / 0 are NaN
        q = math.nan if price == 0 or math.isnan(price) else math.copysign(math.inf, price) * math.copysign(1.0, tick_size)
    if math.isnan(q):
        return 0
    if math.isinf(q):
        return INT64_MAX if q > 0 else INT64_MIN
    r = math.trunc(q)
    if abs(q - r) >= 0.5:
        r += 1 if q > 0 else -1
    return max(INT64_MIN, min(INT64_MAX, r))


# ---------------------------------------------------------------- the book

def fill(resting, incoming, tick_size):
    """One match; both records are changed in place. Returns the fill tuple."""
    q = min(resting.quantity, incoming.quantity)
    for o in (resting, incoming):
        o.quantity -= q
        if o.quantity <= 0.0:
            o.status = FILLED
    buy, sell = (resting, incoming) if resting.side == BUY else (incoming, resting)
    return (q, float(sell.price_in_ticks) * tick_size, buy.id, sell.id)


class ModelBook:
    def __init__(self, tick_size=0.01):
        self.tick_size = float(tick_size)
        self.orders = {}
        self.levels = {BUY: {}, SELL: {}}

    def _index(self, order):
        self.orders[order.id] = replace(order)

    def add(self, order):
        work = replace(order)
        buying = work.side == BUY
        opposite = self.levels[SELL if buying else BUY]
        fills = []
        while work.status == OPEN and opposite:
            best = min(opposite) if buying else max(opposite)
            if (work.price_in_ticks < best) if buying else (work.price_in_ticks > best):
                break
            queue = opposite[best]
            resting = queue.pop(0)
            fills.append(fill(resting, work, self.tick_size))
            if resting.status == OPEN:
                queue.insert(0, resting)
            if not queue:
                del opposite[best]
            self._index(resting)
            self._index(work)
        if work.status == OPEN:
            self.levels[work.side].setdefault(work.price_in_ticks, []).append(replace(work))
        self._index(work)
        return fills

    def cancel(self, order_id):
        entry = self.orders.get(order_id)
        if entry is None:
            return False
        side = self.levels[entry.side]
        queue = side.get(entry.price_in_ticks)
        if queue is not None:
            queue[:] = [o for o in queue if o.id != order_id]
            if not queue:
                del side[entry.price_in_ticks]
        del self.orders[order_id]
        return True

    def get_order(self, order_id):
        entry = self.orders.get(order_id)
        return None if entry is None else replace(entry)

    def update_order(self, order):
        self._index(order)

    def _oldest(self, order_id):
        """(queue, position) of the id's first record in its level, or None."""
        entry = self.orders.get(order_id)
        queue = [] if entry is None else self.levels[entry.side].get(entry.price_in_ticks, [])
        for i, o in enumerate(queue):
            if o.id == order_id:
                return queue, i
        return None

    def reduce(self, order_id, quantity):
        found = self._oldest(order_id)
        if found is None:
            return False
        queue, i = found
        left = queue[i].quantity - quantity
        if left > 0.0:
            queue[i].quantity = left
        elif any(o.id == order_id for o in queue[i + 1:]):  # it rests again further back: only this record goes
            del queue[i]
            left = next(o.quantity for o in queue[i:] if o.id == order_id)
        else:
            return self.cancel(order_id)
        self.orders[order_id].quantity = left
        self.orders[order_id].status = OPEN
        return True

    def queue_position(self, order_id):
        found = self._oldest(order_id)
        if found is None:
            return None
        queue, i = found
        ahead = 0.0
        for o in queue[:i]:
            ahead += o.quantity
        return (i, ahead)

    def depth(self, levels=10):
        def side(levels_of_side, best_first):
            view = []
            for price in sorted(levels_of_side, reverse=best_first)[:levels]:
                total = 0.0
                for o in levels_of_side[price]:
                    total += o.quantity
                view.append((price, total, len(levels_of_side[price])))
            return view

        return side(self.levels[BUY], True), side(self.levels[SELL], False)

    # views
    def _walk(self, side):
        levels = self.levels[side]
        return [o for price in sorted(levels) for o in levels[price]]

    @property
    def buy_orders(self):
        return [replace(o) for o in self._walk(BUY)]

    @property
    def sell_orders(self):
        return [replace(o) for o in self._walk(SELL)]

    def _best(self, side, pick):
        levels = self.levels[side]
        if not levels:
            return None
        price = pick(levels)
        return (price, levels[price][0].quantity)

    def best_bid(self):
        return self._best(BUY, max)

    def best_ask(self):
        return self._best(SELL, min)

    def _volume(self, side):
        total = -0.0
        for o in self._walk(side):
            total += o.quantity
        return total

    def buy_volume(self):
        return self._volume(BUY)

    def sell_volume(self):
        return self._volume(SELL)

    def spread(self):
        bid, ask = self.best_bid(), self.best_ask()
        if bid is None or ask is None:
            return None
        return float(ask[0] - bid[0]) * self.tick_size

    def __repr__(self):
        def top(best):
            if best is None:
                return "None"
            return f"{fixed(best[1], 2)} @ {plain(float(best[0]) * self.tick_size)}"

        spread = self.spread()
        return (f"Best Bid: {top(self.best_bid())}, Best Ask: {top(self.best_ask())}"
                f" (Spread: {'None' if spread is None else fixed(spread, 4)})\n"
                f"Open Buy Volume: {fixed(self.buy_volume(), 2)}, "
                f"Open Sell Volume: {fixed(self.sell_volume(), 2)}")
