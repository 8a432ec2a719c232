"""Module object and the common properties of its five classes."""

import copy
import copyreg
import gc
import importlib
import pickle
import subprocess
import sys
import textwrap
import weakref

import pytest

import quoranth
from quoranth import Fill, Order, OrderBook, OrderStatus, OrderType

CLASSES = [Order, Fill, OrderBook, OrderType, OrderStatus]


def test_module_contents():
    assert quoranth.__all__ == ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
    assert quoranth.__doc__ == ""
    public = [name for name in vars(quoranth) if not name.startswith("__")]
    assert public == quoranth.__all__
    assert all(getattr(quoranth, c.__name__) is c for c in CLASSES)
    assert not hasattr(quoranth, "PanicException")


def test_reimport_returns_the_same_module():
    original = sys.modules["quoranth"]
    try:
        del sys.modules["quoranth"]
        again = importlib.import_module("quoranth")
        assert again is original
        assert importlib.reload(again) is original
    finally:
        sys.modules["quoranth"] = original
    assert quoranth.Order is Order and quoranth.OrderType.Buy is OrderType.Buy
    assert len(quoranth.__all__) == 5


def test_import_from_subinterpreter_is_refused():
    # Run in a child process: a misbehaving subinterpreter must not take the test run down.
    script = textwrap.dedent(f"""
        import sys, _interpreters
        import quoranth
        results = []
        for _ in range(2):
            interp = _interpreters.create("legacy")
            try:
                exc = _interpreters.exec(interp, "import sys; sys.path[:] = {sys.path!r}; import quoranth")
            finally:
                _interpreters.destroy(interp)
            results.append(None if exc is None else (exc.type.__name__, exc.msg))
        print(results)
        print(repr(quoranth.OrderBook()).splitlines()[0])
    """)
    proc = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    results_line, book_line = proc.stdout.splitlines()
    results = eval(results_line)
    for result in results:
        assert result is not None, "import in a subinterpreter succeeded"
        kind, msg = result
        assert kind == "ImportError"
        assert "interpreter" in msg.lower()
    assert book_line == "Best Bid: None, Best Ask: None (Spread: None)"


DOCS = [
    (Order, "Represents a single order in the order book.\n"
            "Contains details such as price, quantity, side (Buy/Sell), and status.",
     "(side, price_in_ticks, quantity)"),
    (Fill, "Represents a match (fill) between two orders.\n"
           "Tracks details such as the quantity, price, and the involved order IDs.",
     "(quantity, price, buy_id, sell_id, timestamp)"),
    (OrderBook, "Represents the main order book for matching buy and sell orders.", "(tick_size=0.01)"),
    (OrderType, "Represents the side of an order: either Buy or Sell.", None),
    (OrderStatus, "Represents the current status of an order.", None),
]


@pytest.mark.parametrize("cls, doc, signature", DOCS, ids=lambda v: getattr(v, "__name__", ""))
def test_class_identity_and_docs(cls, doc, signature):
    name = cls.__name__
    assert name in quoranth.__all__
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__doc__ == doc
    assert cls.__text_signature__ == signature
    assert cls.__bases__ == (object,)


MEMBER_DOCS = [
    (Order, "can_match", "(self, other)",
     "Determines whether this order can match with another order.\n\n# Arguments\n"
     "- `other`: The other order to match against.\n\n# Returns\n"
     "- `true` if the orders are on opposite sides and the prices are compatible."),
    (Order, "fill", "($self, incoming, tick_size)",
     "Attempts to fill this order with another incoming order.\n"
     "Updates the quantities and statuses of both orders."),
    (Order, "is_open", "($self)", "Checks if the order is still open."),
    (Order, "id", None, "Getter for the order ID."),
    (Order, "side", None, "Getter for the order side."),
    (Order, "price_in_ticks", None, "Getter for the price in ticks."),
    (Order, "quantity", None, "Getter for the quantity."),
    (Order, "status", None, "Getter for the order status."),
    (Order, "timestamp", None, "Getter for the timestamp."),
    (Fill, "quantity", None, "Getter for the quantity filled."),
    (Fill, "price", None, "Getter for the fill price."),
    (Fill, "buy_id", None, "Getter for the buy order ID."),
    (Fill, "sell_id", None, "Getter for the sell order ID."),
    (Fill, "timestamp", None, "Getter for the fill timestamp."),
    (OrderBook, "create_order", "(self, side, price, quantity)",
     "Creates an order (but does not add to the book) based off the book's tick size."),
    (OrderBook, "add", "(self, order)",
     "Adds an order to the book, attempting to match it with resting orders."),
    (OrderBook, "cancel", "(self, order_id)", "Cancels an order by its ID."),
    (OrderBook, "get_order", "(self, order_id)",
     "Retrieves an order by its ID. Returns None if the order is not found."),
    (OrderBook, "update_order", "($self, order)",
     "Helper method to update an order in the `orders` map."),
    (OrderBook, "best_bid", "($self)", "Helper method to get best bid"),
    (OrderBook, "best_ask", "($self)", "Helper method to get best ask"),
    (OrderBook, "buy_volume", "($self)", "Helper method to calculate total buy volume"),
    (OrderBook, "sell_volume", "($self)", "Helper method to calculate total sell volume"),
    (OrderBook, "spread", "($self)",
     "Calculate the current spread in the order book.\n"
     "Returns None if there are no orders on either side.\n"
     "The spread is returned in the same units as the prices (not ticks)."),
    (OrderBook, "buy_orders", None, "Get a list of all buy orders"),
    (OrderBook, "sell_orders", None, "Get a list of all sell orders"),
    (OrderBook, "tick_size", None, "Return the tick size for informational purposes"),
]


@pytest.mark.parametrize("cls, name, signature, doc", MEMBER_DOCS,
                         ids=[f"{c.__name__}.{n}" for c, n, *_ in MEMBER_DOCS])
def test_member_docs(cls, name, signature, doc):
    member = vars(cls)[name]
    assert member.__doc__ == doc
    if signature is not None:
        assert member.__text_signature__ == signature


def instances():
    order = Order(OrderType.Buy, 100, 1.0)
    return [
        (order, ["id", "side", "price_in_ticks", "quantity", "status", "timestamp"]),
        (Fill(1.0, 2.0, "a", "b", 3), ["quantity", "price", "buy_id", "sell_id", "timestamp"]),
        (OrderBook(), ["tick_size", "buy_orders", "sell_orders"]),
        (OrderType.Buy, []),
        (order.side, []),
        (OrderStatus.Canceled, []),
    ]


@pytest.mark.parametrize("index", range(6))
def test_instances_are_closed(index):
    obj, attrs = instances()[index]
    for name in attrs + ["extra"]:
        with pytest.raises(AttributeError):
            setattr(obj, name, 1)
    for name in attrs:
        with pytest.raises(AttributeError):
            delattr(obj, name)
    assert not hasattr(obj, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not gc.is_tracked(obj)
    assert str(obj) == repr(obj)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_no_subclassing(cls):
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


def members(cls):
    return [name for name in vars(cls) if not name.startswith("__")] + ["__new__", "__repr__", "extra"]


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_are_immutable(cls):
    before = dict(vars(cls))
    for name in members(cls):
        with pytest.raises(TypeError):
            setattr(cls, name, lambda *a, **k: object.__new__(cls))
    for name in members(cls)[:-1]:
        with pytest.raises(TypeError):
            delattr(cls, name)
    assert dict(vars(cls)) == before
    assert OrderType.Buy is before.get("Buy", OrderType.Buy) and int(OrderType.Buy) == 0


def samples():
    return [Order(OrderType.Buy, 100, 1.0), Fill(1.0, 2.0, "a", "b", 3), OrderBook(), OrderType.Sell,
            OrderStatus.Filled]


@pytest.mark.parametrize("index", range(5))
def test_no_route_to_an_unbuilt_instance(index):
    """Every way of making an instance without its constructor is refused."""
    obj = samples()[index]
    cls = type(obj)
    routes = [lambda: object.__new__(cls), lambda: copyreg._reconstructor(cls, object, None),
              lambda: copy.copy(obj), lambda: copy.deepcopy(obj)]
    routes += [lambda p=p: pickle.dumps(obj, p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    for route in routes:
        with pytest.raises(TypeError):
            route()
    for other in CLASSES:
        with pytest.raises(TypeError):
            obj.__class__ = other
    assert type(obj) is cls and str(obj) == repr(obj)
