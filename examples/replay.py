"""Replay a LOBSTER message file through a quoranth order book.

    python examples/replay.py MESSAGE_CSV [--orderbook ORDERBOOK_CSV] [--levels N] [--chart PNG]

Each message is applied to an ``OrderBook(tick_size=0.01)``:

* 1, new limit order: created and added;
* 2, partial cancellation: the order is cancelled and its remainder added again
  as a new order at the same price (the book has no way to shrink a resting
  order in place, so the remainder loses its place in the queue);
* 3, deletion: the order is cancelled;
* 4, execution of a visible resting order: replayed as an order of the
  executed size at that price on the opposite side, which trades against the
  book; whatever of it is left is cancelled;
* 5 (hidden execution), 6 (cross trade) and 7 (trading halt): skipped, they do
  not change the visible book.

Orders that rested before the file begins are unknown to the replay; messages
naming them are counted and otherwise ignored.

Given the exchange's orderbook file, the replayed best bid and best ask are
compared with the exchange's after every message.
"""

from __future__ import annotations

import argparse
import re
import sys
import time
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import NamedTuple, TextIO

from quoranth import Order, OrderBook, OrderType

TICK_SIZE = 0.01
# LOBSTER prices are US dollars times 10000: one cent, our tick, is 100.
PRICE_UNITS_PER_TICK = 100
# LOBSTER's placeholders for an empty side in the orderbook file.
NO_BID = -9999999999
NO_ASK = 9999999999

NEW, PARTIAL_CANCEL, DELETE, EXECUTE = 1, 2, 3, 4
SKIPPED_TYPES = frozenset({5, 6, 7})
KNOWN_TYPES = frozenset({NEW, PARTIAL_CANCEL, DELETE, EXECUTE}) | SKIPPED_TYPES


class ReplayInputError(Exception):
    """A message or orderbook file that cannot be read, with where it went wrong."""

    def __init__(self, path: Path | str, line: int | None, reason: str) -> None:
        self.path = str(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {reason}")


class Message(NamedTuple):
    time: float
    type: int
    order_id: int
    size: int
    price: int
    direction: int


class TopOfBook(NamedTuple):
    """Best ask and best bid in ticks; None for an empty side."""

    ask: int | None
    bid: int | None


class Sample(NamedTuple):
    time: float
    bid: int | None
    ask: int | None


@dataclass
class ReplayResult:
    book: OrderBook
    messages: int
    by_type: dict[int, int]
    skipped: int
    unknown_ids: int
    fills: int
    traded_volume: float
    seconds: float
    levels: int | None
    # Messages after which the top of book was compared with the exchange's
    # (0 when there is no orderbook file or the comparison is not meaningful).
    compared: int = 0
    bid_agreed: int = 0
    ask_agreed: int = 0
    both_agreed: int = 0
    # Best bid and ask over the day, every few messages, for charts.
    samples: list[Sample] = field(default_factory=list)

    @property
    def throughput(self) -> float:
        return self.messages / self.seconds if self.seconds > 0 else float("inf")

    @property
    def agreement(self) -> float | None:
        """Share of messages after which best bid and best ask both agreed."""
        return self.both_agreed / self.compared if self.compared else None


@dataclass
class _Live:
    """A visible exchange order as the replay holds it."""

    order_id: str
    side: OrderType
    ticks: int
    remaining: int


def _int(text: str, what: str, path: Path, line: int) -> int:
    try:
        return int(text)
    except ValueError:
        raise ReplayInputError(path, line, f"{what} is not an integer: {text.strip()!r}") from None


def read_messages(path: Path | str) -> list[Message]:
    """Read a LOBSTER message file (an optional header line, then six columns)."""
    path = Path(path)
    messages: list[Message] = []
    for line_no, line in enumerate(_lines(path), start=1):
        if not line.strip():
            continue
        fields = line.split(",")
        if line_no == 1 and fields[0].strip().lower() == "time":
            continue
        if len(fields) != 6:
            raise ReplayInputError(path, line_no, f"expected 6 comma-separated fields, found {len(fields)}")
        try:
            when = float(fields[0])
        except ValueError:
            raise ReplayInputError(path, line_no, f"time is not a number: {fields[0].strip()!r}") from None
        kind = _int(fields[1], "type", path, line_no)
        if kind not in KNOWN_TYPES:
            raise ReplayInputError(path, line_no, f"unknown message type {kind}")
        order_id = _int(fields[2], "order id", path, line_no)
        size = _int(fields[3], "size", path, line_no)
        price = _int(fields[4], "price", path, line_no)
        direction = _int(fields[5], "direction", path, line_no)
        if direction not in (1, -1):
            raise ReplayInputError(path, line_no, f"direction must be 1 or -1, found {direction}")
        if kind not in SKIPPED_TYPES:
            if size <= 0:
                raise ReplayInputError(path, line_no, f"size must be positive, found {size}")
            if price <= 0 or price % PRICE_UNITS_PER_TICK:
                raise ReplayInputError(path, line_no, f"price must be a positive whole number of cents, found {price}")
        messages.append(Message(when, kind, order_id, size, price, direction))
    if not messages:
        raise ReplayInputError(path, None, "no messages")
    return messages


def read_orderbook(path: Path | str) -> tuple[list[TopOfBook], int]:
    """Read a LOBSTER orderbook file; returns the top of book per row and the file's depth in levels."""
    path = Path(path)
    rows: list[TopOfBook] = []
    columns = 0
    for line_no, line in enumerate(_lines(path), start=1):
        if not line.strip():
            continue
        fields = line.split(",")
        if line_no == 1 and not fields[0].strip().lstrip("-").isdigit():
            continue  # header
        if columns == 0:
            columns = len(fields)
            if columns % 4:
                raise ReplayInputError(path, line_no, f"expected 4 columns per level, found {columns} columns")
        elif len(fields) != columns:
            raise ReplayInputError(path, line_no, f"expected {columns} fields like the first row, found {len(fields)}")
        ask = _int(fields[0], "best ask price", path, line_no)
        bid = _int(fields[2], "best bid price", path, line_no)
        rows.append(
            TopOfBook(
                None if ask >= NO_ASK else ask // PRICE_UNITS_PER_TICK,
                None if bid <= NO_BID else bid // PRICE_UNITS_PER_TICK,
            )
        )
    return rows, columns // 4


def levels_from_name(path: Path | str) -> int | None:
    """The depth that LOBSTER writes into its file names (``..._message_10.csv``)."""
    match = re.search(r"_(?:message|orderbook)_(\d+)\.csv$", str(path))
    return int(match.group(1)) if match else None


def _lines(path: Path) -> list[str]:
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise ReplayInputError(path, None, "no such file") from None
    except IsADirectoryError:
        raise ReplayInputError(path, None, "is a directory, not a file") from None
    except OSError as error:
        raise ReplayInputError(path, None, error.strerror or str(error)) from None
    try:
        return data.decode("ascii").splitlines()
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise ReplayInputError(path, line, "not a CSV text file (non-ASCII bytes)") from None


def replay(
    message_path: Path | str,
    orderbook_path: Path | str | None = None,
    *,
    levels: int | None = None,
    progress: bool = False,
    samples: int = 2000,
) -> ReplayResult:
    """Replay a message file; compare with the orderbook file if one is given.

    ``levels`` is the depth the LOBSTER files cover; by default it is taken from
    the orderbook file's columns, else from the file name. A 1-level file only
    holds events at the best prices, so the replay misses the orders queued
    behind them and is not compared with the exchange's book.
    """
    messages = read_messages(message_path)
    reference: list[TopOfBook] | None = None
    if orderbook_path is not None:
        reference, file_levels = read_orderbook(orderbook_path)
        if len(reference) != len(messages):
            raise ReplayInputError(
                orderbook_path, None, f"has {len(reference)} rows but {message_path} has {len(messages)} messages"
            )
        if levels is None:
            levels = file_levels
    if levels is None:
        levels = levels_from_name(message_path)
    if reference is not None and levels == 1:
        reference = None

    state = _Replay()
    by_type: Counter[int] = Counter()
    compared = bid_agreed = ask_agreed = both_agreed = 0
    sample_every = max(1, len(messages) // max(1, samples))
    chart: list[Sample] = []
    progress_every = max(1, len(messages) // 200)
    name = Path(message_path).name

    started = time.perf_counter()
    for index, message in enumerate(messages):
        by_type[message.type] += 1
        state.apply(message)
        book = state.book
        if reference is not None:
            expected = reference[index]
            bid = book.best_bid()
            ask = book.best_ask()
            bid_ok = (bid[0] if bid is not None else None) == expected.bid
            ask_ok = (ask[0] if ask is not None else None) == expected.ask
            compared += 1
            bid_agreed += bid_ok
            ask_agreed += ask_ok
            both_agreed += bid_ok and ask_ok
        if index % sample_every == 0 or index == len(messages) - 1:
            chart.append(_sample(book, message.time))
        if progress and index % progress_every == 0:
            sys.stderr.write(f"\r{name}: {index + 1:,} of {len(messages):,} messages ({100 * (index + 1) // len(messages)}%)")
            sys.stderr.flush()
    seconds = time.perf_counter() - started
    if progress:
        sys.stderr.write("\r" + " " * (len(name) + 40) + "\r")
        sys.stderr.flush()

    return ReplayResult(
        book=state.book,
        messages=len(messages),
        by_type=dict(sorted(by_type.items())),
        skipped=sum(count for kind, count in by_type.items() if kind in SKIPPED_TYPES),
        unknown_ids=state.unknown,
        fills=state.fills,
        traded_volume=state.traded,
        seconds=seconds,
        levels=levels,
        compared=compared,
        bid_agreed=bid_agreed,
        ask_agreed=ask_agreed,
        both_agreed=both_agreed,
        samples=chart,
    )


class _Replay:
    """The book and the exchange orders it holds, changed one message at a time."""

    def __init__(self) -> None:
        self.book = OrderBook(tick_size=TICK_SIZE)
        self.live: dict[int, _Live] = {}
        self.unknown = 0
        self.fills = 0
        self.traded = 0.0

    def apply(self, message: Message) -> None:
        kind = message.type
        if kind == NEW:
            side = OrderType.Buy if message.direction == 1 else OrderType.Sell
            ticks = message.price // PRICE_UNITS_PER_TICK
            order_id = self._add(Order(side, ticks, float(message.size)))
            self.live[message.order_id] = _Live(order_id, side, ticks, message.size)
            return
        if kind in SKIPPED_TYPES:
            return
        known = self.live.get(message.order_id)
        if known is None:
            self.unknown += 1
        elif kind == DELETE:
            del self.live[message.order_id]
            self.book.cancel(known.order_id)
        elif kind == PARTIAL_CANCEL:
            # The book cannot shrink a resting order, so the order is cancelled
            # and what is left of it added again as a new order. That order
            # joins the back of its price's queue, where the exchange kept its
            # place: later executions at this price may hit another order first.
            self.book.cancel(known.order_id)
            known.remaining -= message.size
            if known.remaining > 0:
                known.order_id = self._add(Order(known.side, known.ticks, float(known.remaining)))
            else:
                del self.live[message.order_id]
        elif kind == EXECUTE:
            # Someone traded against the order: send that trade in from the other side.
            other = OrderType.Sell if known.side == OrderType.Buy else OrderType.Buy
            aggressor = self._add(Order(other, message.price // PRICE_UNITS_PER_TICK, float(message.size)))
            # The exchange's trade ended there, so nothing of it may rest; this
            # also drops its finished entry from the book's index.
            self.book.cancel(aggressor)
            known.remaining -= message.size
            if known.remaining <= 0:
                del self.live[message.order_id]
                # Normally only the finished entry; if another order of the level
                # traded in its place, the rest the exchange no longer has.
                self.book.cancel(known.order_id)

    def _add(self, order: Order) -> str:
        made = self.book.add(order)
        self.fills += len(made)
        self.traded += sum(fill.quantity for fill in made)
        return order.id


def _sample(book: OrderBook, when: float) -> Sample:
    bid = book.best_bid()
    ask = book.best_ask()
    return Sample(when, bid[0] if bid is not None else None, ask[0] if ask is not None else None)


TYPE_NAMES = {
    NEW: "new",
    PARTIAL_CANCEL: "partial cancels",
    DELETE: "deletions",
    EXECUTE: "executions",
    5: "hidden executions",
    6: "cross trades",
    7: "halts",
}


def report(result: ReplayResult, name: str, out: TextIO | None = None) -> None:
    """Print what a replay did, in a few lines."""
    out = out or sys.stdout
    kinds = ", ".join(f"{count:,} {TYPE_NAMES[kind]}" for kind, count in result.by_type.items())
    print(f"{name}: {result.messages:,} messages replayed ({kinds})", file=out)
    if result.skipped or result.unknown_ids:
        print(
            f"  skipped {result.skipped:,} that do not change the visible book; "
            f"{result.unknown_ids:,} named orders resting before the file begins",
            file=out,
        )
    print(f"  fills: {result.fills:,}, traded volume: {result.traded_volume:,.0f} shares", file=out)
    print("  final book:", file=out)
    for line in str(result.book).splitlines():
        print(f"    {line}", file=out)
    print(
        f"  throughput: {result.throughput:,.0f} messages/s "
        f"({result.messages:,} messages in {result.seconds:.3f} s"
        f"{', top-of-book checks included' if result.compared else ''})",
        file=out,
    )


def report_agreement(result: ReplayResult, out: TextIO | None = None) -> None:
    """Print how often the replayed best prices matched the exchange's."""
    out = out or sys.stdout
    if result.levels == 1:
        print(
            "  top of book vs exchange: not compared: a 1-level file only holds events at the best prices, "
            "so the orders queued behind them are missing from the replay",
            file=out,
        )
    elif result.compared:
        share = 100 * result.both_agreed / result.compared
        print(
            f"  top of book vs exchange ({result.levels} levels): best bid and ask both agree after "
            f"{share:.1f}% of {result.compared:,} messages "
            f"(bid {100 * result.bid_agreed / result.compared:.1f}%, ask {100 * result.ask_agreed / result.compared:.1f}%)",
            file=out,
        )


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="Replay a LOBSTER message file through a quoranth order book.")
    parser.add_argument("messages", metavar="MESSAGE_CSV", help="LOBSTER message file")
    parser.add_argument("--orderbook", metavar="ORDERBOOK_CSV", help="the matching LOBSTER orderbook file, to compare the top of book")
    parser.add_argument(
        "--levels", metavar="N", type=int, help="depth the LOBSTER files cover (default: from the orderbook file or the file name)"
    )
    parser.add_argument("--chart", metavar="PNG", help="draw the final depth and the day's best bid and ask (needs matplotlib)")
    args = parser.parse_args(argv)
    if args.levels is not None and args.levels < 1:
        parser.error("--levels must be at least 1")

    draw = None
    if args.chart:
        try:
            from depth_chart import write_chart
        except ImportError as error:  # matplotlib missing
            print(f"replay.py: error: --chart needs matplotlib ({error}); install it with: pip install .[plot]", file=sys.stderr)
            return 2
        draw = write_chart

    try:
        result = replay(args.messages, args.orderbook, levels=args.levels, progress=sys.stderr.isatty())
    except ReplayInputError as error:
        print(f"replay.py: error: {error}", file=sys.stderr)
        return 2
    name = Path(args.messages).name
    report(result, name)
    if args.orderbook:
        report_agreement(result)
    if draw is not None:
        draw(result, args.chart, title=name)
        print(f"  chart written to {args.chart}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
