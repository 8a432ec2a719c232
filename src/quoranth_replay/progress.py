"""A one-line progress bar on a terminal, shown only for runs that last more than a second."""

from __future__ import annotations

import sys
import threading
import time
from typing import TextIO

_WIDTH = 30
_INTERVAL = 0.1


class Progress:
    """Redraws ``label: stage [####....] 45% 25,000 of 57,515 messages`` in place.

    A background thread draws every tenth of a second, so that long single
    steps (reading a large file) show too, while the work only sets ``stage``
    and calls ``update``. Nothing is drawn unless ``stream`` is a terminal, nor
    before ``delay`` seconds have passed, so short runs and redirected output
    stay clean. ``close`` stops the thread and clears the line.
    """

    def __init__(
        self, total: int, label: str, *, unit: str = "messages", stream: TextIO | None = None, delay: float = 1.0
    ) -> None:
        self.total = total
        self.label = label
        self.unit = unit
        self.stage = ""
        self.done = 0
        self.stream = stream if stream is not None else sys.stderr
        # A closed standard error (`2>&-`) leaves sys.stderr None: nothing is drawn.
        self.enabled = self.stream is not None and self.stream.isatty()
        self._drawn = 0
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        if self.enabled:
            self._thread = threading.Thread(target=self._tick, args=(delay,), name="quoranth-replay progress", daemon=True)
            self._thread.start()

    def update(self, done: int, *, total: int | None = None, stage: str | None = None) -> None:
        if total is not None:
            self.total = total
        if stage is not None:
            self.stage = stage
        self.done = done

    def text(self) -> str:
        head = f"{self.label}: {self.stage}" if self.stage else self.label
        if self.total <= 0:
            return f"{head} ..."
        share = min(self.done / self.total, 1.0)
        filled = int(_WIDTH * share)
        return f"{head} [{'#' * filled}{'.' * (_WIDTH - filled)}] {share:4.0%} {self.done:,} of {self.total:,} {self.unit}"

    def draw(self) -> None:
        text = self.text()
        # Pad over what a longer earlier line left.
        self.stream.write("\r" + text.ljust(self._drawn))
        self.stream.flush()
        self._drawn = max(self._drawn, len(text))

    def close(self) -> None:
        """Stop drawing and clear the line, if one was drawn."""
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
            self._thread = None
        if self._drawn:
            self.stream.write("\r" + " " * self._drawn + "\r")
            self.stream.flush()
            self._drawn = 0

    def _tick(self, delay: float) -> None:
        if self._stop.wait(delay):
            return
        while not self._stop.is_set():
            self.draw()
            self._stop.wait(_INTERVAL)
