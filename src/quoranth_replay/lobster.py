"""Reading LOBSTER message and orderbook files into columns.

Message files have six columns (time, type, order id, size, price, direction)
or seven (a trailing attribution column, mostly ``null``); orderbook files have
four columns a level (ask price, ask size, bid price, bid size) for any number
of levels. Either may start with a header line and may be gzip-compressed.

Files are read whole (see ``MAX_READ`` for pipes and gzip files). The module's native reader takes the bytes of a file in
the plain form the exchange writes; anything it does not take goes to the Python
readers: a fast one that splits many lines at once and converts each column in
one go, and, whenever that meets anything unusual, a careful line-by-line one,
which either reads the lines the same way or names the first line that is
wrong. Errors are ``ReplayInputError`` with the file, the line and what is
wrong.
"""

from __future__ import annotations

import io
import math
import operator
import os
import re
import stat
from array import array
from collections.abc import Iterator
from contextlib import contextmanager
from itertools import chain, compress, repeat
from pathlib import Path
from typing import NamedTuple

from quoranth import _lobster_integer_columns, _lobster_message_columns, _lobster_unplain_message

# LOBSTER prices are US dollars times 10000: one cent, the book's tick, is 100.
PRICE_UNITS_PER_TICK = 100
TICK_SIZE = 0.01
# LOBSTER's placeholders for an empty level in orderbook files.
NO_BID = -9999999999
NO_ASK = 9999999999
# Sizes become the book's quantities, doubles: above 2^53 they would no longer be exact.
MAX_SIZE = 2**53
# Price levels a side an orderbook file or --out may have: LOBSTER's files have a few hundred at most.
MAX_LEVELS = 1000
# Bytes read at most from a pipe, and unpacked at most from a gzip file: a gzip
# bomb or an endless pipe is refused rather than let exhaust the memory.
MAX_READ = 4 << 30

NEW, PARTIAL_CANCEL, DELETE, EXECUTE, HIDDEN_EXECUTE, CROSS_TRADE, HALT = 1, 2, 3, 4, 5, 6, 7
# Types that leave the visible book as it is.
PASSIVE_TYPES = frozenset({HIDDEN_EXECUTE, CROSS_TRADE, HALT})
KNOWN_TYPES = frozenset({NEW, PARTIAL_CANCEL, DELETE, EXECUTE}) | PASSIVE_TYPES
TYPE_NAMES = {
    NEW: "new",
    PARTIAL_CANCEL: "partial cancels",
    DELETE: "deletions",
    EXECUTE: "executions",
    HIDDEN_EXECUTE: "hidden executions",
    CROSS_TRADE: "cross trades",
    HALT: "halts",
}

# Lines converted per step of the fast path: bounds the temporary field lists.
_CHUNK = 65536
# Type and direction fields as the exchange writes them; any other spelling
# (spaces, a plus sign) goes to the careful reader.
_SMALL_INTS = {str(value): value for value in range(-1, 8)}


class ReplayInputError(ValueError):
    """A message or orderbook file that cannot be read or replayed, with where it went wrong."""

    def __init__(self, path: Path | str, line: int | None, reason: str) -> None:
        self.path = str(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}, line {line}"
        super().__init__(f"{where}: {reason}")


class Message(NamedTuple):
    """One message row. ``price`` is in LOBSTER units (dollars times 10000)."""

    time: float
    type: int
    order_id: int
    size: int
    price: int
    direction: int


class MessageFile:
    """A message file as columns, one entry per message in file order."""

    __slots__ = ("path", "times", "types", "order_ids", "sizes", "prices", "directions")

    def __init__(
        self,
        path: str,
        times: array[float],
        types: array[int],
        order_ids: array[int],
        sizes: array[int],
        prices: array[int],
        directions: array[int],
    ) -> None:
        self.path = path
        self.times = times
        self.types = types
        self.order_ids = order_ids
        self.sizes = sizes
        self.prices = prices
        self.directions = directions

    def __len__(self) -> int:
        return len(self.types)

    def __getitem__(self, index: int) -> Message:
        return Message(
            self.times[index],
            self.types[index],
            self.order_ids[index],
            self.sizes[index],
            self.prices[index],
            self.directions[index],
        )


class OrderbookFile:
    """An orderbook file: its depth, its first row whole, and the best level of every row.

    Prices are in LOBSTER units with LOBSTER's placeholders for an empty level.
    """

    __slots__ = ("path", "levels", "first_row", "ask_prices", "ask_sizes", "bid_prices", "bid_sizes")

    def __init__(
        self,
        path: str,
        levels: int,
        first_row: tuple[int, ...],
        ask_prices: array[int],
        ask_sizes: array[int],
        bid_prices: array[int],
        bid_sizes: array[int],
    ) -> None:
        self.path = path
        self.levels = levels
        self.first_row = first_row
        self.ask_prices = ask_prices
        self.ask_sizes = ask_sizes
        self.bid_prices = bid_prices
        self.bid_sizes = bid_sizes

    def __len__(self) -> int:
        return len(self.ask_prices)


def levels_from_name(path: Path | str) -> int | None:
    """The depth that LOBSTER writes into its file names (``..._message_10.csv``)."""
    match = re.search(r"_(?:message|orderbook)_(\d+)\.csv(?:\.gz)?$", str(path))
    return int(match.group(1)) if match else None


def read_messages(path: Path | str) -> MessageFile:
    """Read a LOBSTER message file (6 or 7 columns, optional header, plain or gzip)."""
    data = _read(Path(path))
    columns = _native_messages(data)
    if columns is None:
        lines, first = _data_lines(path, _decode(path, data))
        if not lines:
            raise ReplayInputError(path, None, "no messages")
        width = lines[0].count(",") + 1
        if width not in (6, 7):
            raise ReplayInputError(path, first, f"expected 6 or 7 comma-separated fields, found {width}")
        columns = _fast_messages(lines, width) or _careful_messages(path, lines, first, width)
    return MessageFile(str(path), *columns)


def read_orderbook(path: Path | str) -> OrderbookFile:
    """Read a LOBSTER orderbook file of any depth (optional header, plain or gzip)."""
    data = _read(Path(path))
    read = _native_orderbook(data)
    if read is not None:
        levels, first_line, first_row, asks, ask_sizes, bids, bid_sizes = read
        check_opening_row(path, first_line, levels, first_row)
        return OrderbookFile(str(path), levels, first_row, asks, ask_sizes, bids, bid_sizes)
    lines, first = _data_lines(path, _decode(path, data))
    if not lines:
        raise ReplayInputError(path, None, "no rows")
    width = lines[0].count(",") + 1
    if width % 4:
        raise ReplayInputError(path, first, f"expected 4 columns per level, found {width} columns")
    if width > 4 * MAX_LEVELS:
        raise ReplayInputError(path, first, f"{width // 4} levels, more than the {MAX_LEVELS} a replay reads")
    columns = _fast_orderbook(lines, width) or _careful_orderbook(path, lines, first, width)
    first_row = tuple(int(field) for field in lines[0].split(","))
    check_opening_row(path, first, width // 4, first_row)
    return OrderbookFile(str(path), width // 4, first_row, *columns)


# ------------------------------------------------------------ the raw file

def _read(path: Path) -> bytes:
    """The file's text as bytes: unpacked if it is gzip-compressed, without a
    leading UTF-8 byte order mark.

    Only regular files and pipes (``<(...)`` too) are read: a device such as
    /dev/zero would never end. Read rather than mapped into memory: a mapped
    file cut short by another process while it is parsed would end the
    interpreter (SIGBUS).
    """
    try:
        mode = os.stat(path).st_mode
        if not (stat.S_ISREG(mode) or stat.S_ISFIFO(mode)):
            raise ReplayInputError(path, None, f"is {_kind(mode)}, not a file")
        with open(path, "rb") as file:
            too_much = "sends more than {} through a pipe, the most a replay reads from one"
            data = file.read() if stat.S_ISREG(mode) else _read_at_most(path, file, too_much)
    except FileNotFoundError:
        raise ReplayInputError(path, None, "no such file") from None
    except OSError as error:
        raise ReplayInputError(path, None, error.strerror or str(error)) from None
    if data[:2] == b"\x1f\x8b":
        import gzip  # only for compressed files
        import zlib

        try:
            with gzip.GzipFile(fileobj=io.BytesIO(data)) as packed:
                data = _read_at_most(path, packed, "unpacks to more than {}, the most a replay unpacks (unpack it first)")
        except (OSError, EOFError, zlib.error) as error:
            raise ReplayInputError(path, None, f"not a readable gzip file ({error})") from None
    return data[3:] if data[:3] == b"\xef\xbb\xbf" else data


def _kind(mode: int) -> str:
    """What a file that is neither a regular file nor a pipe is."""
    kinds = ((stat.S_ISDIR, "a directory"), (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
             (stat.S_ISSOCK, "a socket"))
    return next((name for test, name in kinds if test(mode)), "a special file")


def _read_at_most(path: Path, stream: io.BufferedIOBase, too_much: str) -> bytes:
    """All of ``stream``, read a MiB at a time; beyond ``MAX_READ`` bytes, refused
    with ``too_much`` (its ``{}`` is that limit)."""
    text = io.BytesIO()
    while chunk := stream.read(1 << 20):
        if text.tell() + len(chunk) > MAX_READ:
            raise ReplayInputError(path, None, too_much.format(f"{MAX_READ / (1 << 30):g} GiB"))
        text.write(chunk)
    return text.getvalue()


def _decode(path: Path | str, data: bytes) -> str:
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise ReplayInputError(path, line, "not a CSV text file (non-ASCII bytes)") from None


# ----------------------------------------------------- the native fast path

# What str.strip removes: trailing lines of nothing else are dropped.
_BLANK = frozenset(b" \t\r\n\x0b\x0c\x1c\x1d\x1e\x1f")


def _native_messages(data: bytes) -> _MessageColumns | None:
    """The columns of a message file in the plain form, read by the module; None for any other file."""
    body = _plain_body(data)
    if body is None:
        return None
    start, end, width, _ = body
    # The seventh column is skipped unread, so it must hold what the Python
    # readers accept there: ASCII.
    if width not in (6, 7) or (width == 7 and not data.isascii()):
        return None
    with memoryview(data) as whole, whole[start:end] as text:
        read = _lobster_message_columns(text, width)
    if read is None:
        return None
    return read


def _native_orderbook(data: bytes) -> tuple[int, int, tuple[int, ...], array[int], array[int], array[int], array[int]] | None:
    """Levels, the first data line's number and its row, and the best-level columns of
    an orderbook file of plain integers, read by the module; or None."""
    body = _plain_body(data)
    if body is None or body[2] % 4 or body[2] > 4 * MAX_LEVELS:
        return None
    start, end, width, first_line = body
    with memoryview(data) as whole, whole[start:end] as text:
        read = _lobster_integer_columns(text, width, 4)
    if read is None:
        return None
    asks, ask_sizes, bids, bid_sizes = read
    return width // 4, 2 if start else 1, tuple(map(int, first_line.split(b","))), asks, ask_sizes, bids, bid_sizes


def _plain_body(data: bytes) -> tuple[int, int, int, bytes] | None:
    """Where the data lines are (after any header line, without a blank tail), their
    field count and the first of them, for the native reader; None when the first
    lines are not plain enough to be sure the Python readers would split them alike."""
    end = len(data)
    while end and data[end - 1] in _BLANK:
        end -= 1
    line_end = data.find(b"\n", 0, end)
    first_line = data[: end if line_end < 0 else line_end].removesuffix(b"\r")
    if not first_line.isascii() or b"\r" in first_line:
        return None
    start = 0
    if _is_header(first_line.decode().split(",")):
        if line_end < 0:
            return None  # a header alone
        start = line_end + 1
        line_end = data.find(b"\n", start, end)
        first_line = data[start : end if line_end < 0 else line_end].removesuffix(b"\r")
        if not first_line.isascii() or b"\r" in first_line:
            return None
    return start, end, first_line.count(b",") + 1, first_line


# ----------------------------------------------------------------- raw lines


def _data_lines(path: Path | str, text: str) -> tuple[list[str], int]:
    """The text's lines after any header, and the line number of the first of them.

    Blank lines are refused rather than skipped, so that every line the fast
    path counts is the line an error names. Lines end in "\n" or "\r\n" and in
    nothing else (not in a form feed, as for ``str.splitlines``), as the native
    reader and an editor count them.
    """
    lines = text.split("\n")
    while lines and not lines[-1].strip():
        lines.pop()  # a trailing line feed or blank tail
    if "\r" in text:
        lines = [line.removesuffix("\r") for line in lines]
        stray = next((number for number, line in enumerate(lines, start=1) if "\r" in line), None)
        if stray is not None:
            raise ReplayInputError(path, stray, "carriage return inside a line (lines end in \\n or \\r\\n)")
    first = 1
    if lines and _is_header(lines[0].split(",")):
        lines = lines[1:]  # header
        first = 2
    if not all(lines):
        raise ReplayInputError(path, first + lines.index(""), "blank line")
    return lines, first


def _is_header(fields: list[str]) -> bool:
    """A first line of names only. A data line with one field mistyped is not
    one: it is read, and refused with its line number, rather than dropped."""
    return not any(map(_is_number, fields))


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _fields(lines: list[str], width: int) -> list[str] | None:
    """All fields of the lines, or None unless every line has ``width`` of them."""
    fields = ",".join(lines).split(",")
    return fields if len(fields) == width * len(lines) else None


# ------------------------------------------------------------- message files

_MessageColumns = tuple[array[float], array[int], array[int], array[int], array[int], array[int]]


def _fast_messages(lines: list[str], width: int) -> _MessageColumns | None:
    if _has_underscores(lines):
        return None
    times: array[float] = array("d")
    types, ids, sizes = array("b"), array("q"), array("q")
    prices, directions = array("q"), array("b")
    try:
        for start in range(0, len(lines), _CHUNK):
            fields = _fields(lines[start : start + _CHUNK], width)
            if fields is None:
                return None
            times.extend(map(float, fields[0::width]))
            types.extend(map(_SMALL_INTS.__getitem__, fields[1::width]))
            ids.extend(map(int, fields[2::width]))
            sizes.extend(map(int, fields[3::width]))
            prices.extend(map(int, fields[4::width]))
            directions.extend(map(_SMALL_INTS.__getitem__, fields[5::width]))
    except (KeyError, ValueError, OverflowError):
        return None
    # Checks over whole columns; anything doubtful goes to the careful reader.
    if not set(types) <= KNOWN_TYPES or not set(directions) <= {1, -1}:
        return None
    if not all(map(math.isfinite, times)):
        return None
    # Sizes and prices matter where a message changes the visible book; halts and
    # hidden executions may carry anything there. Only the rows with a doubtful
    # size or price are looked at one by one.
    count = len(types)
    doubtful = chain(
        compress(range(count), map(operator.le, sizes, repeat(0))),
        compress(range(count), map(operator.gt, sizes, repeat(MAX_SIZE))),
        compress(range(count), map(operator.le, prices, repeat(0))),
        compress(range(count), map(operator.mod, prices, repeat(PRICE_UNITS_PER_TICK))),
    )
    if any(types[row] not in PASSIVE_TYPES for row in doubtful):
        return None
    return times, types, ids, sizes, prices, directions


def _careful_messages(path: Path | str, lines: list[str], first: int, width: int) -> _MessageColumns:
    times: array[float] = array("d")
    types, ids, sizes = array("b"), array("q"), array("q")
    prices, directions = array("q"), array("b")
    for line_no, line in enumerate(lines, start=first):
        fields = line.split(",")
        if len(fields) != width:
            raise ReplayInputError(path, line_no, f"expected {width} comma-separated fields like line {first}, found {len(fields)}")
        try:
            if "_" in fields[0]:
                raise ValueError
            when = float(fields[0])
        except ValueError:
            raise ReplayInputError(path, line_no, f"time is not a number: {fields[0].strip()!r}") from None
        if not math.isfinite(when):
            raise ReplayInputError(path, line_no, f"time is not finite: {fields[0].strip()!r}")
        kind = _int(fields[1], "type", path, line_no)
        if kind not in KNOWN_TYPES:
            raise ReplayInputError(path, line_no, f"unknown message type {kind}")
        order_id = _int(fields[2], "order id", path, line_no)
        size = _int(fields[3], "size", path, line_no)
        price = _int(fields[4], "price", path, line_no)
        direction = _int(fields[5], "direction", path, line_no)
        problem = _values_problem(kind, size, price, direction)
        if problem is not None:
            raise ReplayInputError(path, line_no, problem)
        times.append(when)
        types.append(kind)
        ids.append(order_id)
        sizes.append(size)
        prices.append(price)
        directions.append(direction)
    return times, types, ids, sizes, prices, directions


def _values_problem(kind: int, size: int, price: int, direction: int) -> str | None:
    """What makes one message's values unfit for a replay, if anything."""
    if kind not in KNOWN_TYPES:
        return f"unknown message type {kind}"
    if direction not in (1, -1):
        return f"direction must be 1 or -1, found {direction}"
    if kind not in PASSIVE_TYPES:
        if size <= 0:
            return f"size must be positive, found {size}"
        if size > MAX_SIZE:
            return f"size must be at most 2^53 ({MAX_SIZE}), found {size}"
        if price <= 0 or price % PRICE_UNITS_PER_TICK:
            return f"price must be a positive whole number of cents, found {price}"
    return None


@contextmanager
def columns_in_range(path: str) -> Iterator[None]:
    """Columns made by hand are converted to the book's column types inside:
    a value none of them holds (a uint64 of 2^63) is a ReplayInputError naming
    ``path``, not the conversion's bare ValueError or OverflowError."""
    try:
        yield
    except ReplayInputError:
        raise
    except (ValueError, OverflowError) as error:
        raise ReplayInputError(path, None, f"a column holds a value out of range: {error}") from None


def check_messages(messages: MessageFile) -> None:
    """Refuses a MessageFile made by hand (or changed since it was read) that
    holds what no file could: ReplayInputError names the file and the first
    such message, counted from 0."""
    m = messages
    with columns_in_range(m.path):
        index = _lobster_unplain_message(m.times, m.types, m.sizes, m.prices, m.directions)
    if index is None:
        return
    when = float(m.times[index])
    problem = f"time is not finite: {when!r}" if not math.isfinite(when) else None
    problem = problem or _values_problem(m.types[index], m.sizes[index], m.prices[index], m.directions[index])
    raise ReplayInputError(m.path, None, f"message {index}: {problem}")


_INT64 = 2**63


def _int(text: str, what: str, path: Path | str, line: int) -> int:
    try:
        if "_" in text:  # int() reads "1_00" as 100; the native reader, rightly, does not
            raise ValueError
        value = int(text)
    except ValueError:
        raise ReplayInputError(path, line, f"{what} is not an integer: {text.strip()!r}") from None
    if not -_INT64 <= value < _INT64:
        raise ReplayInputError(path, line, f"{what} is out of range: {text.strip()}")
    return value


# ----------------------------------------------------------- orderbook files

_BookColumns = tuple[array[int], array[int], array[int], array[int]]
_LEVEL_FIELDS = ("ask price", "ask size", "bid price", "bid size")


def _level_problem(row: tuple[int, ...] | list[int], column: int) -> str | None:
    """What is wrong with the side of a level whose price is ``row[column]`` (its size
    follows), or None. A size is from 0 to 2^53 (exact as the book's quantity); a side
    with shares at a price short of LOBSTER's placeholder is priced in whole cents."""
    price, size = row[column], row[column + 1]
    where = f"of level {column // 4 + 1}"
    side = "ask" if column % 4 == 0 else "bid"
    if size < 0:
        return f"{side} size {where} must not be negative, found {size}"
    if size > MAX_SIZE:
        return f"{side} size {where} must be at most 2^53 ({MAX_SIZE}), found {size}"
    empty = size == 0 or (price >= NO_ASK if side == "ask" else price <= NO_BID)
    if not empty and (price <= 0 or price % PRICE_UNITS_PER_TICK):
        return f"{side} price {where} must be a positive whole number of cents, found {price}"
    return None


def check_opening_row(path: Path | str, line: int | None, levels: int, row: tuple[int, ...]) -> None:
    """Refuse a first row that cannot be the exchange's book: every level as
    ``_level_problem`` wants it, each side's prices moving away from the other
    side level by level, and the best bid below the best ask."""
    if len(row) != 4 * levels:
        raise ReplayInputError(path, line, f"the first row has {len(row)} fields for {levels} levels")
    problem = next(filter(None, map(_level_problem, repeat(row), range(0, len(row), 2))), None)
    if problem is not None:
        raise ReplayInputError(path, line, problem)
    best = []
    for side, offset, beyond, shown in (("ask", 0, operator.lt, NO_ASK.__gt__), ("bid", 2, operator.gt, NO_BID.__lt__)):
        prices = [(level, price) for level, (price, size) in enumerate(zip(row[offset::4], row[offset + 1 :: 4]), start=1)
                  if shown(price) and size > 0]
        for (level, price), (_, previous) in zip(prices[1:], prices):
            if not beyond(previous, price):
                reason = f"{side} price of level {level} ({price}) is not beyond the one before ({previous})"
                raise ReplayInputError(path, line, reason)
        best.append(prices[0][1] if prices else None)
    ask, bid = best
    if ask is not None and bid is not None and bid >= ask:
        raise ReplayInputError(path, line, f"the book is crossed: best bid {bid} is not below best ask {ask}")


def _fast_orderbook(lines: list[str], width: int) -> _BookColumns | None:
    if _has_underscores(lines):
        return None
    columns: _BookColumns = (array("q"), array("q"), array("q"), array("q"))
    try:
        for start in range(0, len(lines), _CHUNK):
            fields = _fields(lines[start : start + _CHUNK], width)
            if fields is None:
                return None
            for column, values in enumerate(columns):
                values.extend(map(int, fields[column::width]))
            # The deeper levels are only checked to be integers.
            for column in range(4, width):
                array("q", map(int, fields[column::width]))
    except (ValueError, OverflowError):
        return None
    # Any doubtful best level goes to the careful reader, to be named.
    if any(map(_level_problem, zip(*columns), repeat(0))) or any(map(_level_problem, zip(*columns), repeat(2))):
        return None
    return columns


def _careful_orderbook(path: Path | str, lines: list[str], first: int, width: int) -> _BookColumns:
    columns: _BookColumns = (array("q"), array("q"), array("q"), array("q"))
    for line_no, line in enumerate(lines, start=first):
        fields = line.split(",")
        if len(fields) != width:
            raise ReplayInputError(path, line_no, f"expected {width} fields like line {first}, found {len(fields)}")
        values = [_int(text, f"{_LEVEL_FIELDS[column % 4]} of level {column // 4 + 1}", path, line_no)
                  for column, text in enumerate(fields)]
        problem = _level_problem(values, 0) or _level_problem(values, 2)
        if problem is not None:
            raise ReplayInputError(path, line_no, problem)
        for column, target in enumerate(columns):
            target.append(values[column])
    return columns


def _has_underscores(lines: list[str]) -> bool:
    """Whether a line holds "_", which int() and float() read as a digit separator."""
    return any(map(operator.contains, lines, repeat("_")))
