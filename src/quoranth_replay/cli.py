"""The ``quoranth-replay`` command.

Exit status: 0 when done; 2 for bad usage or a bad input file (one line naming
the file, the line and what is wrong); 1 when the system fails the run (out of
memory, an output that cannot be written); 130 on Ctrl-C and 143 on SIGTERM.
Whatever stops a run, it leaves no output behind.
"""

from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import time
import warnings
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import Any

from . import parallel
from .lobster import MAX_LEVELS
from .output import Staging, move_all, output_names, output_stem, scratch_file
from .progress import Progress
from .report import file_report, summary_line, totals_line
from .run import BAD_INPUT, SYSTEM_FAILED, FileSummary, Job, replay_file
from .stops import Terminated, signals_stop_the_run, stop_if_asked

PROG = "quoranth-replay"
INTERRUPTED, TERMINATED = 130, 143  # 128 + the signal's number, as a shell reports a process it ended


class _Version(argparse.Action):
    """--version: the package's version, looked up only when asked for (the look-up is slow to import)."""

    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the version and exit")

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: object,
                 option_string: str | None = None) -> None:
        from importlib.metadata import version

        print(f"{PROG} {version('quoranth')}")
        parser.exit()


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
        help="price levels a side the files cover and --out writes, at most "
        f"{MAX_LEVELS} (default: the orderbook file's, else the file name's, else 1)",
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
    parser.add_argument("--version", action=_Version)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    closed = sys.stderr is None  # `2>&-`: argparse would print usage to standard output instead
    if closed:
        sys.stderr = open(os.devnull, "w")
    try:
        # A signal may also land as the handlers are put back, after the run.
        with signals_stop_the_run():
            return _main(argv)
    except KeyboardInterrupt:
        return INTERRUPTED  # Ctrl-C: the terminal shows it; nothing more to say
    except Terminated:
        return TERMINATED
    except MemoryError:
        return _fail("out of memory", SYSTEM_FAILED)
    finally:
        if closed:
            sys.stderr.close()
            sys.stderr = None


def command() -> None:
    """The console command: ``main``, then an exit that a late Ctrl-C or SIGTERM
    (while the interpreter and matplotlib tidy up) can no longer turn into a
    traceback or another status."""
    status = main()
    for number in (signal.SIGINT, signal.SIGTERM):
        signal.signal(number, signal.SIG_IGN)
    sys.exit(status)


def _main(argv: Sequence[str] | None) -> int:
    parser = _parser()
    arguments = list(sys.argv[1:] if argv is None else argv)
    # Intermixed: options may stand between the message files (FILE --orderbook O
    # FILE --orderbook O). After "--" everything is a file, which only the plain
    # parse keeps to.
    args = parser.parse_args(arguments) if "--" in arguments else parser.parse_intermixed_args(arguments)
    files: list[str] = args.messages
    orderbooks: list[str] = args.orderbook or []
    if orderbooks and len(orderbooks) != len(files):
        parser.error(f"give one --orderbook per message file ({len(files)}), or none; found {len(orderbooks)}")
    if args.levels is not None and args.levels < 1:
        parser.error("--levels must be at least 1")
    if args.levels is not None and args.levels > MAX_LEVELS:
        parser.error(f"--levels must be at most {MAX_LEVELS} (LOBSTER's files have a few hundred levels at most)")
    if args.jobs is not None and args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if args.jobs is not None and args.scheduler is not None:
        parser.error("--jobs and --scheduler exclude each other")
    if args.chart is not None and len(files) > 1:
        parser.error("--chart draws one replay: give one message file")
    for option, value, what in (("--out", args.out, "a folder"), ("--chart", args.chart, "a file")):
        if value == "":
            parser.error(f"{option} needs the name of {what}, not an empty one")

    if args.out is not None:
        # Each file writes NAME.fills.csv and NAME.book.csv: two files of one name
        # (in other folders, or packed and plain) would write over each other.
        stems = [output_stem(name) for name in files]
        clash = next((stem for stem in stems if stems.count(stem) > 1), None)
        if clash is not None:
            return _fail(f"--out {args.out}: two message files would both write {clash}.fills.csv and {clash}.book.csv")
        targets = [Path(args.out) / name for stem in stems for name in output_names(stem)]
        taken = next((target for target in targets if _is_dir(target)), None)
        if taken is not None:
            return _fail(f"--out {args.out}: {taken} is a directory")

    draw: Callable[..., None] | None = None
    chart: Path | None = None
    if args.chart is not None:
        try:
            with _quiet_matplotlib(args.quiet):  # what matplotlib says as it loads (a settings folder it cannot write)
                from .chart import chart_path, write_chart
        except ImportError as error:  # matplotlib missing
            return _fail(f"--chart needs matplotlib ({error}); install it with: pip install 'quoranth[plot]'")
        try:
            chart = chart_path(args.chart)
        except PermissionError as error:  # a folder that cannot be written: as for --out
            return _fail(f"--chart {args.chart}: {error}", SYSTEM_FAILED)
        except ValueError as error:
            return _fail(f"--chart {args.chart}: {error}")
        draw = write_chart

    # From here on, whatever stops the run removes what it wrote.
    staging: Staging | None = None
    drawn: Path | None = None
    committed = False
    try:
        try:
            staging = Staging(Path(args.out)) if args.out is not None else None
        except (FileExistsError, NotADirectoryError) as error:  # a file where a folder must be: bad usage
            return _fail(f"--out {args.out}: {error.strerror or error}")
        except OSError as error:  # a folder that cannot be written (permissions, a read-only or full disk)
            return _fail(f"--out {args.out}: {error.strerror or error}", SYSTEM_FAILED)
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
            return _fail(str(error), error.status)
        except OSError as error:  # a worker process that cannot be started (a process limit)
            return _fail(f"cannot start the worker processes: {error.strerror or error}", SYSTEM_FAILED)
        wall = time.perf_counter() - started

        order = {name: index for index, name in enumerate(files)}
        summaries.sort(key=lambda summary: order[summary.name])  # in the order given, however they finished
        failed = [summary for summary in summaries if summary.error is not None]
        if failed:
            for summary in failed:
                _fail(str(summary.error))
            return max(summary.exit_status for summary in failed)
        if draw is not None and chart is not None:
            try:
                drawn = scratch_file(chart)
                with _quiet_matplotlib(args.quiet):
                    draw(summaries[0], drawn, title=Path(files[0]).name)
            except OSError as error:
                return _fail(f"--chart {args.chart}: {error.strerror or error}", SYSTEM_FAILED)
            except (RuntimeError, ValueError, OverflowError) as error:
                # A format whose writer needs what is missing (LaTeX for .pgf), or
                # values matplotlib cannot lay out (times near the largest double).
                return _fail(f"--chart {args.chart}: matplotlib cannot draw it: {error}", SYSTEM_FAILED)
        stop_if_asked()  # the last point where a stopped run can still leave nothing
        try:
            move_all((staging.moves() if staging is not None else []) + ([(drawn, chart)] if drawn and chart else []))
        except OSError as error:
            return _fail(f"{error.filename or args.out}: cannot write it: {error.strerror or error}", SYSTEM_FAILED)
        committed = True
    finally:
        if drawn is not None and not committed:
            drawn.unlink(missing_ok=True)
        if staging is not None:
            staging.discard()  # emptied by a commit: then only the scratch folder goes

    if args.quiet:
        return 0
    if single:
        lines = file_report(summaries[0])
        if args.out:
            lines.append(f"  CSV files written to {args.out}")
        if chart is not None:
            lines.append(f"  chart written to {chart}")
    else:
        lines = [summary_line(summary) for summary in summaries]
        lines.append(totals_line(summaries, wall))
    return _print(lines)


def _print(lines: list[str]) -> int:
    """The report on standard output; a reader that stops early (`| head`) ends it quietly."""
    try:
        print("\n".join(lines), flush=True)
    except BrokenPipeError:
        _drop_stdout()
    except OSError as error:  # a full disk, /dev/full
        _drop_stdout()
        return _fail(f"cannot write the report to standard output: {error.strerror or error}", SYSTEM_FAILED)
    return 0


def _drop_stdout() -> None:
    """Send what is left of standard output nowhere: nothing more can be written, and
    the interpreter must not fail flushing it at exit either."""
    os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())


def _summaries(jobs: list[Job], args: argparse.Namespace) -> Generator[FileSummary]:
    if args.scheduler is not None:
        return parallel.dask(jobs, args.scheduler)
    return parallel.local(jobs, args.jobs or os.cpu_count() or 1)


def _collect(summaries: Generator[FileSummary], count: int, *, quiet: bool) -> list[FileSummary]:
    """Gather the summaries, moving a progress bar over the files for long runs. The
    summaries are closed before this returns or raises, stopping any workers."""
    progress = Progress(count, "replaying", unit="files") if not quiet else None
    done: list[FileSummary] = []
    try:
        for summary in summaries:
            stop_if_asked()
            done.append(summary)
            if progress is not None:
                progress.update(len(done))
    finally:
        summaries.close()
        if progress is not None:
            progress.close()
    return done


@contextmanager
def _quiet_matplotlib(quiet: bool) -> Iterator[None]:
    """With ``quiet``, matplotlib's own warnings and log lines (a format without
    transparency, say) are dropped: --quiet prints nothing but errors."""
    if not quiet:
        yield
        return
    log = logging.getLogger("matplotlib")
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            yield
    finally:
        log.setLevel(level)


def _is_dir(path: Path) -> bool:
    try:
        return path.is_dir()
    except OSError:  # a name too long, say: writing the file will say what is wrong
        return False


def _fail(message: str, status: int = BAD_INPUT) -> int:
    with suppress(OSError):  # a standard error that cannot be written either
        print(f"{PROG}: error: {message}", file=sys.stderr)
    return status
