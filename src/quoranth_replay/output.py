"""CSV output of a replay: its fills, and the book after each message in LOBSTER's layout.

Files are written into a staging directory and moved into place only once
every file of the run has been replayed, so a run that fails leaves nothing.
"""

from __future__ import annotations

import os
from collections.abc import Iterable, Iterator
from pathlib import Path
from typing import TextIO

from .lobster import NO_ASK, NO_BID, PRICE_UNITS_PER_TICK, MessageFile
from .replay import Depth, FillColumns, Replay, TopOfBook

FILLS_HEADER = "time,message,price,size,buy_order,sell_order\n"


def output_stem(message_path: str) -> str:
    """``AMZN_..._message_1`` for ``.../AMZN_..._message_1.csv(.gz)``."""
    name = Path(message_path).name
    for suffix in (".gz", ".csv"):
        name = name.removesuffix(suffix)
    return name


def _size(quantity: float) -> str:
    return str(int(quantity)) if quantity.is_integer() else repr(quantity)


def book_header(levels: int) -> str:
    names = (f"ask_price_{n},ask_size_{n},bid_price_{n},bid_size_{n}" for n in range(1, levels + 1))
    return ",".join(names) + "\n"


# Level texts remembered while writing book rows, at most (the book's levels
# change little from one message to the next, so most cells repeat).
_LEVEL_TEXTS = 1 << 16


def write_book_rows(out: TextIO, views: Iterable[Depth], levels: int) -> None:
    """One line per view: for each level, ask price, ask size, bid price, bid size (LOBSTER units)."""
    empty_ask, empty_bid = f"{NO_ASK},0", f"{NO_BID},0"
    texts: dict[tuple[int, float, int], str] = {}

    def text(level: tuple[int, float, int]) -> str:
        found = texts.get(level)
        if found is None:
            if len(texts) >= _LEVEL_TEXTS:
                texts.clear()
            found = texts[level] = f"{level[0] * PRICE_UNITS_PER_TICK},{_size(level[1])}"
        return found

    lines = []
    for bids, asks in views:
        cells = []
        for level in range(levels):
            cells.append(text(asks[level]) if level < len(asks) else empty_ask)
            cells.append(text(bids[level]) if level < len(bids) else empty_bid)
        lines.append(",".join(cells))
    if lines:
        out.write("\n".join(lines) + "\n")


def top_views(tops: TopOfBook) -> Iterator[Depth]:
    """Best levels after each message as one-level depth views (the order counts are not known: 0)."""
    for bid, bid_quantity, ask, ask_quantity in zip(*(column.tolist() for column in tops)):
        yield ([(bid, bid_quantity, 0)] if bid else [], [(ask, ask_quantity, 0)] if ask else [])


def write_fills(out: TextIO, fills: FillColumns, replay: Replay) -> None:
    """One line per fill: time, message index, price (LOBSTER units), size, and the
    exchange's ids of the buy and sell orders (empty for an execution's stand-in
    counterpart, a level's opening order or the caller's own orders)."""
    messages: MessageFile = replay.messages
    for index, buy, sell, ticks, quantity in zip(fills.index, fills.buy_key, fills.sell_key, fills.ticks, fills.quantity):
        buy_id, sell_id = replay.exchange_id(buy), replay.exchange_id(sell)
        out.write(
            f"{messages.times[max(index, 0)]!r},{index},{ticks * PRICE_UNITS_PER_TICK},{_size(quantity)},"
            f"{'' if buy_id is None else buy_id},{'' if sell_id is None else sell_id}\n"
        )


class Staging:
    """A scratch directory inside ``out`` whose files move into ``out`` on ``commit``.

    ``discard`` removes the scratch directory, and ``out`` too if this run made it.
    """

    def __init__(self, out: Path) -> None:
        import tempfile  # only for --out: slow to import

        self.out = out
        self._made_out = not out.exists()
        out.mkdir(parents=True, exist_ok=True)
        self.path = Path(tempfile.mkdtemp(prefix=".quoranth-replay-", dir=out))

    def commit(self) -> list[Path]:
        moved = []
        for item in sorted(self.path.iterdir()):
            target = self.out / item.name
            os.replace(item, target)
            moved.append(target)
        self.path.rmdir()
        return moved

    def discard(self) -> None:
        import shutil

        shutil.rmtree(self.path, ignore_errors=True)
        if self._made_out:
            try:
                self.out.rmdir()
            except OSError:
                pass  # someone else put something there meanwhile
