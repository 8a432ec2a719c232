"""Reading LOBSTER message and orderbook files into columns.

Message files have six columns (time, type, order id, size, price, direction)
or seven (a trailing attribution column, mostly ``null``); orderbook files have
four columns a level (ask price, ask size, bid price, bid size) for any number
of levels. Either may start with a header line and may be gzip-compressed.

Files are read whole. The module's native reader takes the bytes of a file in
the plain form the exchange writes; anything it does not take goes to the Python
readers: a fast one that splits many lines at once and converts each column in
one go, and, whenever that meets anything unusual, a careful line-by-line one,
which either reads the lines the same way or names the first line that is
wrong. Errors are ``ReplayInputError`` with the file, the line and what is
wrong.
"""

from __future__ import annotations

import math
import operator
import re
from array import array
from itertools import chain, compress, repeat
from pathlib import Path
from typing import NamedTuple

from quoranth import _lobster_integer_columns, _lobster_message_columns

# LOBSTER prices are US dollars times 10000: one cent, the book's tick, is 100.
PRICE_UNITS_PER_TICK = 100
TICK_SIZE = 0.01
# LOBSTER's placeholders for an empty level in orderbook files.
NO_BID = -9999999999
NO_ASK = 9999999999

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


class ReplayInputError(Exception):
    """A message or orderbook file that cannot be read, with where it went wrong."""

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
        return OrderbookFile(str(path), *read)
    lines, first = _data_lines(path, _decode(path, data))
    if not lines:
        raise ReplayInputError(path, None, "no rows")
    width = lines[0].count(",") + 1
    if width % 4:
        raise ReplayInputError(path, first, f"expected 4 columns per level, found {width} columns")
    columns = _fast_orderbook(lines, width) or _careful_orderbook(path, lines, first, width)
    first_row = tuple(int(field) for field in lines[0].split(","))
    return OrderbookFile(str(path), width // 4, first_row, *columns)


# ------------------------------------------------------------ the raw file

def _read(path: Path) -> bytes:
    """The file's bytes, decompressed if it is gzip-compressed.

    Read rather than mapped into memory: a mapped file cut short by another
    process while it is parsed would end the interpreter (SIGBUS).
    """
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        raise ReplayInputError(path, None, "no such file") from None
    except IsADirectoryError:
        raise ReplayInputError(path, None, "is a directory, not a file") from None
    except OSError as error:
        raise ReplayInputError(path, None, error.strerror or str(error)) from None
    if data[:2] == b"\x1f\x8b":
        import gzip  # only for compressed files
        import zlib

        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as error:
            raise ReplayInputError(path, None, f"not a readable gzip file ({error})") from None
    return data


def _decode(path: Path | str, data: bytes) -> str:
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        raise ReplayInputError(path, line, "not a CSV text file (non-ASCII bytes)") from None


# ----------------------------------------------------- the native fast path

# Characters that end a line for str.splitlines, besides "\n" and "\r".
_OTHER_LINE_BREAKS = (b"\x0b", b"\x0c", b"\x1c", b"\x1d", b"\x1e")
# What str.strip removes: trailing lines of nothing else are dropped.
_BLANK = frozenset(b" \t\r\n\x0b\x0c\x1c\x1d\x1e\x1f")


def _native_messages(data: bytes) -> _MessageColumns | None:
    """The columns of a message file in the plain form, read by the module; None for any other file."""
    body = _plain_body(data)
    if body is None:
        return None
    start, end, width, _ = body
    # The seventh column is skipped unread, so it must hold what the Python
    # readers accept there: ASCII without other line breaks.
    if width not in (6, 7) or (width == 7 and not _plain_text(data)):
        return None
    with memoryview(data) as whole, whole[start:end] as text:
        read = _lobster_message_columns(text, width)
    if read is None:
        return None
    return read


def _native_orderbook(data: bytes) -> tuple[int, tuple[int, ...], array[int], array[int], array[int], array[int]] | None:
    """Levels, first row and best-level columns of an orderbook file of plain integers, read by the module; or None."""
    body = _plain_body(data)
    if body is None or body[2] % 4:
        return None
    start, end, width, first_line = body
    with memoryview(data) as whole, whole[start:end] as text:
        read = _lobster_integer_columns(text, width, 4)
    if read is None:
        return None
    asks, ask_sizes, bids, bid_sizes = read
    return width // 4, tuple(map(int, first_line.split(b","))), asks, ask_sizes, bids, bid_sizes


def _plain_body(data: bytes) -> tuple[int, int, int, bytes] | None:
    """Where the data lines are (after any header line, without a blank tail), their
    field count and the first of them, for the native reader; None when the first
    lines are not plain enough to be sure the Python readers would split them alike."""
    end = len(data)
    while end and data[end - 1] in _BLANK:
        end -= 1
    line_end = data.find(b"\n", 0, end)
    first_line = data[: end if line_end < 0 else line_end].removesuffix(b"\r")
    if not _plain_text(first_line) or b"\r" in first_line:
        return None
    start = 0
    if _is_header(first_line.decode().split(",")):
        if line_end < 0:
            return None  # a header alone
        start = line_end + 1
        line_end = data.find(b"\n", start, end)
        first_line = data[start : end if line_end < 0 else line_end].removesuffix(b"\r")
        if not _plain_text(first_line) or b"\r" in first_line:
            return None
    return start, end, first_line.count(b",") + 1, first_line


def _plain_text(data: bytes) -> bool:
    """ASCII, with no line breaks of str.splitlines but "\n" and "\r"."""
    return data.isascii() and not any(map(data.__contains__, _OTHER_LINE_BREAKS))


# ----------------------------------------------------------------- raw lines


def _data_lines(path: Path | str, text: str) -> tuple[list[str], int]:
    """The text's lines after any header, and the line number of the first of them.

    Blank lines are refused rather than skipped, so that every line the fast
    path counts is the line an error names.
    """
    lines = text.splitlines()
    while lines and not lines[-1].strip():
        lines.pop()  # a trailing line feed or blank tail
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
        if direction not in (1, -1):
            raise ReplayInputError(path, line_no, f"direction must be 1 or -1, found {direction}")
        if kind not in PASSIVE_TYPES:
            if size <= 0:
                raise ReplayInputError(path, line_no, f"size must be positive, found {size}")
            if price <= 0 or price % PRICE_UNITS_PER_TICK:
                raise ReplayInputError(path, line_no, f"price must be a positive whole number of cents, found {price}")
        times.append(when)
        types.append(kind)
        ids.append(order_id)
        sizes.append(size)
        prices.append(price)
        directions.append(direction)
    return times, types, ids, sizes, prices, directions


_INT64 = 2**63


def _int(text: str, what: str, path: Path | str, line: int) -> int:
    try:
        value = int(text)
    except ValueError:
        raise ReplayInputError(path, line, f"{what} is not an integer: {text.strip()!r}") from None
    if not -_INT64 <= value < _INT64:
        raise ReplayInputError(path, line, f"{what} is out of range: {text.strip()}")
    return value


# ----------------------------------------------------------- orderbook files

_BookColumns = tuple[array[int], array[int], array[int], array[int]]


def _fast_orderbook(lines: list[str], width: int) -> _BookColumns | None:
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
    return columns


def _careful_orderbook(path: Path | str, lines: list[str], first: int, width: int) -> _BookColumns:
    columns: _BookColumns = (array("q"), array("q"), array("q"), array("q"))
    names = ("price", "size")
    for line_no, line in enumerate(lines, start=first):
        fields = line.split(",")
        if len(fields) != width:
            raise ReplayInputError(path, line_no, f"expected {width} fields like line {first}, found {len(fields)}")
        values = [
            _int(text, f"{'ask' if column % 4 < 2 else 'bid'} {names[column % 2]} of level {column // 4 + 1}", path, line_no)
            for column, text in enumerate(fields)
        ]
        for column, target in enumerate(columns):
            target.append(values[column])
    return columns
