"""Replaying many files at once: local worker processes, or a Dask distributed cluster."""

from __future__ import annotations

from collections.abc import Callable, Generator, Sequence

from .run import SYSTEM_FAILED, FileSummary, Job, replay_file


class ClusterUnavailable(Exception):
    """Dask is not installed, or its scheduler cannot be reached."""


def local(jobs: Sequence[Job], workers: int) -> Generator[FileSummary]:
    """Summaries as the files finish, replayed by up to ``workers`` processes.

    Closing the iterator before the end (an interrupt, an error) stops the workers
    at once, so that nothing writes into the output after the caller discards it.
    """
    if workers <= 1 or len(jobs) == 1:
        yield from map(replay_file, jobs)
        return
    # Imported here: a single file needs none of them, and they take a while to import.
    import multiprocessing
    import signal
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    # Fresh interpreters rather than forks: nothing of this process's state is shared.
    # They start with Ctrl-C blocked: the terminal sends it to every process of the
    # command, and only this one answers it, by stopping them.
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT})
    try:
        pool = ProcessPoolExecutor(max_workers=min(workers, len(jobs)), mp_context=multiprocessing.get_context("spawn"))
        futures = [pool.submit(replay_file, job) for job in jobs]
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    named = dict(zip(futures, jobs))
    finished = False
    try:
        for future in as_completed(futures):
            try:
                summary = future.result()
            except BrokenProcessPool:  # a worker killed (by the kernel, short of memory?)
                name = named[future].messages
                summary = FileSummary(name, error=f"{name}: its worker process ended before it was done (out of memory?)",
                                      exit_status=SYSTEM_FAILED)
            yield summary
        finished = True
    finally:
        if not finished:
            _stop_workers(pool)
        pool.shutdown(wait=True, cancel_futures=True)


def _stop_workers(pool: object) -> None:
    """End the pool's worker processes now, whatever they are doing."""
    processes = getattr(pool, "_processes", None) or {}  # not public before Python 3.14's terminate_workers
    for process in list(processes.values()):
        process.terminate()
    for process in list(processes.values()):
        process.join()


def dask(jobs: Sequence[Job], scheduler: str, *, timeout: float = 10.0) -> Generator[FileSummary]:
    """Summaries as the files finish, replayed on the workers of the Dask scheduler at ``scheduler``.

    The workers read and write the paths given, so they must see the same files.
    """
    try:
        from distributed import Client, as_completed as completed
    except ImportError as error:
        raise ClusterUnavailable(f"--scheduler needs Dask ({error}); install it with: pip install 'quoranth[dask]'") from None
    try:
        client = Client(scheduler, timeout=timeout)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as error:  # ValueError: not an address at all
        raise ClusterUnavailable(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
    with client:
        # A scheduler without workers would take the files and never answer.
        try:
            client.wait_for_workers(1, timeout=timeout)
        except TimeoutError:
            raise ClusterUnavailable(f"the Dask scheduler at {scheduler} has no workers (waited {timeout:g} s)") from None
        run: Callable[[Job], FileSummary] = replay_file
        futures = client.map(run, jobs, pure=False)
        finished = False
        try:
            for future in completed(futures):  # type: ignore[no-untyped-call]
                yield future.result()
            finished = True
        finally:
            if not finished:
                client.cancel(futures)  # type: ignore[no-untyped-call]
