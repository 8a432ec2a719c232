"""The timed loops, one copy each, shared by every adapter (the floor keeps its own).

Each is the bare ``for`` loop over inputs prepared beforehand, calling a bound
method passed in (so a fast local inside the loop), between two reads of
``perf_counter_ns``; only the loop runs between the reads. Calls with several
arguments get the tuple unpacked by the ``for`` target, as a caller would
write them, never ``call(*row)``.
"""

from __future__ import annotations

import time

pc = time.perf_counter_ns


def time_each(call, items):
    """``call(x)`` for every x."""
    t0 = pc()
    for x in items:
        call(x)
    return pc() - t0


def time_each3(call, rows):
    """``call(a, b, c)`` for every row of three."""
    t0 = pc()
    for a, b, c in rows:
        call(a, b, c)
    return pc() - t0


def time_each4(call, rows):
    """``call(a, b, c, d)`` for every row of four."""
    t0 = pc()
    for a, b, c, d in rows:
        call(a, b, c, d)
    return pc() - t0


def time_repeat(call, n):
    """``call()``, n times."""
    r = range(n)
    t0 = pc()
    for _ in r:
        call()
    return pc() - t0


def time_diff(hi, lo, n):
    """``hi() - lo()``, n times: the spread of a book that has no spread call."""
    r = range(n)
    t0 = pc()
    for _ in r:
        hi() - lo()
    return pc() - t0
