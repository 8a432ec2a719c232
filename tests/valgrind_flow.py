"""A short flow through every part of the module, run under valgrind by `make valgrind`.

    python tests/valgrind_flow.py                 runs the flow (under valgrind)
    python tests/valgrind_flow.py --report LOG    sums what the log blames on quoranth; exit 1 if any

Only losses and errors with a quoranth frame in their stack count: the
interpreter's own allocations at exit are not ours.
"""

import gc
import random
import re
import sys


def flow():
    import pickle
    from array import array

    from quoranth import Fill, Order, OrderBook, OrderStatus, OrderType

    class Reenter:
        def __init__(self, book):
            self.book = book

        def __float__(self):
            try:
                self.book.add(Order(OrderType.Buy, 1, 1.0))
            except RuntimeError:
                pass
            return 1.0

    rng = random.Random(3)
    books = [OrderBook(), OrderBook(0.5)]
    for book in books:
        ids = []
        for _ in range(3000):
            side = rng.choice([OrderType.Buy, OrderType.Sell])
            order = Order(side, rng.randint(95, 105), float(rng.randint(1, 9)))
            fills = book.add(order)
            [repr(f) for f in fills]
            ids.append(order.id)
            if rng.random() < 0.3:
                book.cancel(rng.choice(ids))
            if rng.random() < 0.1:
                book.add(order)  # rests a second time under the same identifier
            if rng.random() < 0.05:
                copy = book.get_order(rng.choice(ids))
                if copy is not None:
                    book.update_order(copy)
        repr(book), book.buy_orders, book.sell_orders, book.best_bid(), book.spread(), book.sell_volume()
        book.create_order(OrderType.Sell, Reenter(book), 2.0)
        a, b = Order(OrderType.Sell, 100, 5.0), Order(OrderType.Buy, 105, 3.0)
        repr(a.fill(b, 0.01)), a.can_match(b), a.status == OrderStatus.Open, int(b.status)
        for oid in ids[::2]:
            book.cancel(oid)
    # Batches under keys, per-call calls on keyed orders, and state round trips.
    keyed = OrderBook()
    for round_ in range(3):
        events = [(rng.choice((1, 1, 2, 3, 4, 5)), rng.randrange(60), rng.randrange(2), rng.randint(95, 105),
                   float(rng.randint(1, 9))) for _ in range(500)]
        columns = [array(code, column) for code, column in zip("bqbqd", zip(*events))]
        keyed.apply_batch(*columns, top_of_book=bool(round_ % 2))
        for key in range(0, 60, 7):
            if (order_id := keyed.order_id(key)) is not None:
                keyed.queue_position(order_id), keyed.reduce(order_id, 1.0) if key % 2 else keyed.cancel(order_id)
        keyed = pickle.loads(pickle.dumps(keyed))
    keyed.depth(5), repr(keyed)
    repr(Fill(1.0, 2.0, "b" * 300, "\u00e9" * 100, 2**64 - 1))
    for bad in (lambda: books[0].add(5), lambda: Order(OrderType.Buy, 1.5, 1.0), lambda: Order(OrderType.Buy, 1, -1.0),
                lambda: Fill(1.0, 1.0, "\ud800", "x", 1), lambda: books[0].create_order(OrderType.Buy, 1e-9, 1.0),
                lambda: Fill(1.0, 1.0, "a", "b", 2**64), lambda: OrderBook("1"), lambda: books[0].cancel(order_id=1),
                lambda: Order(OrderType.Buy, 2**63, 1.0), lambda: a.fill(a, 0.01),
                lambda: keyed.apply_batch(b"\x09", array("q", [0]), b"\x00", array("q", [1]), array("d", [1.0]))):
        try:
            bad()
        except (TypeError, ValueError, OverflowError, UnicodeEncodeError, RuntimeError):
            pass
    del books, a, b, fills, order, keyed
    gc.collect()
    print("valgrind flow done")


KINDS = re.compile(r"(are definitely lost|Invalid (read|write|free)|Mismatched free|Conditional jump"
                   r"|Use of uninitialised|Syscall param|Source and destination overlap)")


def report(path):
    """Splits the log into records (blank-line separated) and keeps those with a quoranth frame."""
    lost, errors = 0, []
    record = []
    for line in open(path, errors="replace").read().splitlines() + ["==0== "]:
        body = line.split("== ", 1)[-1] if line.startswith("==") else line
        if body.strip():
            record.append(body)
            continue
        if record and KINDS.search(record[0]) and any("quoranth" in f and ("by 0x" in f or "at 0x" in f)
                                                       for f in record[1:]):
            if "definitely lost" in record[0]:
                lost += int(record[0].split()[0].replace(",", ""))
            else:
                errors.append("\n".join(record))
        record = []
    for e in errors:
        print(e, end="\n\n")
    print(f"valgrind: {lost} bytes definitely lost in quoranth frames, {len(errors)} errors in quoranth frames")
    return 1 if lost or errors else 0


if __name__ == "__main__":
    sys.exit(report(sys.argv[2]) if sys.argv[1:2] == ["--report"] else flow())
