"""Argument parsing, argument conversion and access rules shared by every call."""

import math
import operator
import random
import signal
import subprocess
import sys
import threading
from fractions import Fraction

import pytest

from quoranth import Fill, Order, OrderBook, OrderStatus, OrderType

B = OrderType.Buy


def error_text(func, arg):
    """The interpreter's own message for a failed conversion of ``arg``."""
    with pytest.raises(Exception) as info:
        func(arg)
    return str(info.value)


class Outer:
    class Inner:
        pass


class Hook:
    """Number-like object that runs ``callback`` while the module converts it."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __float__(self):
        self.callback()
        return float(self.value)

    def __index__(self):
        self.callback()
        return int(self.value)


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    __index__ = __float__


class TypeErrorSubclass(TypeError):
    pass


@pytest.fixture
def o():
    return Order(OrderType.Sell, 100, 5.0)


PARSING = [
    (lambda o, bk: Order(), "Order.__new__() missing 3 required positional arguments: "
                            "'side', 'price_in_ticks', and 'quantity'"),
    (lambda o, bk: Order(B), "Order.__new__() missing 2 required positional arguments: "
                             "'price_in_ticks' and 'quantity'"),
    (lambda o, bk: Order(quantity=1.0), "Order.__new__() missing 2 required positional arguments: "
                                        "'side' and 'price_in_ticks'"),
    (lambda o, bk: Order(B, 1), "Order.__new__() missing 1 required positional argument: 'quantity'"),
    (lambda o, bk: Order(B, 1, 1.0, 4), "Order.__new__() takes 3 positional arguments but 4 were given"),
    (lambda o, bk: Order(1, 2, 3, 4, nope=5), "Order.__new__() takes 3 positional arguments but 4 were given"),
    (lambda o, bk: Order(B, 1, 1.0, side=B), "Order.__new__() got multiple values for argument 'side'"),
    (lambda o, bk: Order(B, nope=1, side=B), "Order.__new__() got an unexpected keyword argument 'nope'"),
    (lambda o, bk: Order(nope=1), "Order.__new__() got an unexpected keyword argument 'nope'"),
    (lambda o, bk: Fill(), "Fill.__new__() missing 5 required positional arguments: "
                           "'quantity', 'price', 'buy_id', 'sell_id', and 'timestamp'"),
    (lambda o, bk: Fill(1.0, 1.0, buy_id="a", timestamp=0),
     "Fill.__new__() missing 1 required positional argument: 'sell_id'"),
    (lambda o, bk: OrderBook(0.01, 2),
     "OrderBook.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda o, bk: OrderBook(0.01, tick_size=0.02),
     "OrderBook.__new__() got multiple values for argument 'tick_size'"),
    (lambda o, bk: o.can_match(o, o), "Order.can_match() takes 1 positional arguments but 2 were given"),
    (lambda o, bk: o.fill(), "Order.fill() missing 2 required positional arguments: 'incoming' and 'tick_size'"),
    # parsing comes before access, so these are not "Already borrowed"
    (lambda o, bk: o.fill(o), "Order.fill() missing 1 required positional argument: 'tick_size'"),
    (lambda o, bk: o.fill(tick_size=1.0, incoming=o, other=o),
     "Order.fill() got an unexpected keyword argument 'other'"),
    (lambda o, bk: bk.add(), "OrderBook.add() missing 1 required positional argument: 'incoming_order'"),
    (lambda o, bk: bk.add(o, o), "OrderBook.add() takes 1 positional arguments but 2 were given"),
    (lambda o, bk: bk.add(order=o), "OrderBook.add() got an unexpected keyword argument 'order'"),
    (lambda o, bk: bk.create_order(B), "OrderBook.create_order() missing 2 required positional arguments: "
                                       "'price' and 'quantity'"),
    (lambda o, bk: bk.update_order(o, o), "OrderBook.update_order() takes 1 positional arguments but 2 were given"),
]


def test_keywords_accepted_for_every_parameter(o, book):
    assert Order(quantity=2.0, side=B, price_in_ticks=7).price_in_ticks == 7
    assert o.can_match(other=Order(B, 100, 1.0)) is True
    assert o.fill(tick_size=1.0, incoming=Order(B, 100, 1.0)).quantity == 1.0
    assert book.add(incoming_order=o) == []
    assert book.get_order(order_id=o.id).id == o.id
    assert book.update_order(order=o) is None
    assert book.cancel(order_id=o.id) is True
    assert book.create_order(quantity=1.0, price=1.0, side=B).price_in_ticks == 100
    assert OrderBook(tick_size=0.5).tick_size == 0.5


CONVERSION = [
    (lambda o, bk: Order(5, 1, 1.0), "argument 'side': 'int' object cannot be converted to 'OrderType'"),
    (lambda o, bk: Order(OrderStatus.Open, 1, 1.0),
     "argument 'side': 'OrderStatus' object cannot be converted to 'OrderType'"),
    (lambda o, bk: Order(B, 1.5, 1.0), "argument 'price_in_ticks': " + error_text(operator.index, 1.5)),
    (lambda o, bk: Order(B, 1, "1"), "argument 'quantity': " + error_text(math.sqrt, "1")),
    # conversion runs in parameter order, before any validation
    (lambda o, bk: Order(quantity="x", price_in_ticks="y", side=5),
     "argument 'side': 'int' object cannot be converted to 'OrderType'"),
    (lambda o, bk: Order(B, 0, "x"), "argument 'quantity': " + error_text(math.sqrt, "x")),
    (lambda o, bk: o.can_match(Outer.Inner()),
     "argument 'other': 'Outer.Inner' object cannot be converted to 'Order'"),
    (lambda o, bk: o.fill(bk, 0.01), "argument 'incoming': 'OrderBook' object cannot be converted to 'Order'"),
    (lambda o, bk: o.fill(Order(B, 100, 1.0), "x"), "argument 'tick_size': " + error_text(math.sqrt, "x")),
    (lambda o, bk: Fill(1.0, "x", "a", "b", 0), "argument 'price': " + error_text(math.sqrt, "x")),
    (lambda o, bk: Fill(1.0, 1.0, 5, "b", 0), "argument 'buy_id': 'int' object cannot be converted to 'PyString'"),
    (lambda o, bk: Fill(1.0, 1.0, "a", "b", 1.5), "argument 'timestamp': " + error_text(operator.index, 1.5)),
    (lambda o, bk: OrderBook("1"), "argument 'tick_size': " + error_text(math.sqrt, "1")),
    (lambda o, bk: bk.add(5), "argument 'incoming_order': 'int' object cannot be converted to 'Order'"),
    (lambda o, bk: bk.cancel(5), "argument 'order_id': 'int' object cannot be converted to 'PyString'"),
    (lambda o, bk: bk.get_order(None), "argument 'order_id': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda o, bk: bk.update_order(Fill(1.0, 1.0, "a", "b", 0)),
     "argument 'order': 'Fill' object cannot be converted to 'Order'"),
]


# Parsing and conversion failures: exactly TypeError, with the exact text.
@pytest.mark.parametrize("call, text", PARSING + CONVERSION, ids=[t for _, t in PARSING + CONVERSION])
def test_type_errors_have_exact_messages(o, book, call, text):
    with pytest.raises(TypeError) as info:
        call(o, book)
    assert type(info.value) is TypeError
    assert str(info.value) == text


@pytest.mark.parametrize("call, exc_type", [
    (lambda o, bk: Order(B, 2**63, 1.0), OverflowError),
    (lambda o, bk: Order(B, 1, 10**400), OverflowError),
    (lambda o, bk: Fill(1.0, 1.0, "a", "b", -1), OverflowError),
    (lambda o, bk: Fill(1.0, 1.0, "a", "b", 2**64), OverflowError),
    (lambda o, bk: OrderBook(10**400), OverflowError),
    (lambda o, bk: o.fill(Order(B, 100, 1.0), -(10**400)), OverflowError),
    (lambda o, bk: Fill(1.0, 1.0, "\ud800", "b", 0), UnicodeEncodeError),
    (lambda o, bk: bk.cancel("\udc80"), UnicodeEncodeError),
    (lambda o, bk: bk.get_order("\ud800"), UnicodeEncodeError),
])
def test_other_conversion_errors_pass_unprefixed(o, book, call, exc_type):
    with pytest.raises(exc_type) as info:
        call(o, book)
    assert type(info.value) is exc_type
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("build, name", [
    (lambda v: Order(B, 1, v), "quantity"),
    (lambda v: Order(B, v, 1.0), "price_in_ticks"),
    (lambda v: Fill(1.0, 1.0, "a", "b", v), "timestamp"),
    (lambda v: OrderBook(v), "tick_size"),
])
def test_errors_raised_by_conversion_hooks(build, name):
    cause = ZeroDivisionError("root")
    original = TypeError("boom")
    original.__cause__ = cause
    with pytest.raises(TypeError) as info:
        build(Raising(original))
    assert type(info.value) is TypeError and info.value is not original
    assert str(info.value) == f"argument '{name}': boom"
    assert info.value.__cause__ is cause

    with pytest.raises(TypeError) as info:
        build(Raising(TypeError("plain")))
    assert str(info.value) == f"argument '{name}': plain" and info.value.__cause__ is None

    for exc in (TypeErrorSubclass("sub"), ValueError("val"), KeyError("key")):
        with pytest.raises(type(exc)) as info:
            build(Raising(exc))
        assert type(info.value) is type(exc) and str(info.value) == str(exc)


def test_accepted_argument_types():
    class Text(str):
        pass

    assert Order(B, Hook(7, lambda: None), 1).price_in_ticks == 7
    qty = Order(B, 1, Hook(2.5, lambda: None)).quantity
    assert qty == 2.5 and type(qty) is float
    fill = Fill(1, 2, Text("a"), Text("b"), Hook(9, lambda: None))
    assert (fill.quantity, fill.price, fill.buy_id, fill.timestamp) == (1.0, 2.0, "a", 9)
    assert type(fill.buy_id) is str and type(fill.price) is float


def state(*orders):
    return [(x.quantity, x.status, x.is_open()) for x in orders]


def test_fill_with_itself_is_refused_and_changes_nothing(o):
    for call in (lambda: o.fill(o, 0.01), lambda: o.fill(incoming=o, tick_size="not a number")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == "Already borrowed"
        assert state(o) == [(5.0, OrderStatus.Open, True)]
    assert o.can_match(o) is False


REENTRY = [
    # shared access held on the book by create_order
    ("book", lambda bk, a, b, c: bk.add(b), RuntimeError, "Already borrowed"),
    ("book", lambda bk, a, b, c: bk.cancel(b.id), RuntimeError, "Already borrowed"),
    ("book", lambda bk, a, b, c: bk.update_order(b), RuntimeError, "Already borrowed"),
    # exclusive access held on a (receiver) and b (incoming) by a.fill(b, ...)
    ("fill", lambda bk, a, b, c: a.quantity, RuntimeError, "Already mutably borrowed"),
    ("fill", lambda bk, a, b, c: b.can_match(c), RuntimeError, "Already mutably borrowed"),
    ("fill", lambda bk, a, b, c: c.can_match(a), RuntimeError, "Already mutably borrowed"),
    ("fill", lambda bk, a, b, c: c.fill(a, 0.01), RuntimeError, "Already borrowed"),
    ("fill", lambda bk, a, b, c: bk.add(a), RuntimeError, "Already mutably borrowed"),
    ("fill", lambda bk, a, b, c: a.fill(), TypeError, "argument 'tick_size': Order.fill() missing 2 "
                                                      "required positional arguments: 'incoming' and 'tick_size'"),
]


@pytest.mark.parametrize("outer, inner, exc_type, text", REENTRY)
def test_reentry_is_refused(book, sell, buy, outer, inner, exc_type, text):
    a, b, c = sell(100, 5.0), buy(105, 3.0), buy(101, 1.0)
    hook = Hook(0.01, lambda: inner(book, a, b, c))
    with pytest.raises(exc_type) as info:
        if outer == "book":
            book.create_order(B, hook, 1.0)
        else:
            a.fill(b, hook)
    assert str(info.value) == text
    # nothing changed and every access was released
    assert state(a, b, c) == [(5.0, OrderStatus.Open, True), (3.0, OrderStatus.Open, True),
                              (1.0, OrderStatus.Open, True)]
    assert book.buy_orders == [] and book.get_order(b.id) is None
    assert a.fill(b, 0.01).quantity == 3.0
    assert book.add(c) == [] and book.get_order(c.id).quantity == 1.0


def test_nested_shared_access_is_allowed(book, buy):
    book.add(buy(100, 2.0))
    seen = []
    hook = Hook(1.5, lambda: seen.append((book.best_bid(), book.tick_size, len(book.buy_orders))))
    order = book.create_order(B, hook, 1.0)
    assert order.price_in_ticks == 150
    assert seen == [((100, 2.0), 0.01, 1)]


@pytest.mark.parametrize("call", [
    lambda o, bk: bk.add(5),
    lambda o, bk: bk.cancel(5),
    lambda o, bk: bk.update_order("x"),
    lambda o, bk: bk.add(Order(B, 200, 1.0), 5),
    lambda o, bk: bk.create_order(B, 1.0, "x"),
])
def test_failed_book_call_changes_nothing(o, book, call):
    book.add(o)
    before = repr(book), [x.id for x in book.sell_orders], repr(book.get_order(o.id))
    with pytest.raises(TypeError):
        call(o, book)
    assert (repr(book), [x.id for x in book.sell_orders], repr(book.get_order(o.id))) == before
    assert book.buy_orders == []



# ---------------------------------------------------------------- threads
# A call that meets an access held by another thread waits for it (with the
# interpreter lock released) if its own thread holds no access; a thread that
# holds one is refused at once, as re-entry is. Events order the threads, and
# every wait on them is bounded.

LIMIT = 10


class Paused:
    """A __float__ that, inside the module's call, signals `inside` and waits for `go`."""

    def __init__(self, value=0.01):
        self.value, self.inside, self.go = value, threading.Event(), threading.Event()

    def __float__(self):
        self.inside.set()
        assert self.go.wait(LIMIT)
        return self.value


def start(call, ready=None):
    """Runs `call` in a new thread; returns once it has started (or once `ready` is set)."""
    result, entered = {}, threading.Event()

    def target():
        entered.set()
        try:
            result["value"] = call()
        except BaseException as error:  # noqa: B902
            result["error"] = error
    thread = threading.Thread(target=target)
    thread.start()
    assert (ready or entered).wait(LIMIT)
    return thread, result


def test_other_threads_wait_for_the_holder(book, sell, buy):
    resting = sell(100, 5.0)
    book.add(resting)
    paused = Paused()
    holder, held = start(lambda: resting.fill(buy(101, 2.0), paused), paused.inside)
    # the book is held shared by no one; the order exclusively by the holder
    waiters = [start(lambda: resting.quantity), start(lambda: repr(resting)),
               start(lambda: book.add(resting)), start(lambda: buy(100, 1.0).can_match(resting))]
    holder.join(0.2)
    assert all(thread.is_alive() for thread, _ in waiters)  # waiting, not refused
    paused.go.set()
    for thread, _ in [(holder, held)] + waiters:
        thread.join(LIMIT)
        assert not thread.is_alive()
    assert held["value"].quantity == 2.0
    results = [result.get("value", result.get("error")) for _, result in waiters]
    assert results[0] == 3.0 and results[1].startswith("[Sell 3 @ 100]")  # they saw the finished fill
    assert results[2] == [] and results[3] is True
    assert book.sell_volume() == 5.0 + 3.0


def test_a_call_that_waited_for_its_argument_then_waits_for_its_receiver(book, sell, buy):
    """`add` waits for an order another thread holds; meanwhile a third thread takes the book."""
    order, order_held, book_held = buy(100, 1.0), Paused(), Paused()
    holder, _ = start(lambda: order.fill(sell(100, 0.5), order_held), order_held.inside)
    adder, added = start(lambda: book.add(order))
    adder.join(0.1)
    taker, _ = start(lambda: book.reduce("none", book_held), book_held.inside)
    order_held.go.set()
    holder.join(LIMIT)
    adder.join(0.2)
    assert adder.is_alive()  # not while the taker holds the book
    book_held.go.set()
    for thread in (adder, taker):
        thread.join(LIMIT)
        assert not thread.is_alive()
    assert added == {"value": []} and [o.quantity for o in book.buy_orders] == [0.5]


def test_a_thread_that_holds_an_access_is_refused(book, buy):
    other = OrderBook()
    paused = Paused()
    holder, _ = start(lambda: book.create_order(B, paused, 1.0), paused.inside)
    seen = []
    # this thread holds `other` (shared) while its hook meets `book`, held by the holder
    hook = Hook(0.01, lambda: seen.append(pytest.raises(RuntimeError, book.add, buy(100, 1.0)).value))
    try:
        assert other.create_order(B, hook, 1.0).price_in_ticks == 1
    finally:
        paused.go.set()
        holder.join(LIMIT)
    assert [str(e) for e in seen] == ["Already borrowed"]
    assert book.buy_orders == [] and book.add(buy(100, 1.0)) == []


@pytest.mark.skipif(not hasattr(signal, "pthread_kill"), reason="needs signals to a thread")
def test_a_waiting_main_thread_still_handles_signals(book, buy):
    class Alarm(Exception):
        pass

    def ring(signum, frame):
        raise Alarm

    assert threading.current_thread() is threading.main_thread()
    paused = Paused()
    holder, _ = start(lambda: book.create_order(B, paused, 1.0), paused.inside)
    previous = signal.signal(signal.SIGUSR1, ring)
    timer = threading.Timer(0.05, signal.pthread_kill, (threading.get_ident(), signal.SIGUSR1))
    try:
        with pytest.raises(Alarm):
            timer.start()
            book.add(buy(100, 1.0))  # waits for the holder until the signal interrupts it
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)
        paused.go.set()
        holder.join(LIMIT)
    assert book.buy_orders == [] and book.add(buy(100, 1.0)) == [] and len(book.buy_orders) == 1


def test_daemon_threads_inside_calls_let_the_interpreter_exit():
    """At exit the interpreter ends a daemon thread that wakes inside a call (from a hook, or from
    waiting for a flag) by unwinding its stack, through the module's frames."""
    script = """if True:
        import builtins, threading, time
        from array import array
        from quoranth import Order, OrderBook, OrderType
        book, other = OrderBook(), OrderBook()
        class Slow:
            def __float__(self):
                time.sleep(0.3)
                return 1.0
            def __bool__(self):
                time.sleep(0.3)
                return False
        class Column:  # a buffer exporter written in Python: releasing the view runs Python code
            def __init__(self, code, item):
                self.items = array(code, [item])
            def __buffer__(self, flags):
                return memoryview(self.items)
            def __release_buffer__(self, view):
                view.release()
        columns = [Column(code, item) for code, item in zip("bqbqd", (0, 0, 0, 1, 1.0))]
        threading.Thread(target=book.create_order, args=(OrderType.Buy, Slow(), 1.0), daemon=True).start()
        threading.Thread(target=other.apply_batch, args=(*columns, Slow()), daemon=True).start()
        time.sleep(0.05)
        threading.Thread(target=book.add, args=(Order(OrderType.Buy, 1, 1.0),), daemon=True).start()
        time.sleep(0.05)
        class Lingering:  # finalised late in the shutdown, while the threads wake
            def __del__(self, sleep=time.sleep):
                sleep(0.5)
        builtins.lingering = Lingering()
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=LIMIT)
    assert done.returncode == 0 and "runtime error" not in done.stderr, done.stderr


def test_threads_switching_inside_conversions():
    """Threads switch inside slow conversions (Fraction prices, yielding hooks); no valid call fails."""
    book, errors = OrderBook(), []

    class Yielding:
        def __init__(self, value):
            self.value = float(value)

        def __float__(self):
            threading.Event().wait(0)  # hands the interpreter lock to another thread mid-call
            return self.value

    def worker(seed):
        rng = random.Random(seed)
        for _ in range(300):
            try:
                side = rng.choice([OrderType.Buy, OrderType.Sell])
                price = rng.choice([Fraction(99, 100), Fraction(101, 100), Yielding(1.0)])
                order = book.create_order(side, price, Yielding(rng.randint(1, 5)))
                book.add(order)
                if rng.random() < 0.3:
                    book.cancel(order.id)
                book.buy_orders, book.get_order(order.id), repr(book)
            except BaseException as error:  # noqa: B902
                errors.append(error)

    old, threads = sys.getswitchinterval(), [threading.Thread(target=worker, args=(seed,)) for seed in range(4)]
    sys.setswitchinterval(1e-6)
    try:
        [t.start() for t in threads]
        [t.join(60) for t in threads]
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads)
    assert [str(e) for e in errors] == []
    bid, ask, orders = book.best_bid(), book.best_ask(), book.buy_orders + book.sell_orders
    assert bid is None or ask is None or bid[0] < ask[0]
    assert all(o.is_open() and o.quantity > 0 for o in orders)
    assert math.isclose(book.buy_volume() + book.sell_volume(), math.fsum(o.quantity for o in orders))
