"""A tour of quoranth: the building blocks, a simulated session, and two replays of real order flow.

Run it with ``make demo`` (or ``python examples/demo.py`` once the module is installed).
"""

from __future__ import annotations

import importlib.util
import random
import sys
import time
from pathlib import Path

from quoranth import Order, OrderBook, OrderStatus, OrderType

from replay import ReplayInputError, replay, report, report_agreement

HERE = Path(__file__).resolve().parent
DATA = HERE / "data"
CHART_DIR = HERE.parent / "build" / "demo"
AMZN = "AMZN_2012-06-21_34200000_57600000"
AAPL = "AAPL_2012-06-21_34200000_57600000"


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


def replays() -> None:
    heading("Replay: AMZN, 2012-06-21, a whole session of top-of-book events")
    amzn = replay(DATA / f"{AMZN}_message_1.csv", DATA / f"{AMZN}_orderbook_1.csv", progress=sys.stderr.isatty())
    report(amzn, f"{AMZN}_message_1.csv")
    report_agreement(amzn)

    heading("Replay: AAPL, 2012-06-21, the first 50 s, events in the top 10 levels")
    aapl = replay(DATA / f"{AAPL}_message_10.csv", DATA / f"{AAPL}_orderbook_10.csv", progress=sys.stderr.isatty())
    report(aapl, f"{AAPL}_message_10.csv")
    report_agreement(aapl)

    heading("Charts")
    if importlib.util.find_spec("matplotlib") is None:
        print("matplotlib is not installed, so no charts: pip install .[plot] to get them")
        return
    import depth_chart

    CHART_DIR.mkdir(parents=True, exist_ok=True)
    for result, name in ((amzn, AMZN), (aapl, AAPL)):
        path = CHART_DIR / f"{name.split('_')[0]}-depth.png"
        depth_chart.write_chart(result, path, title=f"{name.split('_')[0]}, 2012-06-21, replayed")
        print(f"depth and best bid/ask chart written to {path}")


def main() -> int:
    building_blocks()
    simulated_session()
    try:
        replays()
    except ReplayInputError as error:
        print(f"demo.py: error: {error}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
