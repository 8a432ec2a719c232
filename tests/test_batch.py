"""OrderBook.apply_batch against the same events carried out one call at a time, and bad batches."""

import math
import pickle
import random
from array import array
from pathlib import Path

import pytest

import quoranth
from quoranth import Order, OrderBook, OrderType
from quoranth_replay import read_messages, read_orderbook
from quoranth_replay.plan import make_plan

np = pytest.importorskip("numpy")

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
DAYS = [("AAPL_2012-06-21_34200000_57600000", 10), ("AMZN_2012-06-21_34200000_57600000", 1)]
NOTHING, ADD, REDUCE, CANCEL, TAKE, TAKE_THEN_CANCEL = range(6)
SIDES = (OrderType.Buy, OrderType.Sell)
FILL_COLUMNS = ("event", "buy_key", "sell_key", "price_in_ticks", "quantity", "on_named")
TOP_COLUMNS = ("bid_price", "bid_quantity", "ask_price", "ask_quantity")


class PerCall:
    """Carries out batch events with add, cancel and reduce, one call each, keeping the keys in Python."""

    def __init__(self):
        self.book = OrderBook()
        self.ids, self.keys = {}, {}  # key -> id, id -> key

    def unbind(self, key):
        self.keys.pop(self.ids.pop(key, None), None)

    def apply(self, operations, keys, sides, prices, quantities):
        """The fills as (event, buy_key, sell_key, price_in_ticks, quantity, on_named) and the top of book after each event."""
        book, fills, tops = self.book, [], []
        for event, (operation, key, side, price, quantity) in enumerate(zip(operations, keys, sides, prices, quantities)):
            if operation in (ADD, TAKE, TAKE_THEN_CANCEL):
                order = Order(SIDES[side], price, quantity)
                if operation == ADD:  # a key in use moves to the new order
                    self.unbind(key)
                    self.ids[key], self.keys[order.id] = order.id, key
                made = book.add(order)
                for fill in made:
                    buy, sell = self.keys.get(fill.buy_id, -1), self.keys.get(fill.sell_id, -1)
                    # A take met its named order: one fill, all of it, with that order.
                    named = operation != ADD and len(made) == 1 and fill.quantity == quantity and key >= 0 and key in (buy, sell)
                    fills.append((event, buy, sell, round(fill.price / book.tick_size), fill.quantity, int(named)))
                if operation != ADD:
                    book.cancel(order.id)  # the rest of a take never rests
            if operation in (CANCEL, TAKE_THEN_CANCEL) and key in self.ids:
                book.cancel(self.ids[key])
                self.unbind(key)
            if operation == REDUCE and key in self.ids:
                if book.reduce(self.ids[key], quantity) and book.get_order(self.ids[key]) is None:
                    self.unbind(key)  # reduced to nothing: cancelled
            (bid, *_), (ask, *_) = ([level[:2] for level in side] or [(0, 0.0)] for side in book.depth(1))
            tops.append((*bid, *ask))
        return fills, tops


def batch(book, columns, **options):
    """apply_batch's fills and tops in the per-call helper's shape."""
    result = book.apply_batch(*columns, **options)
    assert all(column.readonly for column in result.values())
    fills = list(zip(*(result[name].tolist() for name in FILL_COLUMNS)))
    tops = list(zip(*(result[name].tolist() for name in TOP_COLUMNS))) if "bid_price" in result else None
    return fills, tops


def same_books(batched, per_call):
    assert batched.depth(10**6) == per_call.book.depth(10**6)
    assert [(o.price_in_ticks, o.quantity) for o in batched.buy_orders + batched.sell_orders] == [
        (o.price_in_ticks, o.quantity) for o in per_call.book.buy_orders + per_call.book.sell_orders]
    # Keyed orders are ordinary orders of the book, under the same keys.
    for key, order_id in per_call.ids.items():
        mine, theirs = batched.get_order(batched.order_id(key)), per_call.book.get_order(order_id)
        assert (mine.side, mine.price_in_ticks, mine.quantity, mine.status) == (
            theirs.side, theirs.price_in_ticks, theirs.quantity, theirs.status)


@pytest.mark.parametrize("day, levels", DAYS)
def test_sample_days_batch_equals_per_call(day, levels):
    messages = read_messages(DATA / f"{day}_message_{levels}.csv")
    plan = make_plan(messages, read_orderbook(DATA / f"{day}_orderbook_{levels}.csv"))
    keys, sides, ticks, sizes = zip(*plan.opening)
    opening = (array("b", [ADD] * len(keys)), array("q", keys), array("b", sides), array("q", ticks), array("d", sizes))
    columns = (plan.operations, plan.keys, plan.sides, plan.ticks, plan.quantities)
    book, reference = OrderBook(), PerCall()
    assert batch(book, opening) == (reference.apply(*opening)[0], None) == ([], None)
    fills, tops = batch(book, columns, top_of_book=True)
    assert (fills, tops) == tuple(reference.apply(*columns))
    assert len(fills) > 90 and sum(fill[4] for fill in fills) > 4000 and sum(fill[5] for fill in fills) > 30
    same_books(book, reference)


def random_flow(seed, events):
    """Adds, takes, reduces and cancels around one price, on a few keys that are often reused."""
    rng = random.Random(seed)
    columns = ([], [], [], [], [])
    for _ in range(events):
        operation = rng.choice((NOTHING, ADD, ADD, ADD, REDUCE, CANCEL, TAKE, TAKE_THEN_CANCEL))
        side = rng.randrange(2)
        price = rng.randint(95, 105) + (3 if side else -3) * (operation == ADD)  # adds mostly rest
        # Eighths, whole numbers, and now and then a multiple of 2^50 (a few
        # pass 2^53 at one level): all exact in single precision too.
        quantity = rng.choice((rng.randint(1, 80) / 8, rng.randint(1, 80), rng.randint(1, 80), rng.randint(1, 3) * 2.0**50))
        for column, value in zip(columns, (operation, rng.randrange(40), side, price, quantity)):
            column.append(value)
    return columns


@pytest.mark.parametrize("seed", range(4))
def test_random_flows_batch_equals_per_call(seed):
    operations, keys, sides, prices, quantities = random_flow(seed, 3000)
    book, reference = OrderBook(), PerCall()
    # In three batches of different buffer kinds: arrays of the exact item types,
    # NumPy columns of other widths (sides as bools) taken every other item
    # (converted), and memoryviews stepping backwards.
    thirds = [slice(0, 1000), slice(1000, 2000), slice(2000, 3000)]
    kinds = [
        lambda s: (array("b", operations[s]), array("q", keys[s]), array("b", sides[s]), array("q", prices[s]), array("d", quantities[s])),
        lambda s: tuple(np.repeat(np.array(column[s], dtype), 2)[::2] for column, dtype in zip(
            (operations, keys, sides, prices, quantities), (np.uint8, np.int32, np.bool_, np.uint64, np.float32))),
        lambda s: tuple(memoryview(array(code, column[s][::-1]))[::-1] for code, column in zip("iqBld", (operations, keys, sides, prices, quantities))),
    ]
    for part, kind in zip(thirds, kinds):
        fills, tops = batch(book, kind(part), top_of_book=True)
        expected = reference.apply(operations[part], keys[part], sides[part], prices[part], quantities[part])
        assert (fills, tops) == tuple(expected)
        assert fills and any(buy == -1 or sell == -1 for _, buy, sell, *_ in fills)
        # Per-call cancels of keyed orders, resting or filled, between batches: their keys go with
        # them, through a pickle too.
        for key in random.Random(part.start).sample(sorted(reference.ids), 5):
            assert book.cancel(book.order_id(key)) and reference.book.cancel(reference.ids[key])
            reference.unbind(key)
        book = pickle.loads(pickle.dumps(book))
        assert [book.order_id(key) is not None for key in range(40)] == [key in reference.ids for key in range(40)]
    same_books(book, reference)


@pytest.mark.parametrize("first, again, then", [
    # Whole sizes whose sum rounds to 2^53 (it is 2^53 + 1), then a take from the front.
    (([ADD] * 3, [0, 1, 2], [0] * 3, [101] * 3, [3 * 2.0**51 - 6, 2.0**51, 7.0]), False,
     ([NOTHING, TAKE], [9, 9], [0, 1], [101] * 2, [1.0, 5.0])),
    # Sizes whose sum overflows: an infinite total is never taken from.
    (([ADD] * 2, [0, 1], [0] * 2, [101] * 2, [2.0**1023] * 2), False,
     ([NOTHING, CANCEL], [9, 0], [0, 0], [101] * 2, [1.0] * 2)),
    # An order resting twice (added again per call), reduced, then cancelled.
    (([ADD] * 2, [0, 2], [0] * 2, [101] * 2, [2.0, 7.0]), True,
     ([NOTHING, REDUCE, ADD, CANCEL], [9, 2, 3, 2], [0] * 4, [101] * 4, [1.0] * 4)),
])
def test_top_of_book_is_the_level_summed_in_queue_order(first, again, then):
    typed = lambda columns: [array(code, column) for code, column in zip("bqbqd", columns)]
    book, reference = OrderBook(), PerCall()
    assert batch(book, typed(first)) == (reference.apply(*first)[0], None)
    if again:
        book.add(book.get_order(book.order_id(2)))
        reference.book.add(reference.book.get_order(reference.ids[2]))
    assert batch(book, typed(then), top_of_book=True) == tuple(reference.apply(*then))


def test_keyed_orders_meet_per_call_orders():
    book = OrderBook()
    before = Order(OrderType.Buy, 1, 1.0).timestamp
    book.apply_batch(b"\x01\x01", array("q", [2**63 - 1, 7]), b"\x00\x01", array("q", [100, 2**31 + 1]), array("d", [5.0, 2.0]))
    after = Order(OrderType.Buy, 1, 1.0).timestamp
    bid_id = book.order_id(2**63 - 1)
    assert book.get_order(bid_id).quantity == 5.0 and book.order_id(-1) is None and book.order_id(8) is None
    # The orders of one batch carry one time: when it began.
    stamps = {book.get_order(book.order_id(key)).timestamp for key in (2**63 - 1, 7)}
    assert len(stamps) == 1 and before <= stamps.pop() <= after
    # A per-call order trades with a keyed one; a per-call cancel removes one.
    fill, = book.add(Order(OrderType.Sell, 100, 3.0))
    assert (fill.buy_id, fill.quantity, book.queue_position(bid_id)) == (bid_id, 3.0, (0, 0.0))
    assert book.cancel(book.order_id(7)) and book.depth() == ([(100, 2.0, 1)], []) and book.order_id(7) is None
    # A take fills the keyed order (at the sell's price, as add does); its stand-in
    # has no key and nothing of it rests.
    result = book.apply_batch(b"\x05", array("q", [2**63 - 1]), b"\x01", array("q", [99]), array("d", [4.0]))
    assert [result[name].tolist() for name in FILL_COLUMNS] == [[0], [2**63 - 1], [-1], [99], [2.0], [0]]
    assert book.depth() == ([], []) and book.order_id(2**63 - 1) is None


def test_a_key_goes_with_its_order_whichever_call_removes_it():
    book = OrderBook()
    book.apply_batch(b"\x01" * 4, array("q", [1, 2, 3, 4]), b"\x01" * 4, array("q", [100] * 4), array("d", [1.0] * 4))
    book.add(Order(OrderType.Buy, 100, 1.0))  # fills key 1's order, which stays indexed as Filled
    book.apply_batch(b"\x01", array("q", [5]), b"\x00", array("q", [100]), array("d", [1.0]))  # 5 and 2 fill
    ids = {key: book.order_id(key) for key in range(1, 6)}
    assert book.cancel(ids[1]) and book.reduce(ids[3], 1.0) and book.cancel(ids[5])
    assert [book.order_id(key) for key in range(1, 6)] == [None, ids[2], None, ids[4], None]
    assert [pickle.loads(pickle.dumps(book)).order_id(key) for key in (1, 2)] == [None, ids[2]]
    # A filled keyed order added again (as unpickling may rebuild it) rests under its key once more.
    book.add(quoranth._restore_order(ids[2], 1, 100, 2.0, 0, book.get_order(ids[2]).timestamp))
    assert book.cancel(ids[2]) and book.order_id(2) is None and book.get_order(ids[2]) is None
    # An order that never had a key, kept where key 7's filled order was, comes to rest without it.
    book = OrderBook()
    book.apply_batch(b"\x01\x04", array("q", [7, -1]), b"\x01\x00", array("q", [100, 100]), array("d", [1.0, 1.0]))
    book.cancel(book.order_id(7))
    order = Order(OrderType.Buy, 100, 1.0)
    book.update_order(order)  # indexed, resting nowhere
    book.add(order)
    taken = book.apply_batch(b"\x04", array("q", [7]), b"\x01", array("q", [100]), array("d", [1.0]))
    assert (taken["buy_key"].tolist(), taken["on_named"].tolist()) == ([-1], [0])


@pytest.mark.parametrize(
    "event, error, message",
    [
        ((9, 0, 0, 100, 1.0), ValueError, "event 2: unknown operation"),
        ((ADD, 0, 2, 100, 1.0), ValueError, "event 2: side must be 0 (Buy) or 1 (Sell)"),
        ((TAKE, 0, 1, 0, 1.0), ValueError, "event 2: price_in_ticks must be positive"),
        ((ADD, 0, 0, -(2**63), 1.0), ValueError, "event 2: price_in_ticks must be positive"),
        ((REDUCE, 0, 0, 100, 0.0), ValueError, "event 2: quantity must be positive"),
        ((TAKE_THEN_CANCEL, 0, 1, 100, math.nan), ValueError, "event 2: quantity must be positive"),
        ((ADD, 0, 0, 100, math.inf), ValueError, "event 2: quantity must be finite"),
        ((ADD, -1, 0, 100, 1.0), ValueError, "event 2: key must not be negative"),
    ],
)
def test_a_bad_event_is_named_and_nothing_is_applied(event, error, message):
    book = OrderBook()
    book.apply_batch(b"\x01", array("q", [0]), b"\x00", array("q", [90]), array("d", [1.0]))
    good = [(ADD, 1, 1, 110, 1.0), (CANCEL, 0, 0, 1, 1.0)]
    columns = [list(column) for column in zip(*good, event)]
    with pytest.raises(error, match=f"^{message}$".replace("(", r"\(").replace(")", r"\)")):
        book.apply_batch(array("b", columns[0]), array("q", columns[1]), array("b", columns[2]), array("q", columns[3]), array("d", columns[4]))
    assert book.depth() == ([(90, 1.0, 1)], []) and book.order_id(1) is None


def test_bad_columns_are_refused():
    book = OrderBook()
    one = (b"\x01", array("q", [1]), b"\x00", array("q", [100]), array("d", [1.0]))
    cases = [
        ((b"\x01\x01", *one[1:]), ValueError, "the event columns must have the same length"),
        ((*one[:3], one[3], array("q", [1, 2])), ValueError, "the event columns must have the same length"),
        ((array("q", [257]), *one[1:]), ValueError, "argument 'operations': item 0 is out of range for its column"),
        ((one[0], np.array([2**63], np.uint64), *one[2:]), ValueError, "argument 'keys': item 0 is out of range for its column"),
        ((one[0], array("d", [1.0]), *one[2:]), TypeError, "argument 'keys': expected a buffer of integers"),
        ((one[0], np.zeros((1, 1), np.int64), *one[2:]), TypeError, "argument 'keys': expected a one-dimensional buffer of numbers"),
        ((one[0], np.array([1], ">i8"), *one[2:]), TypeError, "argument 'keys': expected a one-dimensional buffer of numbers in native byte order"),
        ((one[0], "1", *one[2:]), TypeError, "argument 'keys': a bytes-like object is required"),
    ]
    for columns, error, message in cases:
        with pytest.raises(error, match=message):
            book.apply_batch(*columns)
    assert book.depth() == ([], [])
    empty = book.apply_batch(b"", array("q"), b"", array("q"), array("d"), top_of_book=True)
    assert sorted(empty) == sorted(FILL_COLUMNS + TOP_COLUMNS) and not any(map(len, empty.values()))
    # Every column is a view of its own: releasing one (as a with block does) leaves the others usable.
    with empty["event"]:
        pass
    again = book.apply_batch(b"", array("q"), b"", array("q"), array("d"))
    assert len(empty["buy_key"]) == 0 and not any(map(len, again.values()))
