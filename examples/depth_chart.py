"""Draw a replayed book as a PNG: its final depth and the day's best bid and ask.

Needs matplotlib (``pip install .[plot]``); importing this module without it
raises ImportError. Used by ``replay.py --chart`` and the demo.
"""

from __future__ import annotations

from collections import defaultdict
from collections.abc import Iterable
from pathlib import Path

from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.ticker import FuncFormatter

from quoranth import Order
from replay import ReplayResult, Sample

BID_COLOUR = "#1a9850"
ASK_COLOUR = "#d73027"


def cumulative_depth(orders: Iterable[Order], tick_size: float, best_first_descending: bool, levels: int) -> tuple[list[float], list[float]]:
    """Prices and cumulative quantity of the ``levels`` price levels nearest the mid, best level first."""
    by_price: defaultdict[int, float] = defaultdict(float)
    for order in orders:
        by_price[order.price_in_ticks] += order.quantity
    ticks = sorted(by_price, reverse=best_first_descending)[:levels]
    prices: list[float] = []
    totals: list[float] = []
    running = 0.0
    for tick in ticks:
        running += by_price[tick]
        prices.append(tick * tick_size)
        totals.append(running)
    return prices, totals


def _clock(seconds: float, with_seconds: bool) -> str:
    whole = int(seconds)
    text = f"{whole // 3600:02d}:{whole % 3600 // 60:02d}"
    return f"{text}:{whole % 60:02d}" if with_seconds else text


def write_chart(result: ReplayResult, path: Path | str, *, title: str = "", levels: int = 25) -> None:
    """Write the depth of ``result.book`` and its best bid and ask over the replay to ``path``."""
    book = result.book
    tick = book.tick_size
    figure = Figure(figsize=(10, 8), layout="constrained")
    depth, day = figure.subplots(2, 1, height_ratios=(1, 1))
    if title:
        figure.suptitle(title)

    bid_prices, bid_totals = cumulative_depth(book.buy_orders, tick, True, levels)
    ask_prices, ask_totals = cumulative_depth(book.sell_orders, tick, False, levels)
    # Each side starts from zero at its best price and steps up away from the mid.
    if bid_prices:
        depth.step([bid_prices[0], *bid_prices], [0.0, *bid_totals], where="pre", color=BID_COLOUR, label="bids")
        depth.fill_between([bid_prices[0], *bid_prices], [0.0, *bid_totals], step="pre", color=BID_COLOUR, alpha=0.2)
    if ask_prices:
        depth.step([ask_prices[0], *ask_prices], [0.0, *ask_totals], where="pre", color=ASK_COLOUR, label="asks")
        depth.fill_between([ask_prices[0], *ask_prices], [0.0, *ask_totals], step="pre", color=ASK_COLOUR, alpha=0.2)
    if bid_prices and ask_prices:
        mid = (bid_prices[0] + ask_prices[0]) / 2
        depth.axvline(mid, color="grey", linestyle=":", linewidth=1, label=f"mid {mid:.3f}")
    depth.set_title(f"Cumulative depth at the end of the replay ({levels} price levels a side at most)")
    depth.set_xlabel("price")
    depth.set_ylabel("cumulative quantity")
    depth.grid(alpha=0.3)
    if bid_prices or ask_prices:
        depth.legend(loc="upper center")
    else:
        depth.text(0.5, 0.5, "the book is empty", ha="center", va="center", transform=depth.transAxes)

    _plot_day(day, result.samples, tick)
    figure.savefig(path, dpi=110)


def _plot_day(axes: Axes, samples: list[Sample], tick: float) -> None:
    times = [sample.time for sample in samples]
    bids = [float("nan") if sample.bid is None else sample.bid * tick for sample in samples]
    asks = [float("nan") if sample.ask is None else sample.ask * tick for sample in samples]
    axes.step(times, asks, where="post", color=ASK_COLOUR, linewidth=0.8, label="best ask")
    axes.step(times, bids, where="post", color=BID_COLOUR, linewidth=0.8, label="best bid")
    axes.set_title(f"Best bid and ask over the replay ({len(samples):,} samples)")
    axes.set_xlabel("time of day")
    axes.set_ylabel("price")
    # LOBSTER times are seconds after midnight; a short file gets seconds on its axis.
    short = bool(times) and times[-1] - times[0] < 1800
    axes.xaxis.set_major_formatter(FuncFormatter(lambda x, _: _clock(x, short)))
    axes.grid(alpha=0.3)
    axes.legend(loc="best")
