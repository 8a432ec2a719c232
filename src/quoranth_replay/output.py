"""CSV output of a replay: its fills, and the book after each message in LOBSTER's layout.

Files are written into a staging directory and moved into place only once
every file of the run has been replayed, all of them or none, so a run that
fails leaves nothing.
"""

from __future__ import annotations

import contextlib
import errno
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
# Book rows joined before they are written: bounds the text held.
_ROWS_WRITTEN = 1024


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

    lines: list[str] = []
    for bids, asks in views:
        cells = []
        for level in range(levels):
            cells.append(text(asks[level]) if level < len(asks) else empty_ask)
            cells.append(text(bids[level]) if level < len(bids) else empty_bid)
        lines.append(",".join(cells))
        if len(lines) == _ROWS_WRITTEN:
            out.write("\n".join(lines) + "\n")
            lines.clear()
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


def output_names(stem: str) -> tuple[str, str]:
    """The files ``--out`` writes for the message file of ``stem``."""
    return f"{stem}.fills.csv", f"{stem}.book.csv"


def scratch_file(target: Path) -> Path:
    """A new empty file beside ``target``, with its suffix, to be moved onto it by ``move_all``."""
    import tempfile  # slow to import, and only needed for output

    handle, name = tempfile.mkstemp(prefix=".quoranth-replay-", suffix=target.suffix, dir=target.parent)
    try:
        # mkstemp makes it private (0600): the file moved into place gets the mode
        # a file made by open() would have.
        umask = os.umask(0)
        os.umask(umask)
        os.fchmod(handle, 0o666 & ~umask)
    finally:
        os.close(handle)
    return Path(name)


def move_all(moves: list[tuple[Path, Path]]) -> None:
    """Move each source onto its target (on the same file system): all of them or,
    when one fails, none. Files the targets held are set aside until every move
    is made, and put back if one fails; the error is then raised. Each step is
    recorded before it is taken, so that an interruption between the two (Ctrl-C,
    SIGTERM) is undone as well: undoing a step never taken finds nothing to move."""
    set_aside: list[tuple[Path, Path]] = []  # (target, where its old file waits)
    moved: list[tuple[Path, Path]] = []
    try:
        for source, target in moves:
            if target.is_dir() and not target.is_symlink():
                raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(target))
            if os.path.lexists(target):
                waiting = source.with_name(source.name + ".replaced")
                set_aside.append((target, waiting))
                os.replace(target, waiting)
            moved.append((source, target))
            os.replace(source, target)
    except BaseException:
        undo = [(target, source) for source, target in reversed(moved)]
        undo += [(waiting, target) for target, waiting in reversed(set_aside)]
        for now, back in undo:
            with contextlib.suppress(OSError):  # as far as the file system allows
                os.replace(now, back)
        raise
    for _, waiting in set_aside:
        waiting.unlink(missing_ok=True)


class Staging:
    """A scratch directory inside ``out`` whose files move into ``out`` (``moves``, for ``move_all``).

    ``discard`` removes the scratch directory, and ``out`` too if this run made it.
    """

    def __init__(self, out: Path) -> None:
        import tempfile  # only for --out: slow to import

        self.out = out
        self._made_out = not out.exists()
        out.mkdir(parents=True, exist_ok=True)
        self.path = Path(tempfile.mkdtemp(prefix=".quoranth-replay-", dir=out))

    def moves(self) -> list[tuple[Path, Path]]:
        """(file written, where it goes) for every file written, for ``move_all``."""
        return [(item, self.out / item.name) for item in sorted(self.path.iterdir())]

    def discard(self) -> None:
        import shutil

        shutil.rmtree(self.path, ignore_errors=True)
        if self._made_out:
            try:
                self.out.rmdir()
            except OSError:
                pass  # someone else put something there meanwhile
