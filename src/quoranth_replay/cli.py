"""The ``quoranth-replay`` command."""

from __future__ import annotations

import argparse
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path

from . import parallel
from .output import Staging, output_stem
from .progress import Progress
from .report import file_report, summary_line, totals_line
from .run import FileSummary, Job, replay_file

PROG = "quoranth-replay"


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Replay LOBSTER message files through a quoranth order book. "
        "With one file, report it in full; with several, replay them in parallel and print one line per file and the totals.",
    )
    parser.add_argument("messages", metavar="FILE", nargs="+", help="LOBSTER message file (6 or 7 columns, optional header, plain or gzip)")
    parser.add_argument(
        "--orderbook",
        metavar="FILE",
        action="append",
        help="the exchange's orderbook file for a message file: the book starts from it and is compared with it "
        "after every message (with several message files, give one per message file, in the same order)",
    )
    parser.add_argument(
        "--levels",
        metavar="N",
        type=int,
        help="price levels a side the files cover and --out writes (default: the orderbook file's, else the file name's, else 1)",
    )
    parser.add_argument("--chart", metavar="PNG", help="draw the final depth and the best bid and ask over the replay (needs matplotlib: quoranth[plot])")
    parser.add_argument(
        "--out",
        metavar="DIR",
        help="write NAME.fills.csv (every fill) and NAME.book.csv (the book after each message, in LOBSTER's orderbook layout)",
    )
    parser.add_argument("--quiet", action="store_true", help="print nothing but errors")
    parser.add_argument("--jobs", metavar="N", type=int, help="worker processes for several files (default: one per core)")
    parser.add_argument("--scheduler", metavar="ADDRESS", help="replay the files on the Dask cluster of this scheduler (needs quoranth[dask])")
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    files: list[str] = args.messages
    orderbooks: list[str] = args.orderbook or []
    if orderbooks and len(orderbooks) != len(files):
        parser.error(f"give one --orderbook per message file ({len(files)}), or none; found {len(orderbooks)}")
    if args.levels is not None and args.levels < 1:
        parser.error("--levels must be at least 1")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.jobs is not None and args.scheduler is not None:
        parser.error("--jobs and --scheduler exclude each other")
    if args.chart and len(files) > 1:
        parser.error("--chart draws one replay: give one message file")

    if args.out:
        # Each file writes NAME.fills.csv and NAME.book.csv: two files of one name
        # (in other folders, or packed and plain) would write over each other.
        stems = [output_stem(name) for name in files]
        clash = next((stem for stem in stems if stems.count(stem) > 1), None)
        if clash is not None:
            return _fail(f"--out {args.out}: two message files would both write {clash}.fills.csv and {clash}.book.csv")

    draw: Callable[..., None] | None = None
    chart: Path | None = None
    if args.chart:
        try:
            from .chart import chart_path, write_chart
        except ImportError as error:  # matplotlib missing
            return _fail(f"--chart needs matplotlib ({error}); install it with: pip install quoranth[plot]")
        try:
            chart = chart_path(args.chart)
        except ValueError as error:
            return _fail(f"--chart {args.chart}: {error}")
        draw = write_chart

    try:
        staging = Staging(Path(args.out)) if args.out else None
    except OSError as error:
        return _fail(f"--out {args.out}: {error.strerror or error}")
    single = len(files) == 1
    jobs = [
        Job(
            messages=name,
            orderbook=orderbooks[index] if orderbooks else None,
            levels=args.levels,
            out=str(staging.path) if staging is not None else None,
            progress=single and not args.quiet,
            samples=draw is not None,
        )
        for index, name in enumerate(files)
    ]
    started = time.perf_counter()
    try:
        summaries = _collect(_summaries(jobs, args), len(jobs), quiet=args.quiet or single)
    except parallel.ClusterUnavailable as error:
        if staging is not None:
            staging.discard()
        return _fail(str(error))
    except BaseException:
        if staging is not None:
            staging.discard()
        raise
    wall = time.perf_counter() - started

    failed = [summary for summary in summaries if summary.error is not None]
    if failed:
        if staging is not None:
            staging.discard()
        for summary in failed:
            print(f"{PROG}: error: {summary.error}", file=sys.stderr)
        return 2
    if staging is not None:
        staging.commit()
    if draw is not None:
        try:
            draw(summaries[0], chart, title=Path(files[0]).name)
        except OSError as error:
            return _fail(f"--chart {args.chart}: {error.strerror or error}")
    if args.quiet:
        return 0
    if single:
        lines = file_report(summaries[0])
        if args.out:
            lines.append(f"  CSV files written to {args.out}")
        if chart is not None:
            lines.append(f"  chart written to {chart}")
    else:
        order = {name: index for index, name in enumerate(files)}
        lines = [summary_line(summary) for summary in sorted(summaries, key=lambda s: order[s.name])]
        lines.append(totals_line(summaries, wall))
    return _print(lines)


def _print(lines: list[str]) -> int:
    """The report on standard output; a reader that stops early (`| head`) ends it quietly."""
    try:
        print("\n".join(lines), flush=True)
    except BrokenPipeError:
        # Nothing more can be written, and the interpreter must not fail
        # flushing at exit either.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    return 0


def _summaries(jobs: list[Job], args: argparse.Namespace) -> Iterator[FileSummary]:
    if args.scheduler is not None:
        return parallel.dask(jobs, args.scheduler)
    return parallel.local(jobs, args.jobs or os.cpu_count() or 1)


def _collect(summaries: Iterator[FileSummary], count: int, *, quiet: bool) -> list[FileSummary]:
    """Gather the summaries, moving a progress bar over the files for long runs."""
    progress = Progress(count, "replaying", unit="files") if not quiet else None
    done: list[FileSummary] = []
    try:
        for summary in summaries:
            done.append(summary)
            if progress is not None:
                progress.update(len(done))
    finally:
        if progress is not None:
            progress.close()
    return done


def _fail(message: str) -> int:
    print(f"{PROG}: error: {message}", file=sys.stderr)
    return 2
