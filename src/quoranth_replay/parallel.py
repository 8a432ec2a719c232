"""Replaying many files at once: local worker processes, or a Dask distributed cluster."""

from __future__ import annotations

import logging
import os
import stat
import threading
import time
from collections.abc import Callable, Generator, Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from .run import BAD_INPUT, SYSTEM_FAILED, FileSummary, Job, replay_file


class ClusterUnavailable(Exception):
    """Dask is not installed, its scheduler cannot be reached, or it lost its workers.

    ``status`` is the command's exit status: ``BAD_INPUT`` for what stops a run
    before it starts, ``SYSTEM_FAILED`` for a cluster lost part-way."""

    def __init__(self, message: str, status: int = BAD_INPUT) -> None:
        super().__init__(message)
        self.status = status


def local(jobs: Sequence[Job], workers: int) -> Generator[FileSummary]:
    """Summaries as the files finish, replayed by up to ``workers`` processes.

    Closing the iterator before the end (an interrupt, an error) stops the workers
    at once, so that nothing writes into the output after the caller discards it.
    A worker that dies (the kernel ending it, short of memory) fails only the
    file it was replaying; the files it had not started are replayed all the same.
    Inputs that are not plain files (pipes such as ``<(zcat ...)``) are readable
    only by this process, which replays them itself.
    """
    here, pooled = _split_by_reader(jobs)
    if workers <= 1 or len(pooled) <= 1:
        yield from map(replay_file, [*here, *pooled])
        return
    # Imported here: a single file needs none of them, and they take a while to import.
    import multiprocessing
    import signal
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool
    from multiprocessing import resource_tracker

    context = multiprocessing.get_context("spawn")
    # Started now, with Ctrl-C as it is: starting it later unblocks Ctrl-C for
    # the workers spawned after it.
    resource_tracker.ensure_running()
    started = context.RawArray("b", len(pooled))  # set by a worker as it takes a file

    pending = list(range(len(pooled)))
    alone: list[int] = []  # files that were being replayed when a worker died: each tried in a pool of its own
    pool = None
    finished = False
    try:
        while pending or alone:
            lone = not pending
            indexes = [alone.pop(0)] if lone else pending
            pending = []
            futures: dict[Any, int] = {}
            # Fresh interpreters rather than forks: nothing of this process's state is shared.
            # They start with Ctrl-C blocked and then ignore it: the terminal sends it to
            # every process of the command, and only this one answers it, by stopping them.
            # The pool is held where the clean-up below finds it before anything that a
            # signal (raised as the mask is restored, or any time for SIGTERM) can cut short.
            blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
            try:
                pool = ProcessPoolExecutor(max_workers=1 if lone else min(workers, len(indexes)), mp_context=context,
                                           initializer=_start_worker, initargs=(os.getpid(), started))
                for index in indexes:
                    futures[pool.submit(_replay_tracked, index, pooled[index])] = index
            finally:
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            if here:  # this process's own files, while the workers replay the others
                yield from map(replay_file, here)
                here = []
            broken: list[int] = []
            for future in as_completed(futures):
                index = futures[future]
                try:
                    yield future.result()
                except BrokenProcessPool:  # a worker killed (by the kernel, short of memory?)
                    broken.append(index)
            pool.shutdown(wait=True)
            pool = None
            running = sorted(index for index in broken if started[index])
            if lone or not running:  # alone, or workers that die before taking any file: no retry
                for index in broken:
                    name = pooled[index].messages
                    yield FileSummary(name, error=f"{name}: its worker process ended before it was done (out of memory?)",
                                      exit_status=SYSTEM_FAILED)
                continue
            alone += running
            pending = sorted(index for index in broken if not started[index])
        finished = True
    finally:
        if pool is not None:
            if not finished:
                _stop_workers(pool)
            pool.shutdown(wait=True, cancel_futures=True)


def _split_by_reader(jobs: Sequence[Job]) -> tuple[list[Job], list[Job]]:
    """(the jobs only this process can read, the others)."""
    here: list[Job] = []
    anywhere: list[Job] = []
    for job in jobs:
        (anywhere if all(map(_readable_anywhere, (job.messages, job.orderbook))) else here).append(job)
    return here, anywhere


def _readable_anywhere(path: str | None) -> bool:
    """A plain file (or none, or one that is missing: its reader reports that) reads the
    same from any process; a pipe or a descriptor of this process's (``/dev/fd/3``,
    even one open on a plain file) does not."""
    if path is None:
        return True
    if os.path.abspath(path).startswith(("/dev/", "/proc/")):
        return False
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return True


_started: Any = None


def _start_worker(parent: int, started: Any) -> None:
    """A worker's set-up: Ctrl-C is the command's to answer, and a worker whose
    command is gone (killed outright) ends instead of waiting for work for ever,
    holding the command's standard output open."""
    import signal

    global _started
    _started = started
    signal.signal(signal.SIGINT, signal.SIG_IGN)

    def watch() -> None:
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=watch, name="quoranth-replay parent watch", daemon=True).start()


def _replay_tracked(index: int, job: Job) -> FileSummary:
    _started[index] = 1
    return replay_file(job)


def _stop_workers(pool: object) -> None:
    """End the pool's worker processes now, whatever they are doing."""
    processes = getattr(pool, "_processes", None) or {}  # not public before Python 3.14's terminate_workers
    for process in list(processes.values()):
        process.terminate()
    for process in list(processes.values()):
        process.join()


def dask(jobs: Sequence[Job], scheduler: str, *, timeout: float = 10.0) -> Generator[FileSummary]:
    """Summaries as the files finish, replayed on the workers of the Dask scheduler at ``scheduler``.

    The workers read and write the paths given (made absolute here), so they must
    see the same files; inputs that are not plain files (pipes) are replayed by
    this process. A scheduler that cannot be reached, or that is left without
    workers for ``timeout`` seconds, raises ``ClusterUnavailable``.
    """
    try:
        from distributed import Client
        from distributed import wait as wait_for
    except ImportError as error:
        raise ClusterUnavailable(f"--scheduler needs Dask ({error}); install it with: pip install 'quoranth[dask]'") from None
    here, remote = _split_by_reader(jobs)
    client = _connect(Client, scheduler, timeout)
    # The client logs its own tracebacks when the scheduler goes away; the run
    # reports that once, as ClusterUnavailable.
    with _silenced("distributed.client"), client:
        # A scheduler without workers would take the files and never answer. Each
        # question has a timeout of its own: a scheduler that stops answering
        # (lost, or frozen) would hold Dask's own wait for workers for ever.
        deadline = time.monotonic() + timeout
        while not _has_workers(client, scheduler, timeout):
            if time.monotonic() > deadline:
                raise ClusterUnavailable(f"the Dask scheduler at {scheduler} has no workers (waited {timeout:g} s)")
            time.sleep(0.1)
        run: Callable[[Job], FileSummary] = replay_file
        futures = client.map(run, [_absolute(job) for job in remote], pure=False)
        names = {future.key: job.messages for future, job in zip(futures, remote)}
        finished = False
        try:
            yield from map(replay_file, here)
            waiting, idle_since = set(futures), None
            while waiting:
                try:
                    done, waiting = wait_for(waiting, timeout=1.0, return_when="FIRST_COMPLETED")  # type: ignore[no-untyped-call]
                except TimeoutError:
                    done = set()
                except Exception as error:
                    if _connection_lost(error):
                        raise ClusterUnavailable(f"lost the connection to the Dask scheduler at {scheduler}",
                                                 SYSTEM_FAILED) from None
                    raise
                for future in done:
                    yield _dask_result(future, names[future.key], scheduler)
                if done:
                    idle_since = None
                elif _has_workers(client, scheduler, timeout):
                    idle_since = None
                elif idle_since is None:
                    idle_since = time.monotonic()
                elif time.monotonic() - idle_since > timeout:
                    raise ClusterUnavailable(f"the Dask scheduler at {scheduler} lost its workers "
                                             f"(none for {timeout:g} s; do they have quoranth installed?)", SYSTEM_FAILED)
            finished = True
        finally:
            if not finished:
                try:
                    client.cancel(futures)
                except Exception:  # the connection is gone: nothing left to cancel
                    pass


@contextmanager
def _silenced(name: str) -> Iterator[None]:
    """The log ``name`` says nothing short of CRITICAL for the duration."""
    log = logging.getLogger(name)
    level = log.level
    log.setLevel(logging.CRITICAL)
    try:
        yield
    finally:
        log.setLevel(level)


def _connect(client_class: Any, scheduler: str, timeout: float) -> Any:
    """A Dask client of ``scheduler``. The connection is made in a thread of its own:
    a server that accepts it but does not answer as a scheduler (the dashboard's
    port, next to the scheduler's) would hold the caller for ever."""
    made: dict[str, Any] = {}

    def connect() -> None:
        try:
            made["client"] = client_class(scheduler, timeout=timeout)
        except BaseException as error:  # handed to the caller
            made["error"] = error

    thread = threading.Thread(target=connect, name="quoranth-replay dask connect", daemon=True)
    thread.start()
    thread.join(timeout * 1.5 + 1.0)  # past the client's own timeout, which reports an address without a server
    if thread.is_alive():
        raise ClusterUnavailable(f"the Dask scheduler at {scheduler} does not answer as one (waited {timeout:g} s; "
                                 "is that the dashboard's address?)")
    error = made.get("error")
    if isinstance(error, (OSError, TimeoutError, ValueError)):  # ValueError: not an address at all
        raise ClusterUnavailable(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
    if error is not None:
        raise error
    return made["client"]


def _absolute(job: Job) -> Job:
    """The job with its paths made absolute: a worker's working folder is its own."""
    return job._replace(
        messages=os.path.abspath(job.messages),
        orderbook=os.path.abspath(job.orderbook) if job.orderbook is not None else None,
        out=os.path.abspath(job.out) if job.out is not None else None,
    )


def _has_workers(client: Any, scheduler: str, timeout: float) -> bool:
    try:
        return bool(client.nthreads(callback_timeout=timeout))
    except Exception:  # the scheduler is gone, or frozen (no answer within the timeout)
        raise ClusterUnavailable(f"lost the connection to the Dask scheduler at {scheduler}", SYSTEM_FAILED) from None


def _dask_result(future: Any, name: str, scheduler: str) -> FileSummary:
    """The file's summary, under the name the caller gave; Dask's own failures as
    a summary naming the file (a worker that kept dying) or ``ClusterUnavailable``."""
    try:
        summary: FileSummary = future.result()
    except Exception as error:
        kind = type(error).__name__
        if kind == "KilledWorker":
            return FileSummary(name, error=f"{name}: the Dask workers replaying it kept dying (out of memory?)",
                               exit_status=SYSTEM_FAILED)
        if _connection_lost(error):
            raise ClusterUnavailable(f"lost the connection to the Dask scheduler at {scheduler}", SYSTEM_FAILED) from None
        # The cluster's own refusals of the task (a scheduler or worker that cannot
        # read it, without quoranth installed, say) in one line; an error raised
        # by the replay itself goes on as it would in this process.
        if not (type(error).__module__.startswith("distributed") or isinstance(error, RuntimeError)):
            raise
        said = str(error).strip().splitlines()
        return FileSummary(name, error=f"{name}: the Dask cluster could not replay it: {kind}: {said[0] if said else ''}",
                           exit_status=SYSTEM_FAILED)
    return summary._replace(name=name)


def _connection_lost(error: BaseException) -> bool:
    """Whether a Dask error says the scheduler went away (its futures were cancelled with it)."""
    kinds = ("FutureCancelledError", "FuturesCancelledError", "CancelledError", "CommClosedError")
    return type(error).__name__ in kinds or isinstance(error, OSError)
