"""Replaying many files at once: local worker processes, or a Dask distributed cluster."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence

from .run import FileSummary, Job, replay_file


class ClusterUnavailable(Exception):
    """Dask is not installed, or its scheduler cannot be reached."""


def local(jobs: Sequence[Job], workers: int) -> Iterator[FileSummary]:
    """Summaries as the files finish, replayed by up to ``workers`` processes."""
    if workers <= 1 or len(jobs) == 1:
        yield from map(replay_file, jobs)
        return
    # Imported here: a single file needs neither, and they take a while to import.
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed

    # Fresh interpreters rather than forks: nothing of this process's state is shared.
    context = multiprocessing.get_context("spawn")
    with ProcessPoolExecutor(max_workers=min(workers, len(jobs)), mp_context=context) as pool:
        for future in as_completed([pool.submit(replay_file, job) for job in jobs]):
            yield future.result()


def dask(jobs: Sequence[Job], scheduler: str, *, timeout: float = 10.0) -> Iterator[FileSummary]:
    """Summaries as the files finish, replayed on the workers of the Dask scheduler at ``scheduler``.

    The workers read and write the paths given, so they must see the same files.
    """
    try:
        from distributed import Client, as_completed as completed
    except ImportError as error:
        raise ClusterUnavailable(f"--scheduler needs Dask ({error}); install it with: pip install quoranth[dask]") from None
    try:
        client = Client(scheduler, timeout=timeout)  # type: ignore[no-untyped-call]
    except (OSError, TimeoutError, ValueError) as error:  # ValueError: not an address at all
        raise ClusterUnavailable(f"cannot reach the Dask scheduler at {scheduler}: {error}") from None
    with client:
        run: Callable[[Job], FileSummary] = replay_file
        futures = client.map(run, jobs, pure=False)
        for future in completed(futures):  # type: ignore[no-untyped-call]
            yield future.result()
