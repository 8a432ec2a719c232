"""Module object and the common properties of its five classes."""

import ast
import copy
import copyreg
import gc
import hashlib
import importlib
import pickle
import re
import subprocess
import sys
import textwrap
import weakref
from pathlib import Path

import pytest

import quoranth
from quoranth import Fill, Order, OrderBook, OrderStatus, OrderType

CLASSES = [Order, Fill, OrderBook, OrderType, OrderStatus]


def test_module_contents():
    assert quoranth.__all__ == ["Order", "Fill", "OrderBook", "OrderType", "OrderStatus"]
    assert quoranth.__doc__ == ""
    public = [name for name in vars(quoranth) if not name.startswith("_")]
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


ROOT = Path(__file__).resolve().parent.parent
LITERAL = r'"(?:[^"\\]|\\.)*"'


def literals(text):
    """The C++ string literals in `text`, adjacent ones joined, as Python strings."""
    joined, parts = [], re.split(r"(" + LITERAL + r"|,)", text)
    current = None
    for part in parts:
        if part.startswith('"'):
            current = (current or "") + ast.literal_eval(part)
        elif part == ",":
            joined.append(current)
            current = None
    return joined + ([current] if current is not None else [])


def declarations():
    """Per class, from the binding's declaration rows: its texts and its members in row order."""
    found = {}
    for path in sorted((ROOT / "src" / "module").glob("bind_*.cpp")):
        source = path.read_text()
        for match in re.finditer(r'const ClassDefinition \w+\{(.*?)\n\};', source, re.S):
            body = match.group(1)
            field = lambda name: re.search(rf"\.{name} = ((?:{LITERAL}\s*)+)", body)  # noqa: E731
            name = literals(field("name").group(1))[0]
            signature = field("text_signature")
            members = [(m[0], *literals(m[1])) for m in re.findall(
                rf'method<"(\w+)".*?>\(\s*((?:{LITERAL}\s*,?\s*)+)\)', body, re.S)]
            members += [(None, *literals(m)) for m in re.findall(
                rf'attribute<[^>]*>\(((?:{LITERAL}\s*,?\s*)+)\)', body, re.S)]
            found[name] = (literals(field("doc").group(1))[0], signature and literals(signature.group(1))[0],
                           members, re.findall(r'(?:member<[^>]*>)\("(\w+)"\)', body))
    return found


DECLARED = declarations()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity_and_texts(cls):
    name = cls.__name__
    doc, signature, members, class_attributes = DECLARED[name]
    assert cls.__qualname__ == name and cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>" and cls.__bases__ == (object,)
    assert (cls.__doc__, cls.__text_signature__) == (doc, signature)
    names = []
    for method, *texts in members:
        if method is None:  # attribute: name, doc
            names.append(texts[0])
            assert vars(cls)[texts[0]].__doc__ == texts[1]
        else:               # method: signature, doc
            names.append(method)
            assert (vars(cls)[method].__text_signature__, vars(cls)[method].__doc__) == tuple(texts)
    assert [n for n in vars(cls) if not n.startswith("__")] == names + class_attributes  # in row order


# Members this project added; their texts are its own, not frozen interface.
ADDED_MEMBERS = {"depth", "reduce", "queue_position", "apply_batch", "order_id"}


def test_frozen_texts_are_unchanged():
    # Class and member texts are frozen interface: any change to one of them
    # changes this digest.
    texts = [repr((name, doc, signature, [m for m in members if m[0] not in ADDED_MEMBERS]))
             for name, (doc, signature, members, _) in sorted(DECLARED.items())]
    assert len(DECLARED) == 5
    assert hashlib.sha256("\n".join(texts).encode()).hexdigest() == FROZEN_DIGEST


FROZEN_DIGEST = "78f9256b2ac3416f14b925297921e15cc181386ae289920ad9df60d4a22b76c5"


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
    """Every way of making an instance without its constructor is refused; copy and pickle
    rebuild through the module's own reconstructors, so they give whole instances."""
    obj = samples()[index]
    cls = type(obj)
    for route in [lambda: object.__new__(cls), lambda: copyreg._reconstructor(cls, object, None)]:
        with pytest.raises(TypeError):
            route()
    made = [copy.copy(obj), copy.deepcopy(obj)]
    made += [pickle.loads(pickle.dumps(obj, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    assert all(type(m) is cls and repr(m) == repr(obj) for m in made)
    for other in CLASSES:
        with pytest.raises(TypeError):
            obj.__class__ = other
        if other is not cls:  # another class's constructor for this class
            with pytest.raises(TypeError):
                other.__new__(cls, *{Order: (OrderType.Buy, 1, 1.0), Fill: (1.0, 1.0, "a", "b", 0)}.get(other, ()))
    assert type(obj) is cls and str(obj) == repr(obj)
