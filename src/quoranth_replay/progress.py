"""A one-line progress bar on a terminal, shown only for runs that last more than a second."""

from __future__ import annotations

import sys
import time
from typing import TextIO

_WIDTH = 30


class Progress:
    """Redraws ``label [####....] 45% 25,000 of 57,515 messages`` in place.

    Nothing is drawn unless ``stream`` is a terminal, nor before ``delay``
    seconds have passed, so short runs and redirected output stay clean.
    """

    def __init__(self, total: int, label: str, *, unit: str = "messages", stream: TextIO | None = None, delay: float = 1.0) -> None:
        self.total = max(total, 1)
        self.label = label
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = self.stream.isatty()
        self._start = time.monotonic()
        self._delay = delay
        self._next_draw = self._start + delay
        self._drawn = 0

    def update(self, done: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now < self._next_draw:
            return
        self._next_draw = now + 0.1
        share = min(done / self.total, 1.0)
        filled = int(_WIDTH * share)
        text = f"\r{self.label} [{'#' * filled}{'.' * (_WIDTH - filled)}] {share:4.0%} {done:,} of {self.total:,} {self.unit}"
        self._drawn = max(self._drawn, len(text))
        self.stream.write(text)
        self.stream.flush()

    def close(self) -> None:
        """Clear the bar, if one was drawn."""
        if self._drawn:
            self.stream.write("\r" + " " * self._drawn + "\r")
            self.stream.flush()
            self._drawn = 0
