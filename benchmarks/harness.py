"""Workload drivers: set up each case untimed, time it through an adapter.

Every case runs several passes; each pass measures the call floor (a
one-argument C method call, ``dict.get``, in the same ``for`` loop shape;
the best of two runs just before the case and of two just after, averaged)
around the case itself, so that every case carries its own ratio to
the floor taken under the same machine load. The reported figures are the
median ns/op and the median per-pass ratio. The cyclic garbage collector is
off while a loop is timed (as ``timeit`` does) and runs between passes.
"""

from __future__ import annotations

import gc
import random
import statistics
import time

import streams as st
from loops import pc, time_each

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
    """The reference call: ``d.get(k)`` over a list of keys, same loop shape."""

    def __init__(self, n: int):
        self.keys = list(range(n))
        self.d = dict.fromkeys(self.keys, 1)

    def once(self) -> float:
        # Written out rather than through ``loops.time_each``: taken before and
        # after every pass, the floor would flip the interpreter's inline cache
        # at that shared call site from the book's call to ``dict.get`` and back
        # each time, which slows the first calls of a short case's loop (some
        # 6% on 200 calls).
        get = self.d.get
        keys = self.keys
        t0 = pc()
        for k in keys:
            get(k)
        return (pc() - t0) / len(keys)


class Deadline:
    def __init__(self, seconds: float | None):
        self.end = None if seconds is None else time.monotonic() + seconds

    def left(self) -> float:
        return float("inf") if self.end is None else self.end - time.monotonic()


def _summary(ns, ratios, floors, n, **extra):
    out = {"ns": statistics.median(ns), "ratio": statistics.median(ratios),
           "floor": statistics.median(floors), "n": n, "passes": len(ns),
           "spread": [min(ns), max(ns)]}
    out.update(extra)
    return out


def _band(rnd, n, width, key0=0, sides=(0, 1), qty=None):
    """n resting orders spread over ``width`` levels on each side of MID."""
    out = []
    for i in range(n):
        s = sides[i % len(sides)]
        off = 1 + rnd.randrange(width)
        p = MID - off if s == 0 else MID + off
        out.append((key0 + i, s, p, qty if qty is not None else 1 + rnd.randrange(100)))
    return out


class Runner:
    def __init__(self, adapter, profile: Profile, floor: Floor, log=print, deadline=None, saved=None):
        self.a = adapter
        self.p = profile
        self.floor = floor
        self.log = log
        self.deadline = deadline or Deadline(None)
        self.saved = saved or (lambda results: None)   # called after every case
        self.results: dict[str, dict] = {}

    # -- generic pass loop --------------------------------------------------
    def _passes(self, name, passes, setup, timed, n_ops, teardown=None, **extra):
        ns, ratios, floors = [], [], []
        for i in range(passes):
            if self.deadline.left() <= 0 and ns:
                break
            state = setup(i)
            gc.collect()
            gc.disable()
            try:
                before = min(self.floor.once(), self.floor.once())
                t = timed(state) / n_ops
                f = (before + min(self.floor.once(), self.floor.once())) / 2
            finally:
                gc.enable()
            if teardown:
                teardown(state)
            ns.append(t)
            ratios.append(t / f)
            floors.append(f)
        self.results[name] = _summary(ns, ratios, floors, n_ops, **extra)
        self.saved(self.results)
        r = self.results[name]
        self.log(f"  {self.a.name:>20} {name:<16} {r['ns']:>12.1f} ns/op  {r['ratio']:>8.2f}x floor")

    def _case(self, name, passes, setup, timed, n_ops, teardown=None, **extra):
        self._run(name, lambda: self._passes(name, passes, setup, timed, n_ops, teardown, **extra))

    def _skip(self, name, why):
        self.results[name] = {"skipped": why}
        self.saved(self.results)
        self.log(f"  {self.a.name:>20} {name:<16} skipped: {why}")

    def _run(self, name, fn):
        if self.deadline.left() <= 0:
            return self._skip(name, "time budget spent")
        try:
            fn()
        except Exception as e:  # a peer that breaks on a case is reported, not fatal
            self._skip(name, f"failed: {type(e).__name__}: {e}"[:200])

    # -- micro cases --------------------------------------------------------
    def micro(self):
        a, p = self.a, self.p
        n, base_n = p.n, p.base
        rnd = random.Random(11)
        base = _band(rnd, base_n, 500)
        extra = _band(rnd, n, 500, key0=base_n)
        bids_only = _band(rnd, base_n, 500, sides=(0,))

        self._passes("floor", p.passes, lambda i: None, lambda s: self.floor.once() * n, n)

        def book_with(rows):
            b = a.new_book()
            handles = a.fill(b, a.prep(b, rows))
            return b, handles

        def close(state):
            a.close(state[0])

        # add of an order that rests without matching, at steady state: the
        # same orders were added and cancelled once, so the book's storage has
        # already grown to this size
        def s_add(i):
            b, _ = book_with(base)
            orders = a.prep(b, extra)
            a.t_cancel(b, a.prep_cancel(b, a.fill(b, orders)))
            return b, orders
        self._case("add_rest", p.passes, s_add, lambda s: a.t_add(s[0], s[1]), n, close)

        # adds that match: takers priced through resting sells, on a book
        # that also holds the base book's bids
        bids_base = [o for o in base if o[1] == 0]

        def matching(name, timed, sells, takers):
            if not timed:
                return self._skip(name, "no matching")

            def setup(i):
                b, _ = book_with(bids_base + sells)
                return b, a.prep(b, takers)
            self._case(name, p.passes, setup, lambda s: timed(s[0], s[1]), len(takers), close)

        # add that takes exactly one resting order: sells of 10 on 200 levels,
        # buys of 10 priced through all of them
        sells = [(base_n + i, 1, MID + 1 + (i % 200), 10) for i in range(n)]
        sells.sort(key=lambda x: (x[2], x[0]))
        buys = [(base_n + n + i, 0, MID + 200, 10) for i in range(n)]
        matching("add_fill1", a.t_add_fill, sells, buys)

        # add that sweeps ten levels of one order each
        m = max(1, n // 10)
        ladder = [(base_n + j, 1, MID + 1 + j, 1) for j in range(10 * m)]
        sweepers = [(base_n + 10 * m + k, 0, MID + 10 * k + 10, 10) for k in range(m)]
        matching("add_sweep10", a.t_sweep, ladder, sweepers)

        # cancel of resting orders (about ten per level), in random order
        resting = _band(rnd, n, max(1, n // 20))

        def s_cancel(i):
            b, handles = book_with(resting)
            order = list(range(len(handles)))
            random.Random(i).shuffle(order)
            return b, a.prep_cancel(b, [handles[j] for j in order])
        self._case("cancel", p.passes, s_cancel, lambda s: a.t_cancel(s[0], s[1]), n, close)

        # cancel deep in one level of 10,000 orders at one price: the last
        # orders queued there, newest first
        k = p.deep_cancels
        level = [(j, 1, MID + 1, 1) for j in range(p.deep + k)]

        def s_deep(i):
            b, handles = book_with(level)
            return b, a.prep_cancel(b, handles[::-1][:k])
        self._case("cancel_deep", max(3, p.passes - 2), s_deep, lambda s: a.t_cancel(s[0], s[1]), k, close)

        # object creation
        if a.t_order_new:
            self._case("order_new", p.passes, lambda i: None, lambda s: a.t_order_new(extra), n)
        else:
            self._skip("order_new", "no order objects")
        if a.t_create_order:
            self._case("create_order", p.passes, lambda i: None, lambda s: a.t_create_order(extra), n)
        else:
            self._skip("create_order", "no such call")

        # lookups and top of book on a 10,000-order book
        state = {}

        def s_base(i):
            if "b" not in state:
                state["b"], state["h"] = book_with(base)
            return state["b"]
        def s_ids(i):
            s_base(i)
            r = random.Random(i)
            h = state["h"]
            ids = [h[r.randrange(len(h))] for _ in range(n)]
            return dict.fromkeys(h), ids

        s_base(0)
        if isinstance(state["h"][0], str):
            self._case("dict_ids", p.passes, s_ids, lambda s: time_each(s[0].get, s[1]), n)
        else:
            self._skip("dict_ids", "no text ids")
        if a.t_get:
            def s_get(i):
                b = s_base(i)
                r = random.Random(i)
                h = state["h"]
                return b, [h[r.randrange(len(h))] for _ in range(n)]
            self._case("get_order", p.passes, s_get, lambda s: a.t_get(s[0], s[1]), n)
        else:
            self._skip("get_order", "no lookup by id")
        for which in ("bid", "ask", "spread"):
            name = "best_" + which if which != "spread" else "spread"
            self._case(name, p.passes, s_base, lambda b, w=which: a.t_best(b, n, w), n)

        if a.t_repr:
            self._case("repr", p.passes, s_base, lambda b: a.t_repr(b, p.repr_calls), p.repr_calls)
        else:
            self._skip("repr", "no summary text")
        if "b" in state:
            a.close(state["b"])
            state.clear()

        if a.t_list:
            lb = {}

            def s_list(i):
                if "b" not in lb:
                    lb["b"], _ = book_with(bids_only)
                return lb["b"]
            self._case("buy_orders", p.passes, s_list, lambda b: a.t_list(b, p.list_calls),
                       p.list_calls, orders=len(bids_only))
            if "b" in lb:
                a.close(lb["b"])
        else:
            self._skip("buy_orders", "no order listing")

    # -- mixed flow at several depths ---------------------------------------
    def flow(self, stream_paths: dict[int, str], add_ns_hint: float | None = None):
        a, p = self.a, self.p
        for depth in p.depths:
            name = f"flow_{depth}"
            if p.max_depth and depth > p.max_depth:
                self._skip(name, f"pre-fill of {depth:,} orders left out for this slow book")
                continue
            if self.deadline.left() <= 0:
                self._skip(name, "time budget spent")
                continue
            if add_ns_hint:
                # prefill + preparation, with a generous margin for larger books
                projected = depth * add_ns_hint * 3e-9
                if projected > self.deadline.left():
                    self._skip(name, f"pre-fill of {depth:,} orders projected at ~{projected:.0f} s")
                    continue
            try:
                self._flow_one(name, depth, st.Stream.load(stream_paths[depth]))
            except _OutOfTime as e:
                self._skip(name, str(e))
            except Exception as e:
                self._skip(name, f"failed: {type(e).__name__}: {e}"[:200])
            gc.collect()

    def flow_floor(self, stream_path: str):
        """The flow's own loop and dispatch with ``d.get`` in place of every book call."""
        stream = st.Stream.load(stream_path)
        d = dict.fromkeys(range(1000), 1)
        ops = [(op[0], i % 1000) for i, op in enumerate(stream.ops)]
        seg = min(self.p.flow_segment, len(ops) // self.p.flow_passes)

        def timed(part):
            get = d.get
            t0 = pc()
            for code, arg in part:
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
        self._passes("flow_floor", self.p.flow_passes, lambda i: ops[i * seg:(i + 1) * seg], timed, seg)

    def _flow_one(self, name, depth, stream):
        a, p = self.a, self.p
        gc.disable()
        try:
            book = a.new_book()
            pre, ops = a.flow_prep(book, stream)
            del stream
            chunk = 20_000
            t0 = time.monotonic()
            for i in range(0, len(pre), chunk):
                a.flow_fill(book, pre[i:i + chunk])
                left = self.deadline.left()
                done = i + chunk
                if done < len(pre):
                    rate = (time.monotonic() - t0) / done
                    if rate * (len(pre) - done) > left:
                        raise _OutOfTime(f"pre-fill too slow: {done:,} of {len(pre):,} orders "
                                         f"in {time.monotonic() - t0:.0f} s")
            del pre
        finally:
            gc.enable()
        seg = min(p.flow_segment, len(ops) // p.flow_passes)

        def setup(i):
            return ops[i * seg:(i + 1) * seg]
        self._passes(name, p.flow_passes, setup, lambda s: a.t_flow(book, s), seg)
        a.close(book)

    # -- replay of recorded order flow --------------------------------------
    def replay(self, replay_paths: list[str]):
        a, p = self.a, self.p
        loaded = [st.Stream.load(path) for path in replay_paths]
        total_ops = sum(len(s.ops) for s in loaded)
        if not total_ops:
            return self._skip("replay", "no data")

        def setup(i):
            runs = []
            for s in loaded:
                b = a.new_book()
                pre, ops = a.flow_prep(b, s)
                runs.append((b, ops))
            return runs

        def timed(runs):
            return sum(a.t_flow(b, ops) for b, ops in runs)

        def teardown(runs):
            for b, _ in runs:
                a.close(b)
        self._case("replay", p.replay_passes, setup, timed, total_ops, teardown, messages=total_ops)


class _OutOfTime(Exception):
    pass


# ---------------------------------------------------------------------------
# Memory: resident bytes per resting order, measured in a fresh process.

def rss_bytes() -> int:
    import os
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(adapter, n: int) -> dict:
    """RSS growth per resting order, less what the driving loop itself leaves.

    The loop keeps nothing: each order is created, added and dropped, so the
    only growth is the book's. The same loop without a book (orders created
    and dropped) is measured first and subtracted.
    """
    width = st.levels_per_side(n)

    def drive(f, count):
        x = 12345
        for i in range(count):
            x = (x * 1103515245 + 12345) & 0x7FFFFFFF
            s = i & 1
            off = 1 + x % width
            f(s, MID - off if s == 0 else MID + off, 1 + (x >> 8) % 100)

    gc.collect()
    r0 = rss_bytes()
    drive(adapter.mem_adder(None), n)
    gc.collect()
    r1 = rss_bytes()
    book = adapter.new_book()
    gc.collect()
    r2 = rss_bytes()
    drive(adapter.mem_adder(book), n)
    gc.collect()
    r3 = rss_bytes()
    baseline = max(0, r1 - r0)
    per = (r3 - r2 - baseline) / n
    adapter.close(book)
    return {"orders": n, "bytes_per_order": per, "baseline_bytes": baseline,
            "rss_after": r3, "levels_per_side": width}
