"""The timed loops, written once and shared by every adapter (the floor keeps its own).

Each is the bare ``for`` loop over inputs prepared beforehand, calling a bound
method passed in (so a fast local inside the loop), between two reads of the
clock; only the loop runs between the reads. Calls with several arguments get
the tuple unpacked by the ``for`` target, as a caller would write them, never
``call(*row)``.

The clock is the thread's CPU time: on a shared machine a timed loop that
the scheduler interrupts would otherwise count the other process's time as
the book's. Its own cost (a system call) is measured by ``clock_overhead``
and taken off every timed pass by the harness.
"""

from __future__ import annotations

import statistics
import sys
import time
import types

pc = time.thread_time_ns


def clock_overhead(samples: int = 2_000) -> int:
    """The nanoseconds that two clock reads add to the interval between them."""
    runs = []
    for _ in range(samples):
        t0 = pc()
        runs.append(pc() - t0)
    return int(statistics.median(runs))


def _copy(fn, globals_):
    return types.FunctionType(fn.__code__.replace(), globals_, fn.__name__, fn.__defaults__, fn.__closure__)


def private_loops(adapter):
    """Gives ``adapter`` its own copies of its timed methods (``t_*``) and of the
    loops here that they call, and returns it.

    The interpreter specializes each call site for the callable it sees there.
    With two books taking turns in one process, one shared loop would switch
    its call sites between the two books' methods at every pass and start each
    pass unspecialized; private code objects keep each book's loops specialized
    for its own calls.
    """
    mine = dict(vars(sys.modules[__name__]))
    for name in ("time_each", "time_each3", "time_each4", "time_repeat", "time_diff"):
        mine[name] = _copy(mine[name], mine)
    for name in dir(type(adapter)):
        fn = getattr(type(adapter), name)
        if name.startswith("t_") and isinstance(fn, types.FunctionType):
            scope = dict(fn.__globals__)
            scope.update((k, mine[k]) for k in ("time_each", "time_each3", "time_each4",
                                                "time_repeat", "time_diff") if k in scope)
            setattr(adapter, name, types.MethodType(_copy(fn, scope), adapter))
    return adapter


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
