"""The replay package: real order flow through the book, the caller's own orders, and the message semantics."""

import copy
import pickle
import subprocess
import sys
from array import array
from pathlib import Path

import pytest

import quoranth
from quoranth import OrderType
from quoranth_replay import MessageFile, OrderbookFile, Replay, ReplayInputError, read_messages, read_orderbook

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"
AAPL_MESSAGES = DATA / "AAPL_2012-06-21_34200000_57600000_message_10.csv"
AAPL_ORDERBOOK = DATA / "AAPL_2012-06-21_34200000_57600000_orderbook_10.csv"
AMZN_MESSAGES = DATA / "AMZN_2012-06-21_34200000_57600000_message_1.csv"
AMZN_ORDERBOOK = DATA / "AMZN_2012-06-21_34200000_57600000_orderbook_1.csv"
HEADER = "Time,Type,OrderId,Size,Price,Direction\n"


def write(path, rows, header=""):
    path.write_text(header + "".join(",".join(map(str, row)) + "\n" for row in rows))
    return path


def exchange_view(messages):
    """Remaining visible size per side after the messages, and the size executed, from the messages alone."""
    remaining, sides, executed = {}, {}, 0
    for m in map(messages.__getitem__, range(len(messages))):
        if m.type == 1:
            remaining[m.order_id], sides[m.order_id] = m.size, m.direction
        elif m.order_id in remaining and m.type in (2, 3, 4):
            remaining[m.order_id] = 0 if m.type == 3 else remaining[m.order_id] - m.size
            executed += m.size if m.type == 4 else 0
    buys = sum(size for oid, size in remaining.items() if sides[oid] == 1)
    return buys, sum(remaining.values()) - buys, executed


def test_aapl_follows_the_exchange():
    replay = Replay(AAPL_MESSAGES, AAPL_ORDERBOOK)
    replay.run()
    agreement, reference = replay.agreement, read_orderbook(AAPL_ORDERBOOK)
    assert agreement.compared == len(replay) == 999 and replay.index == 999
    # From the exchange's opening book, best bid and ask agree in price and size
    # (the level's total) after at least 95% of the messages, and at the end.
    assert agreement.both / agreement.compared >= 0.95
    assert agreement.both <= min(agreement.bid, agreement.ask) and agreement.bid <= agreement.bid_price
    (bid,), (ask,) = (side[:1] for side in replay.book.depth(1))
    assert (bid[0] * 100, bid[1]) == (reference.bid_prices[-1], reference.bid_sizes[-1])
    assert (ask[0] * 100, ask[1]) == (reference.ask_prices[-1], reference.ask_sizes[-1])
    # Every execution the replay can place filled the very order the exchange named.
    assert replay.fidelity.executions == replay.fidelity.faithful == 94


def test_aapl_without_the_orderbook_keeps_exactly_what_the_messages_leave():
    replay = Replay(AAPL_MESSAGES)
    replay.run()
    buys, sells, executed = exchange_view(replay.messages)
    # Every execution of a known order trades exactly its size, nothing else trades,
    # and what rests is what the messages leave open.
    assert replay.traded_volume == executed > 0
    assert (replay.book.buy_volume(), replay.book.sell_volume()) == (buys, sells)
    assert replay.agreement.compared == 0


class RunsOutOfMemory:
    """A book whose batches apply the first `share` of their events, then fail as a batch that runs
    out of memory does: with the fills of the events applied, or without (`reports=False`)."""

    def __init__(self, book, share=0.5, reports=True):
        self.book, self.share, self.reports, self.applied = book, share, reports, 0

    def __getattr__(self, name):
        return getattr(self.book, name)

    def apply_batch(self, *columns, top_of_book=False):
        self.applied = int(len(columns[0]) * self.share)
        error = MemoryError("out of memory")
        error.events_applied = self.applied
        fills = self.book.apply_batch(*(column[: self.applied] for column in columns), top_of_book=top_of_book)
        error.fills = fills if self.reports else None
        raise error


class CountedLate(dict):
    """A batch result whose first look-up runs out of memory, as counting it may."""

    def __getitem__(self, name):
        if not getattr(self, "looked", False):
            self.looked = True
            raise MemoryError
        return super().__getitem__(name)


class ResultsCountedLate(RunsOutOfMemory):
    def apply_batch(self, *columns, top_of_book=False):
        return CountedLate(self.book.apply_batch(*columns, top_of_book=top_of_book))


@pytest.mark.parametrize("messages, orderbook", [(AAPL_MESSAGES, AAPL_ORDERBOOK), (AMZN_MESSAGES, AMZN_ORDERBOOK)])
def test_stepping_running_and_depth_views_agree(messages, orderbook):
    stepped, ran, viewed, halted, late = (Replay(messages, orderbook, keep_fills=True) for _ in range(5))
    steps = list(stepped)
    ran.run(100)
    tops = ran.run_top_of_book()
    with pytest.raises(ValueError):
        viewed.run(depth_levels=-1)  # refused before any message is applied
    views = viewed.run(depth_levels=2)
    # A run stopped for lack of memory keeps in step with the messages its book applied, and goes on from there.
    book, halted.book = halted.book, RunsOutOfMemory(halted.book)
    with pytest.raises(MemoryError):
        halted.run()
    assert halted.index == halted.book.applied > 0
    halted.book = book
    halted.run()
    # So does a run whose result could not be counted: it is counted at the next call,
    # even one with no message left to apply.
    book, late.book = late.book, ResultsCountedLate(late.book)
    with pytest.raises(MemoryError):
        late.run()
    assert late.index == len(late)
    late.book = book
    late.run()
    def fills(replay):
        taken = replay.take_fills()
        return taken.index, taken.buy_key, taken.sell_key, taken.ticks, taken.quantity

    kept = fills(stepped)
    for replay in (ran, viewed, halted, late):
        assert (replay.index, replay.fill_count, replay.traded_volume) == (stepped.index, stepped.fill_count, stepped.traded_volume)
        assert (replay.agreement, replay.fidelity) == (stepped.agreement, stepped.fidelity)
        assert fills(replay) == kept and replay.book.depth(10**6) == stepped.book.depth(10**6)
    # The top of book of the batch is the best level of the depth views.
    best = [tuple(side[0][:2] if side else (0, 0.0) for side in view) for view in views[100:]]
    assert best == list(zip(zip(tops.bid_price.tolist(), tops.bid_quantity.tolist()), zip(tops.ask_price.tolist(), tops.ask_quantity.tolist())))
    # A visible execution's fills name the exchange's order, and no order for the stand-in that replays it.
    made = [fill for step in steps for fill in step.fills]
    assert len(made) == stepped.fill_count and sum(fill.quantity for fill in made) == stepped.traded_volume
    assert all(isinstance(fill.buy_id, str) != isinstance(fill.sell_id, str) for step in steps if step.message.type == 4 for fill in step.fills)


def test_each_message_type_and_queue_priority(tmp_path):
    rows = [
        (1.0, 1, 11, 100, 100000, 1),  # buy 100 @ 10.00
        (1.1, 1, 12, 50, 100000, 1),  # buy 50 @ 10.00, behind 11
        (1.2, 1, 13, 40, 100100, -1),  # sell 40 @ 10.01
        (1.3, 2, 11, 30, 100000, 1),  # 11 shrinks to 70 and keeps its place ahead of 12
        (1.4, 4, 11, 20, 100000, 1),  # so an execution of 11 fills 11
        (1.5, 4, 11, 50, 100000, 1),  # 11 used up: its record goes
        (1.6, 3, 99, 10, 100000, 1),  # unknown id, no opening book: nothing
        (1.7, 5, 0, 7, 100050, -1),  # hidden execution, off-tick price: nothing
        (1.8, 7, 0, 0, -1, -1),  # halt indicator
        (1.9, 3, 13, 40, 100100, -1),
    ]
    replay = Replay(write(tmp_path / "flow.csv", rows, HEADER))
    steps = list(replay)
    assert [len(step.fills) for step in steps] == [0, 0, 0, 0, 1, 1, 0, 0, 0, 0]
    assert [step.fills[0].quantity for step in steps[4:6]] == [20.0, 50.0]
    assert steps[4].fills[0].time == 1.4 and steps[4].fills[0].message_index == 4 and not steps[4].fills[0].mine
    assert steps[4].fills[0].sell_id is None  # the execution's stand-in
    assert (replay.fidelity.executions, replay.fidelity.faithful, replay.plan.unplaced) == (2, 2, 1)
    assert replay.book.depth() == ([(1000, 50.0, 1)], [])
    assert replay.book.get_order(steps[4].fills[0].buy_id) is None  # finished and dropped
    with pytest.raises(StopIteration):
        next(replay)


def test_callers_orders_queue_trade_and_cancel(tmp_path):
    rows = [
        (1.0, 1, 11, 100, 100000, 1),  # exchange bid 100 @ 10.00
        (2.0, 4, 11, 100, 100000, 1),  # executed in full, ahead of ours
        (3.0, 1, 13, 80, 100000, 1),  # exchange bid behind ours
        (4.0, 4, 13, 30, 100000, 1),  # the exchange fills 13; here ours is first in the queue
        (5.0, 1, 14, 10, 100200, -1),  # an ask @ 10.02
    ]
    replay = Replay(write(tmp_path / "flow.csv", rows))
    before = replay.place(OrderType.Sell, 1005, 5.0)  # before the first message: rests, nothing to match
    assert before.fills == [] and replay.time == 1.0
    with pytest.raises(TypeError, match="argument 'side'"):
        replay.place("Sell", 1005, 5.0)  # a side is an OrderType member, never its name
    with pytest.raises(TypeError, match="argument 'price_in_ticks'"):
        replay.place(OrderType.Sell, 1005.0, 5.0)
    next(replay)
    mine = replay.place(OrderType.Buy, 1000, 50.0).order_id
    assert replay.queue_position(mine) == (1, 100.0) and replay.is_mine(mine)
    assert next(replay).fills[0].buy_mine is False
    next(replay)
    fill, = next(replay).fills
    assert (fill.time, fill.buy_id, fill.quantity, fill.buy_mine, fill.sell_mine, fill.mine) == (4.0, mine, 30.0, True, False, True)
    assert replay.fidelity.faithful == replay.fidelity.executions - 1
    # A crossing order of the caller's trades at once, stamped with the last message's time.
    placed = replay.place(OrderType.Sell, 1000, 25.0)
    assert [(f.quantity, f.buy_mine, f.sell_mine, f.time, f.message_index) for f in placed.fills] == [
        (20.0, True, True, 4.0, 3), (5.0, False, True, 4.0, 3)]
    assert replay.reduce(before.order_id, 2.0) and replay.book.get_order(before.order_id).quantity == 3.0
    # Only the caller's own orders can be taken away through the replay; what is not
    # an id, or not a quantity to take, is refused as the book refuses it.
    exchange_order = replay.book.buy_orders[0].id
    assert not replay.cancel(exchange_order) and not replay.reduce(exchange_order, 1.0)
    for call in (lambda: replay.cancel(replay.book.get_order(before.order_id)), lambda: replay.reduce(None, 1.0),
                 lambda: replay.is_mine(5)):
        with pytest.raises(TypeError, match="argument 'order_id'"):
            call()
    with pytest.raises(ValueError, match="quantity must be positive"):
        replay.reduce(exchange_order, -7.0)
    assert replay.cancel(before.order_id) and not replay.cancel(before.order_id)
    # Reduced to nothing, an order is gone from the book as if cancelled, and no longer the caller's.
    gone = replay.place(OrderType.Sell, 1010, 5.0).order_id
    assert replay.reduce(gone, 5.0) and not replay.is_mine(gone) and not replay.cancel(gone)
    with pytest.raises(TypeError, match="argument 'key'"):
        replay.exchange_id("a")
    with pytest.raises(AttributeError):
        replay.index = -3  # only the replay moves through the file
    replay.run()
    assert replay.index == len(replay) and replay.book.best_ask() == (1002, 10.0)


def test_the_callers_orders_stay_theirs_when_memory_runs_out(tmp_path):
    replay = Replay(write(tmp_path / "flow.csv", [(1.0, 1, 11, 100, 100000, 1)]))
    next(replay)
    book = replay.book
    mine = replay.place(OrderType.Buy, 990, 50.0).order_id
    # Nothing applied: the order still rests and is still the caller's to cancel.
    replay.book = RunsOutOfMemory(book, share=0)
    with pytest.raises(MemoryError):
        replay.cancel(mine)
    assert replay.is_mine(mine) and book.queue_position(mine) == (0, 0.0)
    # Applied, its result lost: a reduce counts once; an add that traded is the caller's and named.
    replay.book = RunsOutOfMemory(book, share=1, reports=False)
    assert replay.reduce(mine, 10.0) and book.get_order(mine).quantity == 40.0
    with pytest.raises(MemoryError) as raised:
        replay.place(OrderType.Sell, 1000, 5.0)
    placed = raised.value.order_id
    assert replay.is_mine(placed) and book.get_order(placed).status == quoranth.OrderStatus.Filled
    assert replay.cancel(mine) and not replay.is_mine(mine) and book.get_order(mine) is None


def test_an_order_placed_from_a_price_hook_gets_a_key_of_its_own(tmp_path):
    replay, inner = Replay(write(tmp_path / "flow.csv", [(1.0, 1, 11, 100, 100000, 1)])), []

    class Price:
        def __index__(self):
            if not inner:
                inner.append(replay.place(OrderType.Buy, 900, 1.0).order_id)
            return 950

    outer = replay.place(OrderType.Buy, Price(), 2.0).order_id
    assert replay.cancel(inner[0]) and [o.id for o in replay.book.buy_orders] == [outer]

    class Quantity:  # cancels the order it is to be taken off
        def __float__(self):
            replay.cancel(outer)
            return 2.0

    replay.reduce(outer, Quantity())
    assert not replay.is_mine(outer) and replay.book.get_order(outer) is None


def test_an_order_placed_while_its_price_hook_steps_the_replay_arrives_after_that_message(tmp_path):
    replay = Replay(write(tmp_path / "flow.csv", [(1.0, 1, 11, 100, 100000, -1), (2.0, 1, 12, 100, 100100, -1)]), keep_fills=True)
    next(replay)

    class Price:
        def __index__(self):
            next(replay)
            return 1001

    placed = replay.place(OrderType.Buy, Price(), 150.0)
    assert [(f.message_index, f.time) for f in placed.fills] == [(1, 2.0), (1, 2.0)]
    assert replay.take_fills().index.tolist() == [1, 1]


def test_opening_book_stands_for_orders_resting_before_the_file(tmp_path):
    # The exchange's book after the first message: asks 10.01 x 300, 10.02 x 50; bids 10.00 x 200, 9.99 x 70.
    first_rows = [(100100, 300, 100000, 200, 100200, 50, 99900, 70)]
    messages = [
        (1.0, 1, 21, 120, 100000, 1),  # the first message joined 10.00: it opened with 80
        (1.1, 4, 5, 50, 100000, 1),  # an order from before the file executes: the opening order is first
        (1.2, 3, 6, 30, 100000, 1),  # another deleted: the opening order shrinks
        (1.3, 4, 21, 120, 100000, 1),  # 21 executes in full
        (1.4, 2, 7, 300, 100100, -1),  # the whole 10.01 ask level cancelled
        (1.5, 3, 8, 70, 99900, 1),  # and 9.99
    ]
    after = [
        (100100, 300, 100000, 150, 100200, 50, 99900, 70),
        (100100, 300, 100000, 120, 100200, 50, 99900, 70),
        (100100, 300, 99900, 70, 100200, 50, -9999999999, 0),
        (100200, 50, 99900, 70, 9999999999, 0, -9999999999, 0),
        (100200, 50, -9999999999, 0, 9999999999, 0, -9999999999, 0),
    ]
    orderbook = write(tmp_path / "book.csv", first_rows + after)
    replay = Replay(write(tmp_path / "flow.csv", messages), orderbook)
    assert replay.plan.opening == ((6, 0, 1000, 80), (7, 0, 999, 70), (8, 1, 1001, 300), (9, 1, 1002, 50))
    replay.run()
    assert replay.agreement.both == replay.agreement.compared == 6
    assert replay.fidelity.faithful == replay.fidelity.executions == 2
    assert replay.book.depth() == ([], [(1002, 50.0, 1)])


def test_what_cannot_open_a_replay_is_refused_before_its_book_is_made(tmp_path):
    messages = read_messages(write(tmp_path / "flow.csv", [(1.0, 3, 5, 10, 99900, -1), (2.0, 7, 0, 0, -1, -1)]))
    columns = [array("q", [value] * 2) for value in (100100, 10, 100000, 50)]
    # The first row less the first message (an ask of 9.99 deleted) would cross, so the opening orders would trade.
    with pytest.raises(ReplayInputError, match="flow.csv: the first row less the first message is crossed"):
        Replay(messages, OrderbookFile("flow.csv", 1, (100100, 10, 100000, 50), *columns))
    # A row made by hand is checked as one read from a file.
    with pytest.raises(ValueError, match="m.csv: bid price of level 1 must be a positive whole number of cents, found 50"):
        Replay(messages, OrderbookFile("m.csv", 1, (100100, 10, 50, 50), *columns))
    with pytest.raises(ValueError, match="x: no messages"):
        Replay(MessageFile("x", array("d"), array("b"), array("q"), array("q"), array("q"), array("b")))
    # Columns made by hand with a row missing: refused, not a failure at the message that lacks it.
    with pytest.raises(ReplayInputError, match=r"h: its columns differ in length \(1, 2, 2, 2, 2, 2\)"):
        Replay(MessageFile("h", array("d", [1.0]), *(array(code, [1, 1]) for code in "bqqq"), array("b", [1, 1])))
    # Values no file could hold, in columns made by hand or changed after reading: named, never replayed
    # (a direction of 2 was taken as a sell, a size past 2^53 rounded).
    messages.directions[1] = 2
    with pytest.raises(ReplayInputError, match="flow.csv: message 1: direction must be 1 or -1, found 2"):
        Replay(messages)
    with pytest.raises(ReplayInputError, match=r"h: message 0: size must be at most 2\^53 \(9007199254740992\), found 9007199254740993"):
        Replay(MessageFile("h", array("d", [1.0]), array("b", [1]), array("q", [1]), array("q", [2**53 + 1]),
                           array("q", [100]), array("b", [1])))


def test_until_is_a_message_index_never_a_time(tmp_path):
    replay = Replay(write(tmp_path / "flow.csv", [(1.0 + i, 1, 11 + i, 100, 100000, 1) for i in range(3)]))
    for until in (2.0, float("nan"), "2"):
        for run in (replay.run, replay.run_top_of_book):
            with pytest.raises(TypeError, match="argument 'until'"):
                run(until)
    replay.run(True)  # an index all the same, kept as an int
    assert replay.index == 1 and type(replay.index) is int


def test_a_replay_is_neither_copied_nor_pickled(tmp_path):
    replay = Replay(write(tmp_path / "flow.csv", [(1.0, 1, 11, 100, 100000, 1)]))
    for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError, match="Replay objects cannot be copied or pickled"):
            attempt(replay)


@pytest.mark.parametrize("size", [2**53, 2**53 + 1, 2**63 - 1, 2**63, 2**64])
@pytest.mark.parametrize("gap", ["", " "])  # a space sends the file past the native reader, to the Python ones
def test_sizes_are_read_exactly_or_refused(tmp_path, size, gap):
    """Sizes become the book's quantities, doubles: above 2^53 they are refused, in messages and orderbook rows alike."""
    messages = write(tmp_path / "m.csv", [(1.0, 1, 11, 100, 100000, 1), (2.0, 1, 12, f"{gap}{size}", 100100, -1)])
    book = write(tmp_path / "o.csv", [(100100, 5, 100000, 100), (100100, f"{gap}{size}", 100000, 100)])
    for read, path, column in ((read_messages, messages, "sizes"), (read_orderbook, book, "ask_sizes")):
        if size <= 2**53:
            assert getattr(read(path), column)[1] == size
        else:
            with pytest.raises(ReplayInputError, match=f"line 2: .*size .*{size}"):
                read(path)


@pytest.mark.parametrize("messages, orderbook, width", [(AAPL_MESSAGES, AAPL_ORDERBOOK, 40), (AMZN_MESSAGES, AMZN_ORDERBOOK, 4)])
def test_native_fast_and_careful_readers_agree(messages, orderbook, width):
    # The native reader, the Python fast path and the line-by-line reader read the same columns.
    from quoranth_replay import lobster

    read = read_messages(messages)
    lines, first = lobster._data_lines(messages, messages.read_text())
    columns = (read.times, read.types, read.order_ids, read.sizes, read.prices, read.directions)
    assert columns == lobster._fast_messages(lines, 6) == lobster._careful_messages(messages, lines, first, 6)
    book = read_orderbook(orderbook)
    lines, first = lobster._data_lines(orderbook, orderbook.read_text())
    columns = (book.ask_prices, book.ask_sizes, book.bid_prices, book.bid_sizes)
    assert columns == lobster._fast_orderbook(lines, width) == lobster._careful_orderbook(orderbook, lines, first, width)
    assert book.first_row == tuple(map(int, lines[0].split(",")))


def test_the_native_reader_survives_a_failed_import_of_array():
    """The class its columns are made of is imported on first use: a failed import is raised, and tried again."""
    script = """if True:
        import sys, quoranth
        line = b"34200.5,1,1,1,100,1\\n"
        sys.modules["array"] = None
        try:
            quoranth._lobster_message_columns(line, 6)
        except ImportError:
            del sys.modules["array"]
            print(len(quoranth._lobster_message_columns(line, 6)))
    """
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout == "6\n", done.stderr


def test_the_plan_takes_sizes_the_readers_refuse_without_overflow():
    """Sizes from the readers are positive; columns handed to the plan directly may hold any, and a
    size that would overflow what is left of an order ends it."""
    made = quoranth._lobster_plan(array("b", [1, 2, 4]), array("q", [5, 5, 5]), array("q", [-(2**63), 2, 2**63 - 1]),
                                  array("q", [100] * 3), array("b", [1] * 3), array("q"), array("b"), array("q"))
    assert (list(made[0]), made[5]) == ([1, 2, 0], 1)  # add, reduce that ends it, an execution of no order
