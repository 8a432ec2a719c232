"""A replay as a PNG: the final depth of the book and the best bid and ask over the replay.

Needs matplotlib (``pip install 'quoranth[plot]'``); importing this module without
it raises ImportError.
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from pathlib import Path

from matplotlib.axes import Axes
from matplotlib.backend_bases import FigureCanvasBase
from matplotlib.figure import Figure
from matplotlib.ticker import FuncFormatter

from .lobster import TICK_SIZE
from .run import FileSummary

BID_COLOUR = "#1a9850"
ASK_COLOUR = "#d73027"

Level = tuple[int, float, int]


def chart_path(name: str) -> Path:
    """Where a chart asked for as ``name`` goes: a PNG unless its extension names
    another format matplotlib writes. ValueError, before anything is replayed,
    for a format it does not write and for a place the chart cannot go: a name
    that is a folder, or a folder that is missing; PermissionError for a folder
    that is not writable."""
    if Path(name).name in ("", ".", "..") or name.endswith(("/", os.sep)):
        raise ValueError("names a folder; give a file name (depth.png)")
    path = Path(name)
    if not path.suffix:
        path = path.with_name(path.name + ".png")
    else:
        formats = FigureCanvasBase.get_supported_filetypes()
        if path.suffix[1:].lower() not in formats:
            raise ValueError(f"matplotlib cannot write {path.suffix} files (it writes {', '.join(sorted(formats))})")
    if path.is_dir():
        raise ValueError(f"{path} is a directory")
    if not path.parent.is_dir():
        raise ValueError(f"no folder {path.parent}")
    if not os.access(path.parent, os.W_OK | os.X_OK):
        raise PermissionError(f"cannot write in {path.parent}")
    return path


def cumulative(levels: Sequence[Level]) -> tuple[list[float], list[float]]:
    """Prices and running total quantity of depth levels, best level first."""
    prices: list[float] = []
    totals: list[float] = []
    running = 0.0
    for ticks, quantity, _ in levels:
        running += quantity
        prices.append(ticks * TICK_SIZE)
        totals.append(running)
    return prices, totals


def _clock(seconds: float, decimals: int | None) -> str:
    """Seconds after midnight as hh:mm, or hh:mm:ss with ``decimals`` digits
    of the second (None: no seconds); before midnight with a minus sign."""
    sign, seconds = ("-", -seconds) if seconds < 0 else ("", seconds)
    if decimals is None:
        whole = int(seconds)
        return f"{sign}{whole // 3600:02d}:{whole % 3600 // 60:02d}"
    scale = 10**decimals
    units = round(seconds * scale)  # rounded once: 59.96 s reads 00:01:00.0, not 00:00:60.0
    whole, part = divmod(units, scale)
    text = f"{sign}{whole // 3600:02d}:{whole % 3600 // 60:02d}:{whole % 60:02d}"
    return f"{text}.{part:0{decimals}d}" if decimals else text


def _clock_decimals(span: float) -> int | None:
    """The digits of the second that tell a time axis's labels apart over ``span`` seconds."""
    if span >= 1800:
        return None
    return 0 if span >= 10 else 1 if span >= 1 else 3


def write_chart(summary: FileSummary, path: Path | str, *, title: str = "") -> None:
    """Write the final depth and the best bid and ask over the replay of ``summary`` to ``path``."""
    figure = Figure(figsize=(10, 8), layout="constrained")
    depth, day = figure.subplots(2, 1, height_ratios=(1, 1))
    if title:
        figure.suptitle(title)
    bids, asks = summary.depth
    bid_prices, bid_totals = cumulative(bids)
    ask_prices, ask_totals = cumulative(asks)
    # Each side starts from zero at its best price and steps up away from the mid:
    # from each level's price on, the total of that level and the better ones,
    # the deepest level's for one tick beyond it.
    for prices, totals, colour, label, outward in (
        (bid_prices, bid_totals, BID_COLOUR, "bids", -TICK_SIZE),
        (ask_prices, ask_totals, ASK_COLOUR, "asks", TICK_SIZE),
    ):
        if prices:
            xs, ys = [prices[0], *prices, prices[-1] + outward], [0.0, *totals, totals[-1]]
            depth.step(xs, ys, where="post", color=colour, label=label)
            depth.fill_between(xs, ys, step="post", color=colour, alpha=0.2)
    if bid_prices and ask_prices:
        mid = (bid_prices[0] + ask_prices[0]) / 2
        depth.axvline(mid, color="grey", linestyle=":", linewidth=1, label=f"mid {mid:.3f}")
    most = max(len(bids), len(asks))
    depth.set_title(f"Cumulative depth at the end of the replay ({most} price level{'' if most == 1 else 's'} a side at most)")
    depth.set_xlabel("price")
    depth.ticklabel_format(axis="x", useOffset=False)  # prices as they are, not as offsets from one
    depth.set_ylabel("cumulative quantity")
    depth.grid(alpha=0.3)
    if bid_prices or ask_prices:
        depth.legend(loc="upper center")
    else:
        depth.text(0.5, 0.5, "the book is empty", ha="center", va="center", transform=depth.transAxes)
    _plot_day(day, summary.samples)
    figure.savefig(path, dpi=110)


def _plot_day(axes: Axes, samples: Sequence[tuple[float, int | None, int | None]]) -> None:
    times = [when for when, _, _ in samples]
    bids = [float("nan") if bid is None else bid * TICK_SIZE for _, bid, _ in samples]
    asks = [float("nan") if ask is None else ask * TICK_SIZE for _, _, ask in samples]
    # A single sample is a point, which a line does not show: it gets a marker.
    marker = "o" if len(samples) == 1 else None
    axes.step(times, asks, where="post", color=ASK_COLOUR, linewidth=0.8, marker=marker, label="best ask")
    axes.step(times, bids, where="post", color=BID_COLOUR, linewidth=0.8, marker=marker, label="best bid")
    axes.set_title(f"Best bid and ask over the replay ({len(samples):,} sample{'' if len(samples) == 1 else 's'})")
    axes.set_xlabel("time of day")
    axes.set_ylabel("price")
    # LOBSTER times are seconds after midnight; a short file gets seconds on its
    # axis, and one shorter than ten seconds their fractions. The axis spans the
    # replay's times even where no side had a best price (a line of gaps sets none).
    span = times[-1] - times[0] if times else 0.0
    if span > 0:
        axes.set_xlim(times[0], times[-1])
    elif times:
        axes.set_xlim(times[0] - 0.5, times[0] + 0.5)
    decimals = _clock_decimals(span if span > 0 else 1.0)
    axes.xaxis.set_major_formatter(FuncFormatter(lambda x, _: _clock(x, decimals)))
    axes.grid(alpha=0.3)
    prices = [price for price in bids + asks if price == price]  # not NaN: some side had a best price
    if prices:
        axes.legend(loc="best")
        axes.ticklabel_format(axis="y", useOffset=False)
        # Prices that hardly move get a few ticks either side, not a tenth of the price.
        low, high = min(prices), max(prices)
        if high - low < 10 * TICK_SIZE:
            axes.set_ylim(low - 5 * TICK_SIZE, high + 5 * TICK_SIZE)
    else:
        axes.set_yticks([])
        axes.text(0.5, 0.5, "no best bid or ask during the replay", ha="center", va="center", transform=axes.transAxes)
