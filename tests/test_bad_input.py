"""Hostile arguments against every constructor, method and attribute.

Each call either succeeds or raises one of the documented exception types (or
whatever a user hook raised); it never crashes, hangs, raises SystemError or
PanicException, and a failed call leaves every book and order as it was.
"""

import faulthandler
import math
import weakref
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from model import order_key
from quoranth import Fill, Order, OrderBook, OrderStatus, OrderType

BORROW = {"Already borrowed", "Already mutably borrowed"}
tried = {"inputs": 0}


class Boom(Exception):
    """What a user hook raises."""


IntSub, FloatSub, StrSub = (type(base.__name__.title() + "Sub", (base,), {}) for base in (int, float, str))


class Ref(str):
    """Names a world object (book, order, identifier...) that is looked up when the call is made."""


class World:
    """Two books with resting orders, loose orders, a fill, and probes that test access flags."""

    def __init__(self):
        self.book, self.book2 = OrderBook(), OrderBook(1.0)
        self.orders = [Order(OrderType.Buy, 100, 2.0), Order(OrderType.Sell, 101, 3.0),
                       Order(OrderType.Buy, 101, 0.5), Order(OrderType.Sell, 99, 1.0)]
        for o in self.orders[:2]:
            self.book.add(o)
            self.book2.add(o)
        self.orders[2].fill(Order(OrderType.Sell, 100, 0.5), 0.01)  # a Filled loose order
        self.fill = Fill(1.0, 2.0, "a", "b", 3)
        self.ids = [o.id for o in self.orders]
        # never crossing anything in the world: a fill against them takes both accesses and changes nothing
        self.probes = [Order(OrderType.Buy, 1, 1.0), Order(OrderType.Sell, 2**62, 1.0)]
        self.dirty = False
        self.snap = self.snapshot()

    def resolve(self, value):
        if type(value) is not Ref:
            return value
        kind, _, k = value.partition(":")
        return {"book": self.book, "book2": self.book2, "order": self.orders[int(k or 0) % 4],
                "id": self.ids[int(k or 0) % 4], "fill": self.fill}[kind]

    def snapshot(self):
        books = [(repr(b), [order_key(o) for o in b.buy_orders + b.sell_orders],
                  [order_key(b.get_order(i)) for i in self.ids]) for b in (self.book, self.book2)]
        f = self.fill
        return books, [order_key(o) for o in self.orders], (f.quantity, f.price, f.buy_id, f.sell_id, f.timestamp)

    def check_flags_free(self):
        """Exclusive access to every object can be taken again: nothing was left borrowed."""
        for b in (self.book, self.book2):
            assert b.cancel("not an id") is False
        for o in self.orders:
            assert o.fill(self.probes[int(o.side)], 0.01) is None


WORLD = [None]


# Calls back into the module from inside a conversion: the writers mark the world dirty if they got through.
WRITERS = {"add": lambda w: w.book.add(w.orders[3]), "cancel": lambda w: w.book.cancel(w.ids[0]),
           "update": lambda w: w.book.update_order(w.orders[2]), "fill": lambda w: w.orders[1].fill(w.orders[0], 0.01)}


def read(w):
    return repr(w.book), w.book.buy_orders, w.orders[0].quantity, w.book.get_order(w.ids[1]), repr(w.fill)


RAISED = {"TypeError": TypeError, "OverflowError": OverflowError, "ValueError": ValueError}


class Hook:
    """__float__ and __index__ that return a value, raise, or re-enter the module first."""

    def __init__(self, action, value):
        self.action, self.value = action, value

    def run(self, kind):
        if self.action == "boom":
            raise Boom(self.action)
        if self.action in RAISED:
            raise RAISED[self.action]("hook")
        if self.action == "read":
            read(WORLD[0])
        elif self.action in WRITERS:
            WRITERS[self.action](WORLD[0])
            WORLD[0].dirty = True
        return kind(self.value)

    def __float__(self):
        return self.run(float)

    def __index__(self):
        return self.run(int)

    def __repr__(self):
        return f"Hook({self.action}, {self.value!r})"


class FloatOnly:
    """A hook that offers only __float__ (integer parameters must refuse it)."""

    def __init__(self, hook):
        self.hook = hook

    def __float__(self):
        return self.hook.run(float)


HOOKS = st.builds(Hook, st.sampled_from(["value", "boom", "TypeError", "OverflowError", "ValueError",
                                         "add", "cancel", "update", "fill", "read"]),
                  st.one_of(st.integers(-3, 200), st.sampled_from([2**63, -2**63 - 1, 2**64, 10**400])))
HOSTILE = st.one_of(
    st.none(), st.booleans(), st.integers(),
    st.sampled_from([2**63 - 1, 2**63, -2**63, -2**63 - 1, 2**64 - 1, 2**64, 10**400, -1, 0]),
    st.floats(), st.sampled_from([math.nan, -math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308]),
    st.text(max_size=50), st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=3),
    st.binary(max_size=40), st.builds(IntSub, st.integers(-5, 2**64)), st.builds(FloatSub, st.floats()),
    st.builds(StrSub, st.text(max_size=40)), HOOKS, HOOKS.map(FloatOnly),
    st.sampled_from([OrderType.Buy, OrderType.Sell, OrderStatus.Open, OrderStatus.Canceled, Order, OrderBook,
                     object(), [], {}, (), 1j, Decimal("1.5"), Decimal("nan"), Fraction(1, 3), "é" * 40, "\0"]),
    st.sampled_from(["book", "book2", "order:0", "order:1", "order:2", "order:3", "id:0", "id:1", "id:2", "fill"])
      .map(Ref),
)
SIDE = st.sampled_from([OrderType.Buy, OrderType.Sell])
VALID = {
    "side": SIDE, "price_in_ticks": st.integers(1, 200), "quantity": st.floats(0.01, 10.0), "price": st.floats(0.5, 2.0),
    "tick_size": st.sampled_from([0.01, 1.0]), "buy_id": st.text(max_size=40), "sell_id": st.text(max_size=40),
    "timestamp": st.integers(0, 2**64 - 1), "incoming_order": st.sampled_from(["order:0", "order:1", "order:3"]).map(Ref),
    "order": st.sampled_from(["order:0", "order:2", "order:3"]).map(Ref), "other": st.sampled_from(["order:1", "order:3"]).map(Ref),
    "incoming": st.sampled_from(["order:1", "order:3"]).map(Ref), "order_id": st.sampled_from(["id:0", "id:1", "id:2"]).map(Ref),
}
TARGETS = {
    "Order": (lambda w: Order, ("side", "price_in_ticks", "quantity")),
    "Fill": (lambda w: Fill, ("quantity", "price", "buy_id", "sell_id", "timestamp")),
    "OrderBook": (lambda w: OrderBook, ("tick_size",)),
    "OrderType": (lambda w: OrderType, ()),
    "OrderStatus": (lambda w: OrderStatus, ()),
    "create_order": (lambda w: w.book.create_order, ("side", "price", "quantity")),
    "add": (lambda w: w.book.add, ("incoming_order",)),
    "cancel": (lambda w: w.book.cancel, ("order_id",)),
    "get_order": (lambda w: w.book.get_order, ("order_id",)),
    "update_order": (lambda w: w.book.update_order, ("order",)),
    "can_match": (lambda w: w.orders[0].can_match, ("other",)),
    "fill": (lambda w: w.orders[0].fill, ("incoming", "tick_size")),
    **{name: (lambda w, name=name: getattr(w.book, name), ())
       for name in ("best_bid", "best_ask", "buy_volume", "sell_volume", "spread")},
    "is_open": (lambda w: w.orders[0].is_open, ()),
}


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(TARGETS)))
    params = list(TARGETS[name][1])
    # mostly valid arguments with one or two hostile ones, so that calls get past the parsing
    values = [draw([VALID[p], HOOKS, HOSTILE][draw(st.sampled_from([0, 0, 0, 0, 0, 1, 1, 2, 2]))]) for p in params]
    positional = draw(st.integers(0, len(params)))
    args, kwargs = values[:positional], dict(zip(params[positional:], values[positional:]))
    shape = draw(st.sampled_from(["as is"] * 6 + ["drop", "extra", "bad keyword", "duplicate"]))
    if shape == "drop" and kwargs:
        kwargs.pop(draw(st.sampled_from(sorted(kwargs))))
    elif shape == "extra":
        args += draw(st.lists(HOSTILE, min_size=1, max_size=3))
    elif shape == "bad keyword":
        kwargs[draw(st.one_of(st.sampled_from(["order", "self", "tick", "Side", "incoming_order"]), st.text()))] = 1
    elif shape == "duplicate" and args and params:
        kwargs[params[0]] = draw(HOSTILE)
    return name, args, kwargs


def allowed(error):
    if isinstance(error, RuntimeError):
        return str(error) in BORROW
    return isinstance(error, (TypeError, ValueError, OverflowError, UnicodeEncodeError, Boom))


@pytest.fixture(scope="module", autouse=True)
def watchdog(request):
    faulthandler.dump_traceback_later(600, exit=True)  # a hang ends the run with every thread's stack
    yield
    faulthandler.cancel_dump_traceback_later()
    capture = request.config.pluginmanager.get_plugin("capturemanager")
    with capture.global_and_fixture_disabled():
        print(f"\nbad input: {tried['inputs']} hostile calls tried")


def attempt(world, fn, also=()):
    tried["inputs"] += 1
    world.dirty = False
    try:
        result = fn()
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        assert type(error).__name__ != "PanicException" and not isinstance(error, SystemError), repr(error)
        assert allowed(error) or isinstance(error, also), repr(error)
        if not world.dirty:
            assert world.snapshot() == world.snap, "a failed call changed the state"
        result = error
    world.check_flags_free()
    world.snap = world.snapshot()
    return result


@settings(max_examples=3000, deadline=None, suppress_health_check=list(HealthCheck))
@given(call=calls())
def test_hostile_calls(call):
    name, args, kwargs = call
    world = WORLD[0] = World()
    args = [world.resolve(a) for a in args]
    kwargs = {k: world.resolve(v) for k, v in kwargs.items()}
    result = attempt(world, lambda: TARGETS[name][0](world)(*args, **kwargs))
    if isinstance(result, Order) and name in ("Order", "create_order"):
        assert result.price_in_ticks > 0 and 0 < result.quantity < math.inf and result.is_open()


@settings(max_examples=1500, deadline=None, suppress_health_check=list(HealthCheck))
@given(target=st.sampled_from(["book", "order:0", "fill", "Buy", "Open"]),
       attr=st.one_of(st.sampled_from(["id", "side", "price_in_ticks", "quantity", "status", "timestamp", "price",
                                       "buy_id", "sell_id", "tick_size", "buy_orders", "sell_orders", "__dict__",
                                       "__weakref__", "__doc__", "Buy", "foo"]), st.text(max_size=12)),
       value=HOSTILE, op=st.sampled_from(["get", "set", "del", "eq", "ne", "lt", "int", "hash", "weakref"]))
def test_hostile_attributes_and_slots(target, attr, value, op):
    world = WORLD[0] = World()
    obj = {"Buy": OrderType.Buy, "Open": OrderStatus.Open}.get(target) or world.resolve(Ref(target))
    value = world.resolve(value)
    actions = {"get": lambda: getattr(obj, attr, None), "set": lambda: setattr(obj, attr, value),
               "del": lambda: delattr(obj, attr), "eq": lambda: obj == value, "ne": lambda: obj != value,
               "lt": lambda: obj < value, "int": lambda: int(obj), "hash": lambda: hash(obj),
               "weakref": lambda: weakref.ref(obj)}
    result = attempt(world, actions[op], also=AttributeError)
    if op in ("set", "del"):  # every attribute is read-only and there is no instance dictionary
        assert isinstance(result, (AttributeError, TypeError)), result
    if op in ("eq", "ne") and isinstance(obj, (OrderType, OrderStatus)):
        assert isinstance(result, bool)
