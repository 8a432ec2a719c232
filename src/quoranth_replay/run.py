"""One file replayed start to end as the command does it, with what the command reports of it.

``replay_file`` takes a picklable ``Job`` and returns a picklable ``FileSummary``,
so that it runs alike in this process, a worker process or on a Dask worker.
"""

from __future__ import annotations

import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import NamedTuple

from .lobster import PASSIVE_TYPES, TYPE_NAMES, ReplayInputError, levels_from_name, read_messages, read_orderbook
from .output import FILLS_HEADER, book_header, output_stem, top_views, write_book_rows, write_fills
from .progress import Progress
from .replay import Agreement, Fidelity, Replay

# Best bid and ask samples kept for a chart, at most.
CHART_SAMPLES = 2000
# Messages replayed between progress updates and output writes.
CHUNK = 1 << 16


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
    """Replay one message file; a bad input file gives a summary with ``error`` set."""
    try:
        return _replay_file(job)
    except ReplayInputError as error:
        return FileSummary(job.messages, error=str(error))


def _replay_file(job: Job) -> FileSummary:
    started = time.perf_counter()
    progress = Progress(0, Path(job.messages).name) if job.progress else None
    try:
        return _replay_with(job, started, progress)
    finally:
        if progress is not None:
            progress.close()


def _replay_with(job: Job, started: float, progress: Progress | None) -> FileSummary:
    if progress is not None:
        progress.update(0, stage="reading")
    messages = read_messages(job.messages)
    orderbook = read_orderbook(job.orderbook) if job.orderbook is not None else None
    levels = job.levels or (orderbook.levels if orderbook is not None else None) or levels_from_name(job.messages)
    if progress is not None:
        progress.update(0, stage="planning")
    replay = Replay(messages, orderbook, keep_fills=job.out is not None)
    count = len(messages)
    if progress is not None:
        progress.update(0, total=count, stage="replaying")

    out_levels = 0
    book_out = fills_out = None
    if job.out is not None:
        stem = Path(job.out) / output_stem(job.messages)
        out_levels = levels or 1
        book_out = open(f"{stem}.book.csv", "w", encoding="ascii")
        fills_out = open(f"{stem}.fills.csv", "w", encoding="ascii")
        book_out.write(book_header(out_levels))
        fills_out.write(FILLS_HEADER)
    samples: list[tuple[float, int | None, int | None]] = []
    # Replayed in chunks, each in one batch call (or message by message for the
    # book's depth at several levels): between them the progress bar moves,
    # output is written out and the chart's samples are taken.
    chunk = max(1, count // CHART_SAMPLES) if job.samples else CHUNK
    try:
        while replay.index < count:
            stop = replay.index + chunk
            if book_out is None or fills_out is None:
                replay.run(stop)
            else:
                if out_levels == 1:
                    write_book_rows(book_out, top_views(replay.run_top_of_book(stop)), 1)
                else:
                    write_book_rows(book_out, replay.run(stop, depth_levels=out_levels), out_levels)
                write_fills(fills_out, replay.take_fills(), replay)
            if job.samples:
                samples.append(_sample(replay))
            if progress is not None:
                progress.update(replay.index)
    finally:
        for stream in (book_out, fills_out):
            if stream is not None:
                stream.close()
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


def _sample(replay: Replay) -> tuple[float, int | None, int | None]:
    bid, ask = replay.book.best_bid(), replay.book.best_ask()
    return (replay.time, bid[0] if bid is not None else None, ask[0] if ask is not None else None)
