"""A tour of quoranth: the building blocks, a simulated session, and a strategy on real order flow.

Run it with ``make demo`` (or ``python examples/demo.py`` once the module is installed).
"""

from __future__ import annotations

import random
import sys
import time
from pathlib import Path

from quoranth import Order, OrderBook, OrderStatus, OrderType

from quoranth_replay import Replay

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
AMZN = "AMZN_2012-06-21_34200000_57600000"


def heading(text: str) -> None:
    print(f"\n== {text}")


def building_blocks() -> None:
    heading("Sides, statuses, orders and a fill")
    print(f"sides: {OrderType.Buy!r} = {int(OrderType.Buy)}, {OrderType.Sell!r} = {int(OrderType.Sell)}")
    statuses = (OrderStatus.Open, OrderStatus.Filled, OrderStatus.Canceled)
    print("statuses: " + ", ".join(f"{status!r} = {int(status)}" for status in statuses))

    resting = Order(OrderType.Sell, 10_000, 5.0)
    incoming = Order(OrderType.Buy, 10_005, 3.0)
    print(f"resting sell:  {resting}")
    print(f"incoming buy:  {incoming}")
    print(f"can match: {resting.can_match(incoming)}")
    fill = resting.fill(incoming, 0.01)
    print(f"fill:          {fill}")
    print(f"afterwards the sell has {resting.quantity:g} left ({resting.status!r}), the buy {incoming.quantity:g} ({incoming.status!r})")


def simulated_session(orders: int = 5_000, seed: int = 2012) -> None:
    heading(f"A simulated session: {orders:,} random limit orders (seed {seed})")
    rng = random.Random(seed)
    book = OrderBook(tick_size=0.01)
    mid = 10_000  # ticks: 100.00
    resting: list[str] = []
    first_fills: list[str] = []
    added = fills = cancels = 0
    traded = 0.0

    started = time.perf_counter()
    while added < orders:
        mid += rng.choice((-1, 0, 0, 1))
        if resting and rng.random() < 0.2:
            # Cancel a random earlier order; it may already have traded.
            index = rng.randrange(len(resting))
            resting[index], resting[-1] = resting[-1], resting[index]
            if book.cancel(resting.pop()):
                cancels += 1
            continue
        side = OrderType.Buy if rng.random() < 0.5 else OrderType.Sell
        # Mostly behind the mid on the order's own side; one in ten crosses it.
        offset = max(1, int(rng.expovariate(1 / 8)))
        if rng.random() < 0.1:
            offset = -rng.randint(1, 5)
        ticks = mid - offset if side == OrderType.Buy else mid + offset
        order = Order(side, ticks, float(rng.randint(1, 50) * 10))
        made = book.add(order)
        added += 1
        resting.append(order.id)
        fills += len(made)
        traded += sum(fill.quantity for fill in made)
        if len(first_fills) < 5:
            first_fills.extend(str(fill) for fill in made[: 5 - len(first_fills)])
    seconds = time.perf_counter() - started

    print("first fills:")
    for text in first_fills:
        print(f"  {text}")
    print("book at the end:")
    for line in str(book).splitlines():
        print(f"  {line}")
    print(f"resting orders: {len(book.buy_orders):,} bids, {len(book.sell_orders):,} asks")
    operations = added + cancels
    print(
        f"{added:,} adds and {cancels:,} cancels made {fills:,} fills ({traded:,.0f} traded) "
        f"in {seconds * 1000:.1f} ms: {operations / seconds:,.0f} operations/s"
    )


def strategy_on_a_replay() -> None:
    heading("A strategy on real order flow: AMZN, 2012-06-21, bidding at the best bid every hour")
    replay = Replay(DATA / f"{AMZN}_message_1.csv", DATA / f"{AMZN}_orderbook_1.csv")
    next_hour = 36_000.0  # 10:00, in seconds after midnight
    bought = spent = 0.0
    for step in replay:
        for fill in step.fills:
            if fill.buy_mine:
                bought += fill.quantity
                spent += fill.quantity * fill.price_in_ticks * replay.book.tick_size
        if step.message.time >= next_hour:
            next_hour += 3_600.0
            best = replay.book.best_bid()
            if best is not None:
                order_id = replay.place(OrderType.Buy, best[0], 100.0).order_id
                print(f"{step.message.time:9.2f}  bid 100 at {best[0] * replay.book.tick_size:.2f}, "
                      f"(orders, shares) ahead: {replay.queue_position(order_id)}")
    average = f" at {spent / bought:.2f} on average" if bought else ""
    print(f"bought {bought:g} shares{average}; `make demo` replays the files in full with quoranth-replay next")


def main() -> int:
    building_blocks()
    simulated_session()
    strategy_on_a_replay()
    return 0


if __name__ == "__main__":
    sys.exit(main())
