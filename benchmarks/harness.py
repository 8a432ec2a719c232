"""Workload drivers: set up each case untimed, time it through an adapter.

A worker process holds several books (the first is the subject, quoranth;
the others are compared with it) and runs every case for all of them,
interleaved: pass 1 times each book in turn, pass 2 again in a rotated order,
and so on, each book's state made just before its own pass. Every timed pass
is wrapped in call-floor measurements (a one-argument C method call,
``dict.get``, in the same ``for`` loop shape; the best of two runs just before
the pass and of two just after, averaged), so each figure carries its ratio
to the floor taken under the same load. Per case and book the figures are the
median ns/op and the median per-pass ratio to the floor; against the subject,
the median over passes of subject / book within the same round, which no
difference between two processes' call floors can bias. The cyclic garbage
collector is off while a pass is timed (as ``timeit`` does), runs between
passes, and never walks the books a case keeps for all its passes (they are
frozen out of its reach).
"""

from __future__ import annotations

import gc
import random
import statistics
import time

import streams as st
from loops import clock_overhead, pc, private_loops, time_each

MID = st.MID


class Profile:
    """Sizes of one run. ``slow`` shrinks the per-pass counts for slow books."""

    def __init__(self, quick: bool = False, slow: bool = False):
        self.passes = 3 if quick else 7
        self.n = 20_000 if not slow else 2_000
        self.base = 10_000 if not quick else 5_000
        self.deep = 10_000
        self.deep_cancels = 200 if not slow else 40
        self.list_calls = 30 if not slow else 5
        self.repr_calls = 300 if not slow else 20
        self.flow_passes = 3 if quick else 5
        self.flow_segment = 40_000 if not slow else 3_000
        self.replay_passes = 3 if quick or slow else 5
        self.depths = (1_000, 10_000) if quick else (1_000, 10_000, 100_000, 1_000_000)
        # a slow book would spend minutes just pre-filling a million orders
        self.max_depth = 100_000 if slow else None
        if quick:
            self.n //= 4
            self.flow_segment //= 4


class Floor:
    """The reference call: ``d.get(k)`` over a list of keys, in the timed loops' shape."""

    def __init__(self, calls: int = 5_000):
        self.calls = calls
        self.keys = list(range(calls))
        self.d = dict.fromkeys(self.keys, 1)

    def time(self) -> int:
        """Nanoseconds of ``calls`` calls."""
        return self.time_keys(self.keys)

    def time_keys(self, keys) -> int:
        # Written out rather than through ``loops.time_each``: run around every
        # pass, the floor would flip the interpreter's inline cache at that
        # shared call site from the book's call to ``dict.get`` and back.
        get = self.d.get
        t0 = pc()
        for k in keys:
            get(k)
        return pc() - t0


class Deadline:
    def __init__(self, seconds: float | None):
        self.end = None if seconds is None else time.monotonic() + seconds

    def left(self) -> float:
        return float("inf") if self.end is None else self.end - time.monotonic()


def _band(rnd, n, width, key0=0, sides=(0, 1), qty=None):
    """n resting orders spread over ``width`` levels on each side of MID."""
    out = []
    for i in range(n):
        s = sides[i % len(sides)]
        off = 1 + rnd.randrange(width)
        p = MID - off if s == 0 else MID + off
        out.append((key0 + i, s, p, qty if qty is not None else 1 + rnd.randrange(100)))
    return out


class Skip(Exception):
    """A book does not run a case; the message says why."""


def _failed(e: Exception) -> str:
    return f"failed: {type(e).__name__}: {e}"[:200]


class Book:
    """One book under test in a worker: its adapter, sizes, time budget and figures."""

    def __init__(self, adapter, profile: Profile, deadline: Deadline | None = None):
        self.a = private_loops(adapter)
        self.p = profile
        self.deadline = deadline or Deadline(None)
        self.results: dict[str, dict] = {}
        self._inputs = None

    def inputs(self):
        """The single-operation cases' order rows, made once per book at its own sizes."""
        if self._inputs is None:
            self._inputs = _Inputs(self.p)
        return self._inputs


class _Inputs:
    def __init__(self, p: Profile):
        rnd = random.Random(11)
        n, base_n = p.n, p.base
        self.base = _band(rnd, base_n, 500)
        self.extra = _band(rnd, n, 500, key0=base_n)
        self.bids_only = _band(rnd, base_n, 500, sides=(0,))
        # sells of 10 on 200 levels, and buys of 10 priced through all of them
        self.sells = sorted(((base_n + i, 1, MID + 1 + (i % 200), 10) for i in range(n)),
                            key=lambda x: (x[2], x[0]))
        self.buys = [(base_n + n + i, 0, MID + 200, 10) for i in range(n)]
        # ten levels of one order each per sweeper
        m = max(1, n // 10)
        self.ladder = [(base_n + j, 1, MID + 1 + j, 1) for j in range(10 * m)]
        self.sweepers = [(base_n + 10 * m + k, 0, MID + 10 * k + 10, 10) for k in range(m)]
        # about ten resting orders per level, cancelled in random order
        self.resting = _band(rnd, n, max(1, n // 20))
        # one level of 10,000 orders at one price
        self.level = [(j, 1, MID + 1, 1) for j in range(p.deep + p.deep_cancels)]


class Pass:
    """One book's pass: ``run(items)`` times its operations (between two clock reads
    of its own) and returns the nanoseconds; ``n_ops`` is how many operations
    ``items`` holds; ``close()`` tidies up after."""

    def __init__(self, run, items, n_ops=None, close=None):
        self.run, self.items, self.close = run, items, close
        self.n_ops = len(items) if n_ops is None else n_ops


class Plan:
    """How one book runs one case: ``setup(i)`` makes pass i's Pass (untimed) and
    ``finish()`` ends the case."""

    def __init__(self, setup, finish=None, **extra):
        self.setup, self.finish, self.extra = setup, finish, extra


class Runner:
    def __init__(self, books: list[Book], floor: Floor, log=print, saved=None):
        self.books = books
        self.subject = books[0]
        self.floor = floor
        self.log = log
        self.saved = saved or (lambda: None)   # called after every case
        self.overhead = clock_overhead()
        self._subject_passes: dict[str, dict[int, float]] = {}

    # -- the interleaved pass loop -------------------------------------------
    def case(self, name, passes, plan_for, books=None):
        """Runs ``name`` for every book that has it: ``plan_for(book)`` returns the
        book's Plan or raises Skip."""
        plans = {}
        for b in books or self.books:
            if b.deadline.left() <= 0:
                self._skip(b, name, "time budget spent")
                continue
            try:
                plans[b] = plan_for(b)
            except Skip as e:
                self._skip(b, name, str(e))
            except Exception as e:  # a peer that breaks on a case is reported, not fatal
                self._skip(b, name, _failed(e))
        runs = {b: [] for b in plans}
        gc.collect()
        gc.freeze()   # the books kept for the case stay out of the collections between passes
        try:
            for i in range(passes):
                live = [b for b in plans if b.deadline.left() > 0 or not runs[b]]
                if not live:
                    break
                for b, figures in self._round(name, plans, live, i).items():
                    runs[b].append((i, *figures))
        finally:
            for plan in plans.values():
                if plan.finish:
                    plan.finish()
            gc.unfreeze()
        for b, plan in plans.items():
            if runs[b] and "skipped" not in b.results.get(name, {}):
                self._record(b, name, runs[b], plan)
        self.saved()

    def _round(self, name, plans, live, i):
        """Pass i of every book in ``live``, one after the other in an order rotated
        by i; each book's state is made just before its own pass, so that it is timed
        as warm as it would be alone. A book that fails leaves ``plans``.
        Returns {book: (ns per op, floor ns per call)}."""
        r = i % len(live)
        out = {}
        for b in live[r:] + live[:r]:
            try:
                out[b] = self._pass(plans[b].setup(i))
            except Exception as e:
                self._skip(b, name, _failed(e))
                del plans[b]
        return out

    def _pass(self, p):
        """Times one pass between runs of the call floor (the best of two just before
        and of two just after, averaged)."""
        gc.collect()
        gc.disable()
        try:
            before = min(self.floor.time(), self.floor.time())
            t = p.run(p.items) - self.overhead
            after = min(self.floor.time(), self.floor.time())
        finally:
            gc.enable()
        if p.close:
            p.close()
        return t / p.n_ops, ((before + after) / 2 - self.overhead) / self.floor.calls

    def _record(self, b, name, runs, plan):
        ns = [t for _, t, _ in runs]
        floors = [f for _, _, f in runs]
        out = {"ns": statistics.median(ns), "ratio": statistics.median(t / f for t, f in zip(ns, floors)),
               "floor": statistics.median(floors), "passes": len(ns),
               "spread": [min(ns), max(ns)], **plan.extra}
        mine = self._subject_passes.get(name)
        if b is not self.subject and mine:
            # subject / this book, pass by pass (the same round of the interleave)
            rounds = [mine[i] / t for i, t, _ in runs if i in mine]
            if rounds:
                out["subject_over"] = statistics.median(rounds)
        if b is self.subject:
            self._subject_passes[name] = {i: t for i, t, _ in runs}
        b.results[name] = out
        line = f"  {b.a.name:>20} {name:<16} {out['ns']:>12.1f} ns/op  {out['ratio']:>8.2f}x floor"
        if "subject_over" in out:
            line += f"  {self.subject.a.name}/this {out['subject_over']:.2f}"
        self.log(line)

    def _skip(self, b, name, why):
        b.results[name] = {"skipped": why}
        self.log(f"  {b.a.name:>20} {name:<16} skipped: {why}")

    # -- the whole suite -------------------------------------------------------
    def run_all(self, flow_paths: dict[int, str], replay_paths: list[str]):
        self.micro()
        self.flow_floor(flow_paths[min(flow_paths)])
        self.flows(flow_paths)
        self.replay(replay_paths)

    # -- single operations ---------------------------------------------------
    def micro(self):
        P = self.subject.p.passes

        def book_with(a, rows):
            b = a.new_book()
            return b, a.fill(b, a.prep(b, rows))

        # the floor itself, as each book's process measures it
        self.case("floor", P, lambda b: Plan(
            lambda i: Pass(lambda items: self.floor.time_keys(items), self.floor.keys)))

        # add of an order that rests without matching, at steady state: the
        # same orders were added and cancelled once, so the book's storage has
        # already grown to this size
        def add_rest(b):
            a, w = b.a, b.inputs()

            def setup(i):
                book, _ = book_with(a, w.base)
                orders = a.prep(book, w.extra)
                a.t_cancel(book, a.prep_cancel(book, a.fill(book, orders)))
                return Pass(lambda items: a.t_add(book, items), orders, close=lambda: a.close(book))
            return Plan(setup)
        self.case("add_rest", P, add_rest)

        # adds that match: takers priced through resting sells, on a book
        # that also holds the base book's bids
        def matching(timed_name, sells, takers):
            def plan(b):
                a, w = b.a, b.inputs()
                timed = getattr(a, timed_name)
                if not timed:
                    raise Skip("no matching")
                bids = [o for o in w.base if o[1] == 0]

                def setup(i):
                    book, _ = book_with(a, bids + getattr(w, sells))
                    return Pass(lambda items: timed(book, items), a.prep(book, getattr(w, takers)),
                                close=lambda: a.close(book))
                return Plan(setup)
            return plan
        self.case("add_fill1", P, matching("t_add_fill", "sells", "buys"))
        self.case("add_sweep10", P, matching("t_sweep", "ladder", "sweepers"))

        def cancel(b):
            a, w = b.a, b.inputs()

            def setup(i):
                book, handles = book_with(a, w.resting)
                order = list(range(len(handles)))
                random.Random(i).shuffle(order)
                return Pass(lambda items: a.t_cancel(book, items),
                            a.prep_cancel(book, [handles[j] for j in order]), close=lambda: a.close(book))
            return Plan(setup)
        self.case("cancel", P, cancel)

        # cancel deep in one level of 10,000 orders at one price: the last
        # orders queued there, newest first
        def cancel_deep(b):
            a, k = b.a, b.p.deep_cancels

            def setup(i):
                book, handles = book_with(a, b.inputs().level)
                return Pass(lambda items: a.t_cancel(book, items), a.prep_cancel(book, handles[::-1][:k]),
                            close=lambda: a.close(book))
            return Plan(setup)
        self.case("cancel_deep", max(3, P - 2), cancel_deep)

        # object creation
        def creation(timed_name, why):
            def plan(b):
                timed, rows = getattr(b.a, timed_name), b.inputs().extra
                if not timed:
                    raise Skip(why)
                return Plan(lambda i: Pass(timed, rows))
            return plan
        self.case("order_new", P, creation("t_order_new", "no order objects"))
        self.case("create_order", P, creation("t_create_order", "no such call"))

        # lookups and top of book on a 10,000-order book, one per book for all these cases
        based = {}

        def base_of(b):
            if b not in based:
                based[b] = book_with(b.a, b.inputs().base)
            return based[b]

        def random_ids(b, i):
            h = base_of(b)[1]
            r = random.Random(i)
            return [h[r.randrange(len(h))] for _ in range(b.p.n)]

        def dict_ids(b):
            if not isinstance(base_of(b)[1][0], str):
                raise Skip("no text ids")
            d = dict.fromkeys(base_of(b)[1])
            return Plan(lambda i: Pass(lambda items: time_each(d.get, items), random_ids(b, i)))
        self.case("dict_ids", P, dict_ids)

        def get_order(b):
            if not b.a.t_get:
                raise Skip("no lookup by id")
            book = base_of(b)[0]
            return Plan(lambda i: Pass(lambda items: b.a.t_get(book, items), random_ids(b, i)))
        self.case("get_order", P, get_order)

        for which in ("bid", "ask", "spread"):
            def top(b, w=which):
                book = base_of(b)[0]
                return Plan(lambda i: Pass(lambda items: b.a.t_best(book, len(items), w), range(b.p.n)))
            self.case("best_" + which if which != "spread" else "spread", P, top)

        def summary(b):
            if not b.a.t_repr:
                raise Skip("no summary text")
            book = base_of(b)[0]
            return Plan(lambda i: Pass(lambda items: b.a.t_repr(book, len(items)), range(b.p.repr_calls)))
        self.case("repr", P, summary)
        for b, (book, _) in based.items():
            b.a.close(book)
        based.clear()

        def listing(b):
            if not b.a.t_list:
                raise Skip("no order listing")
            book, _ = book_with(b.a, b.inputs().bids_only)
            return Plan(lambda i: Pass(lambda items: b.a.t_list(book, len(items)), range(b.p.list_calls)),
                        finish=lambda: b.a.close(book), orders=len(b.inputs().bids_only))
        self.case("buy_orders", P, listing)

    # -- mixed flow at several depths ----------------------------------------
    def flow_floor(self, stream_path: str):
        """The flow's own loop and dispatch with ``d.get`` in place of every book call."""
        p = self.subject.p
        stream = st.Stream.load(stream_path)
        d = dict.fromkeys(range(1000), 1)
        ops = [(op[0], i % 1000) for i, op in enumerate(stream.ops)]
        seg = min(p.flow_segment, len(ops) // p.flow_passes)

        def timed(items):
            get = d.get
            t0 = pc()
            for code, arg in items:
                if code == 0:
                    get(arg)
                elif code == 1:
                    get(arg)
                elif code == 2:
                    get(arg)
                elif code == 3:
                    get(arg)
                else:
                    get(arg)
            return pc() - t0
        self.case("flow_floor", p.flow_passes,
                  lambda b: Plan(lambda i: Pass(timed, ops[i * seg:(i + 1) * seg])), books=[self.subject])

    def flows(self, stream_paths: dict[int, str]):
        for depth in self.subject.p.depths:
            if depth not in stream_paths:
                continue
            stream = st.Stream.load(stream_paths[depth])
            self.case(f"flow_{depth}", self.subject.p.flow_passes,
                      lambda b, d=depth, s=stream: self._flow_plan(b, d, s))
            del stream
            gc.collect()

    def _flow_plan(self, b, depth, stream):
        a, p = b.a, b.p
        if p.max_depth and depth > p.max_depth:
            raise Skip(f"pre-fill of {depth:,} orders left out for this slow book")
        hint = b.results.get("add_rest", {}).get("ns")
        if hint and b is not self.subject:
            # prefill + preparation, with a generous margin for larger books
            projected = depth * hint * 3e-9
            if projected > b.deadline.left():
                raise Skip(f"pre-fill of {depth:,} orders projected at ~{projected:.0f} s")
        gc.disable()
        try:
            book = a.new_book()
            pre, ops = a.flow_prep(book, stream)
            chunk = 20_000
            t0 = time.monotonic()
            for i in range(0, len(pre), chunk):
                a.flow_fill(book, pre[i:i + chunk])
                done = i + chunk
                if done < len(pre):
                    rate = (time.monotonic() - t0) / done
                    if rate * (len(pre) - done) > b.deadline.left():
                        a.close(book)
                        raise Skip(f"pre-fill too slow: {done:,} of {len(pre):,} orders "
                                   f"in {time.monotonic() - t0:.0f} s")
            del pre
        finally:
            gc.enable()
        seg = min(p.flow_segment, len(ops) // p.flow_passes)
        return Plan(lambda i: Pass(lambda items: a.t_flow(book, items), ops[i * seg:(i + 1) * seg]),
                    finish=lambda: a.close(book))

    # -- replay of recorded order flow ---------------------------------------
    def replay(self, replay_paths: list[str]):
        loaded = [st.Stream.load(path) for path in replay_paths]
        total_ops = sum(len(s.ops) for s in loaded)
        if not total_ops:
            for b in self.books:
                self._skip(b, "replay", "no data")
            return
        def plan(b):
            a = b.a

            def setup(i):
                days = []   # every day on a fresh book
                for s in loaded:
                    book = a.new_book()
                    days.append((book, a.flow_prep(book, s)[1]))

                def close():
                    for book, _ in days:
                        a.close(book)
                return Pass(lambda runs: sum(a.t_flow(bk, ops) for bk, ops in runs), days,
                            n_ops=total_ops, close=close)
            return Plan(setup, messages=total_ops)
        self.case("replay", self.subject.p.replay_passes, plan)


# ---------------------------------------------------------------------------
# Memory: resident bytes per resting order, measured in a fresh process.

def rss_bytes() -> int:
    import os
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def drive_resting(add, n: int) -> None:
    """``add(side, price_in_ticks, quantity)`` for n orders that all rest, spread
    over as many levels as the mixed flow at that depth (about ten per level)."""
    width = st.levels_per_side(n)
    x = 12345
    for i in range(n):
        x = (x * 1103515245 + 12345) & 0x7FFFFFFF
        s = i & 1
        off = 1 + x % width
        add(s, MID - off if s == 0 else MID + off, 1 + (x >> 8) % 100)


def resting_book(adapter, n: int):
    """A new book of the adapter's holding n resting orders (``drive_resting``)."""
    book = adapter.new_book()
    drive_resting(adapter.mem_adder(book), n)
    return book


def memory_probe(adapter, n: int) -> dict:
    """RSS growth per resting order, less what the driving loop itself leaves.

    The loop keeps nothing: each order is created, added and dropped, so the
    only growth is the book's. The same loop without a book (orders created
    and dropped) is measured first and subtracted.
    """
    gc.collect()
    r0 = rss_bytes()
    drive_resting(adapter.mem_adder(None), n)
    gc.collect()
    r1 = rss_bytes()
    book = adapter.new_book()
    gc.collect()
    r2 = rss_bytes()
    drive_resting(adapter.mem_adder(book), n)
    gc.collect()
    r3 = rss_bytes()
    baseline = max(0, r1 - r0)
    per = (r3 - r2 - baseline) / n
    adapter.close(book)
    return {"orders": n, "bytes_per_order": per, "baseline_bytes": baseline,
            "rss_after": r3, "levels_per_side": st.levels_per_side(n)}
