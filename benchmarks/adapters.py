"""One adapter per order book under test.

Every adapter maps the neutral workloads of ``streams``/``harness`` onto the
book's own public calls and hands the bound call to one of the timed loops
in ``loops``, the same code for every book (each book runs its own copy, see
``loops.private_loops``); a loop whose shape only one book has (the mixed
flow's dispatch, an extra argument per call) stays in its adapter. Either way
nothing but the book's own call (plus the common ``for`` loop) runs between
the two clock reads. Inputs are prepared outside the timed region wherever the book's API
lets the caller create its orders ahead of time.

An adapter leaves a method at ``None`` when the book has no counterpart for
that workload; ``notes`` records where a mapping is approximate.

Neutral order rows: ``(key, side, price_in_ticks, qty)``, side 0 buy / 1 sell.
"""

from __future__ import annotations

import importlib
import itertools
from operator import attrgetter

from loops import pc, time_diff, time_each, time_each3, time_each4, time_repeat

UNKNOWN_ID = "00000000-0000-4000-8000-000000000000"


def flow_ops(stream, new, cancel):
    """The stream's ops as ``(code, argument)``: ``new(key, side, price, qty)``
    gives a new order's argument, ``cancel(key)`` a cancel's; reads take none."""
    ops = []
    for op in stream.ops:
        code = op[0]
        if code == 0:
            ops.append((0, new(op[1], op[2], op[3], op[4])))
        elif code == 1:
            ops.append((1, cancel(op[1])))
        else:
            ops.append((code, None))
    return ops


class Adapter:
    name = "?"
    version = "?"
    kind = "?"
    notes: dict[str, str] = {}

    # Timed loops; None where the book offers no counterpart.
    t_get = t_order_new = t_create_order = t_list = t_repr = None

    def close(self, book):
        pass

    def prep_cancel(self, book, handles):
        return handles

    # Marketable adds go through the same call as resting ones; a book
    # without matching sets both to None.
    def t_add_fill(self, book, orders):
        return self.t_add(book, orders)

    t_sweep = t_add_fill

    def tops(self, book):
        """The book's (best bid, best ask, spread) calls; spread None where it has none."""
        return book.best_bid, book.best_ask, book.spread

    def t_best(self, book, n, which):
        bid, ask, spread = self.tops(book)
        if which == "spread" and spread is None:
            return time_diff(ask, bid, n)
        return time_repeat({"bid": bid, "ask": ask, "spread": spread}[which], n)

    def flow_fill(self, book, pre):
        self.fill(book, pre)


class OrderObjects(Adapter):
    """A book fed with order objects made before the add call, each carrying
    its id from the start; the subclass names the calls and the arguments."""

    ADD: str      # the book's add call
    CANCEL: str   # the book's cancel call
    ID: str       # the order's id attribute

    def order_args(self, s, p, q):
        """The order constructor's arguments for side, price in ticks, quantity."""
        raise NotImplementedError

    def order_maker(self):
        """``make(s, p, q)`` -> a new order: the constructor called with the
        arguments of ``order_args`` written out, so that making an order
        allocates just what a caller's own call would (no tuple in between)."""
        raise NotImplementedError

    def prep(self, book, rows):
        make = self.order_maker()
        return [make(s, p, q) for _, s, p, q in rows]

    def fill(self, book, orders):
        self.flow_fill(book, orders)
        oid = attrgetter(self.ID)
        return [oid(o) for o in orders]

    def flow_fill(self, book, pre):
        add = getattr(book, self.ADD)
        for o in pre:
            add(o)

    def t_add(self, book, orders):
        return time_each(getattr(book, self.ADD), orders)

    def t_cancel(self, book, ids):
        return time_each(getattr(book, self.CANCEL), ids)

    def t_order_new(self, rows):
        args = self.order_args
        return time_each3(self.Order, [args(s, p, q) for _, s, p, q in rows])

    def flow_prep(self, book, stream):
        make, oid = self.order_maker(), attrgetter(self.ID)
        pre = self.prep(book, stream.prefill)
        ids = {k: oid(o) for (k, _, _, _), o in zip(stream.prefill, pre)}

        def new(k, s, p, q):
            o = make(s, p, q)
            ids[k] = oid(o)
            return o
        return pre, flow_ops(stream, new, lambda k: ids.get(k, UNKNOWN_ID))

    def mem_adder(self, book):
        make = self.order_maker()
        if book is None:
            return make
        add = getattr(book, self.ADD)
        return lambda s, p, q: add(make(s, p, q))


# ---------------------------------------------------------------------------
# quoranth and the pure-Python book share one public surface.

class NativeApi(OrderObjects):
    """``quoranth`` itself, or ``pure_python_book`` which mirrors its API."""

    notes = {}
    ADD, CANCEL, ID = "add", "cancel", "id"

    def __init__(self, module_name: str, label: str, kind: str):
        self.m = importlib.import_module(module_name)
        self.name = label
        self.kind = kind
        self.version = getattr(self.m, "__version__", "")
        if not self.version:
            try:
                from importlib.metadata import version
                self.version = version(module_name)
            except Exception:
                self.version = "local"
        self.Order = self.m.Order
        self.sides = (self.m.OrderType.Buy, self.m.OrderType.Sell)

    def new_book(self):
        return self.m.OrderBook(0.01)

    def order_args(self, s, p, q):
        return self.sides[s], p, float(q)

    def order_maker(self):
        Order, sides = self.Order, self.sides
        return lambda s, p, q: Order(sides[s], p, float(q))

    def t_get(self, book, ids):
        return time_each(book.get_order, ids)

    def t_create_order(self, rows):
        book = self.new_book()
        sides = self.sides
        args = [(sides[s], p * 0.01, float(q)) for _, s, p, q in rows]
        return time_each3(book.create_order, args)

    def t_list(self, book, n):
        r = range(n)
        t0 = pc()
        for _ in r:
            book.buy_orders
        return pc() - t0

    def t_repr(self, book, n):
        r = range(n)
        t0 = pc()
        for _ in r:
            repr(book)
        return pc() - t0

    def t_flow(self, book, ops):
        add, cancel = book.add, book.cancel
        bb, ba, sp = book.best_bid, book.best_ask, book.spread
        t0 = pc()
        for code, arg in ops:
            if code == 0:
                add(arg)
            elif code == 1:
                cancel(arg)
            elif code == 2:
                bb()
            elif code == 3:
                ba()
            else:
                sp()
        return pc() - t0


# ---------------------------------------------------------------------------
# Peers from the package index, each used through its own public API.

class LimitOrderBookPeer(Adapter):
    """``limit-order-book``: C++ book behind a Cython binding; caller-chosen integer ids."""

    name = "limit-order-book"
    kind = "C++ core, Cython binding"
    notes = {
        "get_order": "has(id) -> bool (no lookup returning the order)",
        "spread": "best_sell() - best_buy() (no spread call)",
        "mem": "stores integer ids: no id text per order",
    }

    def __init__(self):
        import limit_order_book as lob
        self.lob = lob
        self.version = _dist_version("limit_order_book")

    def new_book(self):
        return self.lob.LimitOrderBook()

    def prep(self, book, rows):
        # uids start at 1; side True is buy
        return [(s == 0, k + 1, q, p) for k, s, p, q in rows]

    def fill(self, book, orders):
        lim = book.limit
        for s, u, q, p in orders:
            lim(s, u, q, p)
        return [u for _, u, _, _ in orders]

    def t_add(self, book, orders):
        return time_each4(book.limit, orders)

    def t_cancel(self, book, ids):
        return time_each(book.cancel, ids)

    def t_get(self, book, ids):
        return time_each(book.has, ids)

    def tops(self, book):
        return book.best_buy, book.best_sell, None

    def flow_prep(self, book, stream):
        # A cancel passes the int object its order was added with, as the other
        # adapters pass the id they kept when the order was made, not an equal
        # int made with the cancel: that one sat in the cache beside its
        # operation, which made this book's flows 11-20% cheaper than a kept
        # id does. A cancel of an id the book never saw (key -1) goes to uid
        # 0, which no order has.
        pre = self.prep(book, stream.prefill)
        uids = {k: row[1] for (k, _, _, _), row in zip(stream.prefill, pre)}

        def new(k, s, p, q):
            row = (s == 0, k + 1, q, p)
            uids[k] = row[1]
            return row
        return pre, flow_ops(stream, new, lambda k: uids.get(k, 0))

    def t_flow(self, book, ops):
        lim, cancel = book.limit, book.cancel
        bb, ba = book.best_buy, book.best_sell
        t0 = pc()
        for code, arg in ops:
            if code == 0:
                lim(*arg)
            elif code == 1:
                cancel(arg)
            elif code == 2:
                bb()
            elif code == 3:
                ba()
            else:
                ba() - bb()
        return pc() - t0

    def mem_adder(self, book):
        counter = iter(range(1, 1 << 62))
        if book is None:
            return lambda s, p, q: (s == 0, next(counter), q, p)
        lim = book.limit
        return lambda s, p, q: lim(s == 0, next(counter), q, p)


class CythonOrderbookPeer(OrderObjects):
    """``cython-orderbook``: Cython order objects, Python book on sortedcontainers."""

    name = "cython-orderbook"
    kind = "Cython + Python"
    notes = {
        "price": "prices passed as integer ticks (its examples use Decimal, which is slower)",
        "spread": "best_ask() - best_bid() (no spread call)",
    }
    ADD, CANCEL, ID = "add_limit_order", "cancel_order", "order_id"

    def __init__(self):
        import cython_orderbook as co
        self.co = co
        self.version = _dist_version("cython_orderbook")
        self.Order = co.Order
        self.sides = (co.OrderSide.BID, co.OrderSide.ASK)

    def new_book(self):
        return self.co.OrderBook()

    def order_args(self, s, p, q):
        return self.sides[s], q, p

    def order_maker(self):
        Order, sides = self.Order, self.sides
        return lambda s, p, q: Order(sides[s], q, p)

    def tops(self, book):
        return book.best_bid, book.best_ask, None

    def t_flow(self, book, ops):
        add, cancel = book.add_limit_order, book.cancel_order
        bb, ba = book.best_bid, book.best_ask
        t0 = pc()
        for code, arg in ops:
            if code == 0:
                add(arg)
            elif code == 1:
                cancel(arg)
            elif code == 2:
                bb()
            elif code == 3:
                ba()
            else:
                b, a = bb(), ba()
                if a is not None and b is not None:
                    a - b
        return pc() - t0


class FastlobPeer(Adapter):
    """``fastlob``: pure Python, Decimal prices, ids minted when the order is processed."""

    name = "fastlob"
    kind = "pure Python"
    notes = {
        "ids": "ids are known only after processing: the loop stores each result's id",
        "get_order": "get_status(id) -> (status, quantity left)",
        "price": "prices given as floats with two decimals (its default precision)",
    }

    def __init__(self):
        import logging
        import fastlob
        # Its loggers warn on every unknown cancel; keep the call but drop the output.
        logging.getLogger().addHandler(logging.NullHandler())
        self.f = fastlob
        self.version = _dist_version("fastlob")
        self.sides = (fastlob.OrderSide.BID, fastlob.OrderSide.ASK)
        self._ids = {}

    def new_book(self):
        return self.f.Orderbook("bench", start=True)

    def close(self, book):
        book.stop()

    def _params(self, s, p, q):
        return self.f.OrderParams(self.sides[s], p / 100, q)

    def prep(self, book, rows):
        return [self._params(s, p, q) for _, s, p, q in rows]

    def fill(self, book, orders):
        proc = book.process
        return [proc(o).orderid() for o in orders]

    def t_add(self, book, orders):
        return time_each(book.process, orders)

    def t_cancel(self, book, ids):
        return time_each(book.cancel, ids)

    def t_get(self, book, ids):
        return time_each(book.get_status, ids)

    def t_order_new(self, rows):
        sides = self.sides
        return time_each3(self.f.OrderParams, [(sides[s], p / 100, q) for _, s, p, q in rows])

    def flow_prep(self, book, stream):
        self._ids = {}
        # new orders keep their key: the timed loop records the id minted for it
        def new(k, s, p, q):
            return k, self._params(s, p, q)
        pre = [new(k, s, p, q) for k, s, p, q in stream.prefill]
        return pre, flow_ops(stream, new, lambda k: k)

    def flow_fill(self, book, pre):
        proc, ids = book.process, self._ids
        for k, o in pre:
            ids[k] = proc(o).orderid()

    def t_flow(self, book, ops):
        proc, cancel = book.process, book.cancel
        bb, ba, sp = book.best_bid, book.best_ask, book.spread
        ids = self._ids
        get = ids.get
        t0 = pc()
        for code, arg in ops:
            if code == 0:
                ids[arg[0]] = proc(arg[1]).orderid()
            elif code == 1:
                cancel(get(arg, UNKNOWN_ID))
            elif code == 2:
                bb()
            elif code == 3:
                ba()
            else:
                sp()
        return pc() - t0

    def mem_adder(self, book):
        OP, sides = self.f.OrderParams, self.sides
        if book is None:
            return lambda s, p, q: OP(sides[s], p / 100, q)
        proc = book.process
        return lambda s, p, q: proc(OP(sides[s], p / 100, q))


class LightMatchingEnginePeer(Adapter):
    """``lightmatchingengine``: pure Python, dict of price -> list, ids minted per add call."""

    name = "lightmatchingengine"
    kind = "pure Python"
    INST = "X"
    notes = {
        "best_bid": "no top-of-book call: max() over its public bids dict",
        "spread": "min(asks) - max(bids) over its public dicts",
        "ids": "ids are sequential per add call, so they are known ahead",
    }

    def __init__(self):
        import lightmatchingengine.lightmatchingengine as lme
        self.lme = lme
        self.version = _dist_version("lightmatchingengine")
        self.sides = (lme.Side.BUY, lme.Side.SELL)

    def new_book(self):
        eng = self.lme.LightMatchingEngine()
        eng.order_books[self.INST] = self.lme.OrderBook()
        eng._adds = 0
        return eng

    def prep(self, book, rows):
        sides = self.sides
        return [(p, q, sides[s]) for _, s, p, q in rows]

    def fill(self, book, orders):
        add, inst = book.add_order, self.INST
        return [add(inst, p, q, s)[0].order_id for p, q, s in orders]

    def t_add(self, book, orders):
        add, inst = book.add_order, self.INST
        t0 = pc()
        for p, q, s in orders:
            add(inst, p, q, s)
        return pc() - t0

    def t_cancel(self, book, ids):
        cancel, inst = book.cancel_order, self.INST
        t0 = pc()
        for i in ids:
            cancel(i, inst)
        return pc() - t0

    def t_best(self, book, n, which):
        ob = book.order_books[self.INST]
        r = range(n)
        t0 = pc()
        if which == "bid":
            for _ in r:
                max(ob.bids)
        elif which == "ask":
            for _ in r:
                min(ob.asks)
        else:
            for _ in r:
                min(ob.asks) - max(ob.bids)
        return pc() - t0

    def flow_prep(self, book, stream):
        # ids: the n-th add_order call on an engine mints id n (from 1)
        sides, ids, minted = self.sides, {}, itertools.count(1)

        def new(k, s, p, q):
            ids[k] = next(minted)
            return p, q, sides[s]
        pre = [new(k, s, p, q) for k, s, p, q in stream.prefill]
        return pre, flow_ops(stream, new, lambda k: ids.get(k, -1))

    def t_flow(self, book, ops):
        add, cancel, inst = book.add_order, book.cancel_order, self.INST
        ob = book.order_books[inst]
        t0 = pc()
        for code, arg in ops:
            if code == 0:
                add(inst, *arg)
            elif code == 1:
                cancel(arg, inst)
            elif code == 2:
                if ob.bids:
                    max(ob.bids)
            elif code == 3:
                if ob.asks:
                    min(ob.asks)
            elif ob.bids and ob.asks:
                min(ob.asks) - max(ob.bids)
        return pc() - t0

    def mem_adder(self, book):
        sides = self.sides
        if book is None:
            return lambda s, p, q: (p, q, sides[s])
        add, inst = book.add_order, self.INST
        return lambda s, p, q: add(inst, p, q, sides[s])


class OrderBookLevelsPeer(Adapter):
    """``order-book``: C price-level container (no orders, no matching).

    Compared on level updates only: each order event becomes the level-size
    writes it causes (set or delete), as computed by the stream generator.
    """

    name = "order-book"
    kind = "C extension, levels only"
    notes = {
        "add": "level update: side[price] = new level size",
        "cancel": "level update: size decrease, or del when the level empties",
        "best_bid": "bids.index(0)",
        "spread": "asks.index(0)[0] - bids.index(0)[0]",
        "flow": "replays the level writes each event causes; no matching, no order ids",
        "mem": "levels only: nothing is stored per order",
    }
    t_add_fill = t_sweep = None

    def __init__(self):
        import order_book
        self.ob = order_book
        self.version = _dist_version("order_book")
        self._tot = {}

    def new_book(self):
        self._tot = {}
        return self.ob.OrderBook()

    def _sides(self, book):
        return (book.bids, book.asks)

    def prep(self, book, rows):
        # (side container, price, level size after this order, the order's size);
        # totals run on from every order prepared for this book so far.
        sides, tot = self._sides(book), self._tot
        out = []
        for _, s, p, q in rows:
            sd = sides[s]
            key = (id(sd), p)
            t = tot.get(key, 0) + q
            tot[key] = t
            out.append((sd, p, t, q))
        return out

    def fill(self, book, ups):
        for sd, p, t, _ in ups:
            sd[p] = t
        return [(sd, p, q) for sd, p, _, q in ups]

    def prep_cancel(self, book, handles):
        # each cancel lowers its level by the order's own size
        tot = self._tot
        out = []
        for sd, p, q in handles:
            key = (id(sd), p)
            t = tot[key] - q
            tot[key] = t
            out.append((sd, p, t))
        return out

    def t_add(self, book, ups):
        t0 = pc()
        for sd, p, t, _ in ups:
            sd[p] = t
        return pc() - t0

    def t_cancel(self, book, ups):
        t0 = pc()
        for sd, p, t in ups:
            if t:
                sd[p] = t
            else:
                del sd[p]
        return pc() - t0

    def t_best(self, book, n, which):
        bids, asks = book.bids, book.asks
        r = range(n)
        if which == "spread":
            bi, ai = bids.index, asks.index
            t0 = pc()
            for _ in r:
                ai(0)[0] - bi(0)[0]
            return pc() - t0
        f = bids.index if which == "bid" else asks.index
        t0 = pc()
        for _ in r:
            f(0)
        return pc() - t0

    def _ups(self, book, flat):
        sides = self._sides(book)
        return tuple((sides[flat[i]], flat[i + 1], flat[i + 2]) for i in range(0, len(flat), 3))

    def flow_prep(self, book, stream):
        pre = [u for flat in stream.lv_prefill for u in self._ups(book, flat)]
        ops = []
        for op, flat in zip(stream.ops, stream.lv_ops):
            code = op[0]
            ops.append((0, self._ups(book, flat)) if code < 2 else (code, None))
        return pre, ops

    def flow_fill(self, book, pre):
        for sd, p, t in pre:
            sd[p] = t

    def t_flow(self, book, ops):
        bids, asks = book.bids, book.asks
        bi, ai = bids.index, asks.index
        t0 = pc()
        for code, arg in ops:
            if code == 0:
                for sd, p, t in arg:
                    if t:
                        sd[p] = t
                    else:
                        del sd[p]
            elif code == 2:
                if bids:
                    bi(0)
            elif code == 3:
                if asks:
                    ai(0)
            elif bids and asks:
                ai(0)[0] - bi(0)[0]
        return pc() - t0

    def mem_adder(self, book):
        if book is None:
            return lambda s, p, q: None
        sides = self._sides(book)
        tot = {}

        def add(s, p, q):
            t = tot.get((s, p), 0) + q
            tot[(s, p)] = t
            sides[s][p] = t
        return add


def _dist_version(dist: str) -> str:
    try:
        from importlib.metadata import version
        return version(dist)
    except Exception:
        return "?"


PEERS = {
    "fastlob": FastlobPeer,
    "order-book": OrderBookLevelsPeer,
    "limit-order-book": LimitOrderBookPeer,
    "lightmatchingengine": LightMatchingEnginePeer,
    "cython-orderbook": CythonOrderbookPeer,
}


def make(name: str) -> Adapter:
    if name == "quoranth":
        return NativeApi("quoranth", "quoranth", "C++ extension (this project)")
    if name == "pure-python":
        return NativeApi("pure_python_book", "pure-Python book", "pure Python (bisect + deque)")
    return PEERS[name]()
