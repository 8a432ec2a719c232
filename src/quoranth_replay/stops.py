"""How Ctrl-C and SIGTERM stop a run of the command.

While a run goes on, SIGTERM raises ``Terminated`` and Ctrl-C ``KeyboardInterrupt``
in the main thread, so that the run stops and removes what it wrote. A signal can
land while the interpreter runs a finaliser (an abandoned generator closing, a
``__del__``); what the handler raises there is reported as "Exception ignored"
and dropped, and the run would go on. So every stop is also recorded, and the
points of a run that check (``stop_if_asked``: between chunks of a replay,
between files, before the output is committed) raise it again.
"""

from __future__ import annotations

import signal
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any


class Terminated(BaseException):
    """SIGTERM, raised in the main thread so that the run stops and cleans up as on Ctrl-C."""


# The signals that have stopped the current run.
_stops: list[int] = []


def stop_if_asked() -> None:
    """Raise the stop a signal asked for, if one did and the run still goes on."""
    if _stops:
        raise Terminated if _stops[0] == signal.SIGTERM else KeyboardInterrupt


@contextmanager
def signals_stop_the_run() -> Iterator[None]:
    """SIGTERM and Ctrl-C stop the run while this lasts, in the main thread (only
    there can a handler be set; elsewhere they keep their defaults). The first one
    stops the run; any later one is ignored, so that it cannot cut the clean-up
    short."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def stop(signum: int, frame: FrameType | None) -> None:
        for number in (signal.SIGINT, signal.SIGTERM):
            signal.signal(number, signal.SIG_IGN)
        _stops.append(signum)
        stop_if_asked()

    # A stop raised inside a finaliser stays recorded instead of being reported.
    reported = sys.unraisablehook

    def unraisable(info: Any) -> None:
        if not (_stops and isinstance(info.exc_value, (Terminated, KeyboardInterrupt))):
            reported(info)

    # A signal the command was started with ignored (`trap '' INT`, a background
    # job of a script) stays ignored.
    wanted = [number for number in (signal.SIGINT, signal.SIGTERM) if signal.getsignal(number) is not signal.SIG_IGN]
    sys.unraisablehook = unraisable
    previous = {number: signal.signal(number, stop) for number in wanted}
    try:
        yield
    finally:
        for number, handler in previous.items():
            if handler is not None:
                signal.signal(number, handler)
        sys.unraisablehook = reported
        _stops.clear()
