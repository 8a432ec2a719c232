"""One file replayed start to end as the command does it, with what the command reports of it.

``replay_file`` takes a picklable ``Job`` and returns a picklable ``FileSummary``,
so that it runs alike in this process, a worker process or on a Dask worker.
"""

from __future__ import annotations

import time
from collections.abc import Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import NamedTuple, TextIO

from .lobster import MAX_LEVELS, PASSIVE_TYPES, TYPE_NAMES, ReplayInputError, levels_from_name, read_messages, read_orderbook
from .output import FILLS_HEADER, book_header, output_names, output_stem, top_views, write_book_rows, write_fills
from .progress import Progress
from .replay import Agreement, Depth, Fidelity, Replay
from .stops import stop_if_asked

# Best bid and ask samples kept for a chart, at most.
CHART_SAMPLES = 2000
# Messages replayed between progress updates and output writes.
CHUNK = 1 << 16
# Book levels (rows times levels) held at once while writing the book at several
# levels: bounds the memory of the depth views, whatever the depth.
DEPTH_CELLS = 1 << 16
# The command's exit status for a bad input file, and for a replay the system
# failed (out of memory, an output file that cannot be written).
BAD_INPUT, SYSTEM_FAILED = 2, 1


class ReplayOutputError(Exception):
    """An output file that cannot be written (a full disk, a file size limit)."""


class Job(NamedTuple):
    messages: str
    orderbook: str | None = None
    levels: int | None = None
    out: str | None = None
    """Directory for the CSV files (a staging directory: see ``output.Staging``)."""
    progress: bool = False
    samples: bool = False
    """Keep best bid and ask samples and the final depth, for a chart."""


class FileSummary(NamedTuple):
    name: str
    error: str | None = None
    exit_status: int = 0
    """For an error: ``BAD_INPUT`` or ``SYSTEM_FAILED``."""
    messages: int = 0
    by_type: Mapping[int, int] = {}
    passive: int = 0
    unplaced: int = 0
    fills: int = 0
    traded: float = 0.0
    seconds: float = 0.0
    """Reading, planning, replaying and comparing, end to end."""
    levels: int | None = None
    agreement: Agreement | None = None
    fidelity: Fidelity = Fidelity()
    book_text: str = ""
    samples: Sequence[tuple[float, int | None, int | None]] = ()
    """(time, best bid in ticks, best ask in ticks) at moments across the replay."""
    depth: tuple[Sequence[tuple[int, float, int]], Sequence[tuple[int, float, int]]] = ((), ())


def replay_file(job: Job) -> FileSummary:
    """Replay one message file; a bad input file, an output that cannot be written or
    a lack of memory gives a summary with ``error`` set."""
    try:
        return _replay_file(job)
    except ReplayInputError as error:
        return FileSummary(job.messages, error=str(error), exit_status=BAD_INPUT)
    except ReplayOutputError as error:
        return FileSummary(job.messages, error=str(error), exit_status=SYSTEM_FAILED)
    except MemoryError:
        return FileSummary(job.messages, error=f"{job.messages}: out of memory", exit_status=SYSTEM_FAILED)


def _replay_file(job: Job) -> FileSummary:
    started = time.perf_counter()
    progress = Progress(0, Path(job.messages).name) if job.progress else None
    try:
        return _replay_with(job, started, progress)
    finally:
        if progress is not None:
            progress.close()


def _replay_with(job: Job, started: float, progress: Progress | None) -> FileSummary:
    named_levels = levels_from_name(job.messages)
    if job.out is not None and not job.levels and job.orderbook is None and (named_levels or 0) > MAX_LEVELS:
        reason = f"its name gives {named_levels} levels, more than the {MAX_LEVELS} --out writes (give --levels)"
        raise ReplayInputError(job.messages, None, reason)
    if progress is not None:
        progress.update(0, stage="reading")
    messages = read_messages(job.messages)
    orderbook = read_orderbook(job.orderbook) if job.orderbook is not None else None
    levels = job.levels or (orderbook.levels if orderbook is not None else None) or named_levels
    if progress is not None:
        progress.update(0, stage="planning")
    replay = Replay(messages, orderbook, keep_fills=job.out is not None)
    count = len(messages)
    if progress is not None:
        progress.update(0, total=count, stage="replaying")

    output = _CsvOutput(job.out, output_stem(job.messages), levels or 1) if job.out is not None else None
    samples: list[tuple[float, int | None, int | None]] = []
    # Replayed in chunks, each in one batch call (or message by message for the
    # book's depth at several levels): between them the progress bar moves,
    # output is written out and the chart's samples are taken.
    chunk = max(1, count // CHART_SAMPLES) if job.samples else CHUNK
    if output is not None and output.levels > 1:
        chunk = min(chunk, max(1, DEPTH_CELLS // output.levels))
    try:
        while replay.index < count:
            stop = replay.index + chunk
            if output is None:
                replay.run(stop)
            elif output.levels == 1:
                output.write(top_views(replay.run_top_of_book(stop)), replay)
            else:
                output.write(replay.run(stop, depth_levels=output.levels), replay)
            if job.samples:
                samples.append(_sample(replay))
            if progress is not None:
                progress.update(replay.index)
            stop_if_asked()
    except BaseException:
        if output is not None:
            output.close(failed=True)
        raise
    if output is not None:
        output.close()
    seconds = time.perf_counter() - started

    types = messages.types.tobytes()
    by_type = {kind: n for kind in sorted(TYPE_NAMES) if (n := types.count(kind))}
    return FileSummary(
        name=job.messages,
        messages=count,
        by_type=by_type,
        passive=sum(n for kind, n in by_type.items() if kind in PASSIVE_TYPES),
        unplaced=replay.plan.unplaced,
        fills=replay.fill_count,
        traded=replay.traded_volume,
        seconds=seconds,
        levels=levels,
        agreement=replay.agreement if orderbook is not None else None,
        fidelity=replay.fidelity,
        book_text=str(replay.book),
        samples=samples,
        depth=replay.book.depth(25) if job.samples else ([], []),
    )


class _CsvOutput:
    """The CSV files of one replay, written in the staging directory ``staging``:
    the book after each message at ``levels`` levels, and the fills. An OSError
    writing them is raised as a ReplayOutputError naming the file where it goes."""

    def __init__(self, staging: str, stem: str, levels: int) -> None:
        self.levels = levels
        self._files: list[tuple[TextIO, Path]] = []
        fills, book = output_names(stem)
        try:
            self._open(Path(staging), book, book_header(levels))
            self._open(Path(staging), fills, FILLS_HEADER)
        except BaseException:
            self.close(failed=True)
            raise

    def _open(self, staging: Path, name: str, header: str) -> None:
        with _writing(staging.parent / name):
            stream = open(staging / name, "w", encoding="ascii")
            self._files.append((stream, staging.parent / name))
            stream.write(header)

    def write(self, views: Iterable[Depth], replay: Replay) -> None:
        """The book rows of the messages just replayed, and their fills."""
        (book, book_target), (fills, fills_target) = self._files
        with _writing(book_target):
            write_book_rows(book, views, self.levels)
        with _writing(fills_target):
            write_fills(fills, replay.take_fills(), replay)

    def close(self, *, failed: bool = False) -> None:
        """Close the files; when the run ``failed``, without raising what closing them raises."""
        for stream, target in self._files:
            if failed:
                with suppress(OSError):
                    stream.close()
            else:
                with _writing(target):
                    stream.close()


@contextmanager
def _writing(target: Path) -> Iterator[None]:
    """Raise an OSError of writing ``target`` as a ReplayOutputError that names it."""
    try:
        yield
    except OSError as error:
        raise ReplayOutputError(f"{target}: cannot write it: {error.strerror or error}") from None


def _sample(replay: Replay) -> tuple[float, int | None, int | None]:
    bid, ask = replay.book.best_bid(), replay.book.best_ask()
    return (replay.time, bid[0] if bid is not None else None, ask[0] if ask is not None else None)
