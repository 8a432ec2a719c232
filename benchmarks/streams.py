"""Deterministic order streams shared by every implementation under test.

Streams are described in implementation-neutral terms: an order is a
``(key, side, price_in_ticks, quantity)`` tuple where ``key`` is a small
integer naming the order (each implementation maps keys onto its own order
ids), ``side`` is 0 for buy and 1 for sell, and prices and quantities are
integers. Flow operations are tuples:

    (0, key, side, price, qty)   new limit order
    (1, key)                     cancel (key -1: an id the book never saw)
    (2,) (3,) (4,)               best bid, best ask, spread

A small reference book (``_Sim``) runs while a stream is generated so that
cancels name live orders, crossing orders hit the real top of book, and the
resting depth stays steady. It also records, for every operation, the price
levels whose total size changed (``side, price, new_total`` triples), which is
what a level-only book consumes.

Only the standard library is used: this module also runs in the peers'
virtual environment.
"""

from __future__ import annotations

import marshal
import os
import random
from bisect import insort, bisect_left
from collections import deque

NEW, CANCEL, BEST_BID, BEST_ASK, SPREAD = 0, 1, 2, 3, 4
MID = 1_000_000          # anchor price in ticks ($10,000.00 at one-cent ticks)
ORDERS_PER_LEVEL = 10    # average depth of a price level in the pre-filled book


def levels_per_side(depth: int) -> int:
    return max(25, depth // (2 * ORDERS_PER_LEVEL))


class _Sim:
    """Minimal price-time book over integer keys, used only to shape streams."""

    def __init__(self):
        # per side: ascending list of level keys whose last element is the best
        # (bids: price, asks: -price), dict key -> deque of [key, qty] entries,
        # dict price -> level total.
        self.keys = ([], [])
        self.levels = ({}, {})
        self.total = ({}, {})
        self.where = {}            # key -> (side, price, entry)
        self.live = []             # live keys, for uniform random choice
        self.pos = {}              # key -> index in live

    def _live_add(self, key):
        self.pos[key] = len(self.live)
        self.live.append(key)

    def _live_del(self, key):
        i = self.pos.pop(key)
        last = self.live.pop()
        if i < len(self.live):
            self.live[i] = last
            self.pos[last] = i

    def best(self, side):
        keys = self.keys[side]
        if not keys:
            return None
        k = keys[-1]
        return k if side == 0 else -k

    def front_qty(self, side):
        keys = self.keys[side]
        return self.levels[side][keys[-1]][0][1] if keys else None

    def add(self, key, side, price, qty, lv):
        other = 1 - side
        okeys, olevels, ototal = self.keys[other], self.levels[other], self.total[other]
        while qty > 0 and okeys:
            k = okeys[-1]
            lprice = k if other == 0 else -k
            if (side == 0 and lprice > price) or (side == 1 and lprice < price):
                break
            queue = olevels[k]
            entry = queue[0]
            q = min(qty, entry[1])
            entry[1] -= q
            qty -= q
            ototal[lprice] -= q
            if entry[1] == 0:
                queue.popleft()
                del self.where[entry[0]]
                self._live_del(entry[0])
                if not queue:
                    okeys.pop()
                    del olevels[k]
            lv.extend((other, lprice, ototal[lprice]))
            if ototal[lprice] == 0:
                del ototal[lprice]
        if qty > 0:
            k = price if side == 0 else -price
            levels = self.levels[side]
            entry = [key, qty]
            queue = levels.get(k)
            if queue is None:
                levels[k] = deque((entry,))
                keys = self.keys[side]
                if not keys or k > keys[-1]:
                    keys.append(k)
                else:
                    insort(keys, k)
            else:
                queue.append(entry)
            total = self.total[side]
            total[price] = total.get(price, 0) + qty
            self.where[key] = (side, price, entry)
            self._live_add(key)
            lv.extend((side, price, total[price]))

    def cancel(self, key, lv):
        found = self.where.pop(key, None)
        if found is None:
            return
        side, price, entry = found
        k = price if side == 0 else -price
        queue = self.levels[side][k]
        queue.remove(entry)
        total = self.total[side]
        total[price] -= entry[1]
        lv.extend((side, price, total[price]))
        if total[price] == 0:
            del total[price]
        if not queue:
            del self.levels[side][k]
            keys = self.keys[side]
            del keys[bisect_left(keys, k)]
        self._live_del(key)

    def level_count(self):
        return len(self.keys[0]) + len(self.keys[1])


class Stream:
    """A pre-fill (orders that all rest) followed by a flow of operations."""

    def __init__(self, prefill, ops, lv_prefill, lv_ops, info):
        self.prefill = prefill
        self.ops = ops
        self.lv_prefill = lv_prefill
        self.lv_ops = lv_ops
        self.info = info

    def dump(self, path):
        with open(path, "wb") as f:
            marshal.dump((self.prefill, self.ops, self.lv_prefill, self.lv_ops, self.info), f)

    @classmethod
    def load(cls, path):
        with open(path, "rb") as f:
            return cls(*marshal.loads(f.read()))


def mixed_flow(depth: int, n_ops: int, seed: int = 7) -> Stream:
    """Pre-fill ``depth`` resting orders, then ``n_ops`` operations at steady state.

    Orders rest uniformly within ``levels_per_side(depth)`` ticks of the mid,
    so a level holds about ten orders at every depth: the depth series shows
    how the index and level maps scale, not how long queues get (the deep
    queue case has its own workload). The flow is about 60% new orders (a
    quarter of them marketable, priced at the opposite best and sized to take
    its front order, a quarter joining the touch, the rest spread over the
    band around the current mid), 30% cancels of random live orders and 10%
    top-of-book reads.
    """
    rnd = random.Random(seed * 1_000_003 + depth)
    rand = rnd.random
    sim = _Sim()
    width = levels_per_side(depth)
    prefill, lv_prefill = [], []
    for key in range(depth):
        side = 0 if rand() < 0.5 else 1
        off = 1 + int(rand() * width)
        price = MID - off if side == 0 else MID + off
        qty = 1 + int(rand() * 100)
        lv = []
        sim.add(key, side, price, qty, lv)
        prefill.append((key, side, price, qty))
        lv_prefill.append(tuple(lv))

    ops, lv_ops = [], []
    next_key = depth
    reads = (BEST_BID, BEST_ASK, SPREAD)
    counts = {"new": 0, "cross": 0, "cancel": 0, "read": 0}
    lo, hi = depth * 0.98, depth * 1.02
    for i in range(n_ops):
        lv = []
        r = rand()
        live = len(sim.live)
        if r < 0.10:
            op = (reads[i % 3],)
            counts["read"] += 1
        elif r < 0.40 and live > lo or (r >= 0.70 and live > hi):
            key = sim.live[int(rand() * live)]
            sim.cancel(key, lv)
            op = (CANCEL, key)
            counts["cancel"] += 1
        else:
            side = 0 if rand() < 0.5 else 1
            bb, ba = sim.best(0), sim.best(1)
            qty = 1 + int(rand() * 100)
            if 0.40 <= r < 0.55 and (ba if side == 0 else bb) is not None:
                # marketable: at the opposite best, sized to take its front order
                # (one in ten reaches two ticks through and takes three times that)
                opp = 1 - side
                qty = sim.front_qty(opp)
                through = 0
                if rand() < 0.1:
                    qty *= 3
                    through = 2
                price = ba + through if side == 0 else bb - through
                counts["cross"] += 1
            elif 0.55 <= r < 0.70 and (bb if side == 0 else ba) is not None:
                price = bb if side == 0 else ba      # join the touch
                counts["new"] += 1
            else:
                mid = (bb + ba) // 2 if bb is not None and ba is not None else MID
                off = 1 + int(rand() * width)
                price = mid - off if side == 0 else mid + off
                if price <= 0:
                    price = 1
                counts["new"] += 1
            key = next_key
            next_key += 1
            sim.add(key, side, price, qty, lv)
            op = (NEW, key, side, price, qty)
        ops.append(op)
        lv_ops.append(tuple(lv))
    info = {"depth": depth, "ops": n_ops, "levels_per_side": width,
            "end_orders": len(sim.live), "end_levels": sim.level_count(), **counts}
    return Stream(prefill, ops, lv_prefill, lv_ops, info)


# ---------------------------------------------------------------------------
# Real order flow: message files of reconstructed exchange order flow.

def lobster_dir(repo_root: str) -> str | None:
    for d in (os.path.join(repo_root, "examples", "data"),):
        if os.path.isdir(d) and any(n.endswith(".csv") and "_message_" in n for n in os.listdir(d)):
            return d
    return None


def replay_streams(data_dir: str) -> list[Stream]:
    """One stream per message file, each replayed on a fresh book.

    New orders (type 1) are added; deletions (type 3) cancel the order, or an
    id the book never saw when the order is not resting in the replayed book
    (it rested before the file's window, or was already executed here);
    executions of a visible order (type 4) that rests in the replayed book are
    sent as an opposite-side order of that size at that price. Partial
    cancellations (2), hidden executions (5) and halts (7) have no counterpart
    in the book's interface and are skipped (and counted).
    """
    streams = []
    for name in sorted(os.listdir(data_dir)):
        if not (name.endswith(".csv") and "_message_" in name):
            continue
        sim = _Sim()
        ops, lv_ops = [], []
        key_of = {}
        next_key = 0
        counts = {"messages": 0, "new": 0, "cancel": 0, "cancel_unknown": 0,
                  "execution": 0, "execution_unknown": 0, "skipped": 0}
        with open(os.path.join(data_dir, name)) as f:
            for line in f:
                parts = line.strip().split(",")
                if len(parts) < 6 or not parts[1].lstrip("-").isdigit():
                    continue  # header line
                counts["messages"] += 1
                mtype, oid, size, price, direction = (int(parts[1]), int(parts[2]), int(parts[3]),
                                                      int(parts[4]), int(parts[5]))
                ticks = price // 100
                side = 0 if direction == 1 else 1
                lv = []
                if mtype == 1 and ticks > 0 and size > 0:
                    key = next_key
                    next_key += 1
                    key_of[oid] = key
                    sim.add(key, side, ticks, size, lv)
                    ops.append((NEW, key, side, ticks, size))
                    counts["new"] += 1
                elif mtype == 3:
                    key = key_of.get(oid, -1)
                    if key in sim.where:
                        sim.cancel(key, lv)
                        ops.append((CANCEL, key))
                        counts["cancel"] += 1
                    else:
                        ops.append((CANCEL, -1))
                        counts["cancel_unknown"] += 1
                elif mtype == 4 and size > 0:
                    if key_of.get(oid, -1) in sim.where:
                        key = next_key
                        next_key += 1
                        sim.add(key, 1 - side, ticks, size, lv)
                        ops.append((NEW, key, 1 - side, ticks, size))
                        counts["execution"] += 1
                    else:
                        counts["execution_unknown"] += 1
                        continue
                else:
                    counts["skipped"] += 1
                    continue
                lv_ops.append(tuple(lv))
        counts["ops"] = len(ops)
        counts["file"] = name
        counts["end_orders"] = len(sim.live)
        streams.append(Stream([], ops, [], lv_ops, counts))
    return streams


def write_text_stream(stream: Stream, path: str) -> None:
    """Plain text form read by the native engine benchmark.

    Line 1: ``<n_prefill> <n_ops>``; then one line per order or operation:
    ``A key side price qty`` / ``C key`` / ``B`` / ``S`` / ``P``.
    """
    with open(path, "w") as f:
        f.write(f"{len(stream.prefill)} {len(stream.ops)}\n")
        for key, side, price, qty in stream.prefill:
            f.write(f"A {key} {side} {price} {qty}\n")
        for op in stream.ops:
            code = op[0]
            if code == NEW:
                f.write(f"A {op[1]} {op[2]} {op[3]} {op[4]}\n")
            elif code == CANCEL:
                f.write(f"C {op[1]}\n")
            else:
                f.write("BSP"[code - 2] + "\n")
