"""The LOBSTER replay example: real order flow through the book, and its handling of bad files."""

import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
DATA = EXAMPLES / "data"
AAPL_MESSAGES = DATA / "AAPL_2012-06-21_34200000_57600000_message_10.csv"
AAPL_ORDERBOOK = DATA / "AAPL_2012-06-21_34200000_57600000_orderbook_10.csv"

sys.path.insert(0, str(EXAMPLES))
import replay  # noqa: E402


def exchange_view(messages):
    """Remaining visible size per side after the messages, from the messages alone."""
    remaining, sides, executed = {}, {}, 0
    for m in messages:
        if m.type == 1:
            remaining[m.order_id], sides[m.order_id] = m.size, m.direction
        elif m.order_id in remaining and m.type in (2, 3, 4):
            remaining[m.order_id] = 0 if m.type == 3 else remaining[m.order_id] - m.size
            executed += m.size if m.type == 4 else 0
    buys = sum(size for oid, size in remaining.items() if sides[oid] == 1)
    return buys, sum(remaining.values()) - buys, executed


@pytest.fixture(scope="module")
def aapl():
    return replay.replay(AAPL_MESSAGES, AAPL_ORDERBOOK)


def test_aapl_replay_follows_the_exchange(aapl):
    assert aapl.messages == 999
    assert aapl.by_type == {1: 471, 3: 369, 4: 98, 5: 61}
    assert aapl.skipped == 61 and aapl.levels == 10 and aapl.compared == 999
    # Only orders resting before the file began are missing: the best prices
    # agree after about 95% of the messages, and at the end.
    assert 0.93 <= aapl.agreement <= 0.98
    assert aapl.both_agreed <= min(aapl.bid_agreed, aapl.ask_agreed)
    last = replay.read_orderbook(AAPL_ORDERBOOK)[0][-1]
    assert (aapl.book.best_bid()[0], aapl.book.best_ask()[0]) == (last.bid, last.ask)


def test_aapl_replay_counts_are_consistent(aapl):
    buys, sells, executed = exchange_view(replay.read_messages(AAPL_MESSAGES))
    # Every execution of a known order trades exactly its size, nothing else trades,
    # and what rests is what the messages leave open.
    assert aapl.traded_volume == executed > 0
    assert 0 < aapl.fills <= aapl.by_type[4]
    assert (aapl.book.buy_volume(), aapl.book.sell_volume()) == (buys, sells)
    assert sum(o.quantity for o in aapl.book.buy_orders) == buys
    assert aapl.samples[-1].bid == aapl.book.best_bid()[0]


def write(path, rows, header=""):
    path.write_text(header + "".join(",".join(map(str, row)) + "\n" for row in rows))
    return path


def test_each_message_type(tmp_path):
    rows = [
        (1.0, 1, 11, 100, 100000, 1),  # buy 100 @ 10.00
        (1.1, 1, 12, 50, 100000, 1),  # buy 50 @ 10.00, behind 11
        (1.2, 1, 13, 40, 100100, -1),  # sell 40 @ 10.01
        (1.3, 2, 11, 30, 100000, 1),  # 11 shrinks to 70 and goes behind 12
        (1.4, 4, 12, 50, 100000, 1),  # 12 executed in full
        (1.5, 4, 11, 20, 100000, 1),  # 11 executed in part
        (1.6, 3, 99, 10, 100000, 1),  # unknown id: tolerated
        (1.7, 4, 98, 10, 100000, -1),  # unknown id: tolerated
        (1.8, 5, 0, 7, 100050, -1),  # hidden execution: skipped
        (1.9, 3, 13, 40, 100100, -1),
    ]
    result = replay.replay(write(tmp_path / "x_message_2.csv", rows, "Time,Type,OrderId,Size,Price,Direction\n"))
    assert (result.messages, result.skipped, result.unknown_ids, result.levels) == (10, 1, 2, 2)
    assert (result.fills, result.traded_volume) == (2, 70.0)
    assert result.book.best_bid() == (1000, 50.0)
    assert result.book.best_ask() is None and len(result.book.buy_orders) == 1
    assert result.agreement is None


def test_one_level_files_are_not_compared(tmp_path, capsys):
    messages = write(tmp_path / "m.csv", [(1.0, 1, 1, 10, 100000, 1)])
    orderbook = write(tmp_path / "o.csv", [(9999999999, 0, 100000, 10)])
    assert replay.main([str(messages), "--orderbook", str(orderbook)]) == 0
    assert "not compared" in capsys.readouterr().out
    result = replay.replay(messages, orderbook)
    assert (result.levels, result.compared, result.agreement) == (1, 0, None)
    # Given as 2 levels deep, the same files are compared: the bid agrees, the empty ask too.
    assert replay.replay(messages, orderbook, levels=2).agreement == 1.0


@pytest.mark.parametrize(
    "line, reason",
    [
        ("1.0,1,5,10,100000", "expected 6 comma-separated fields, found 5"),
        ("1.0,1,5,ten,100000,1", "size is not an integer: 'ten'"),
        ("noon,1,5,10,100000,1", "time is not a number"),
        ("1.0,9,5,10,100000,1", "unknown message type 9"),
        ("1.0,1,5,10,100000,0", "direction must be 1 or -1"),
        ("1.0,1,5,0,100000,1", "size must be positive"),
        ("1.0,1,5,10,100050,1", "price must be a positive whole number of cents"),
    ],
)
def test_malformed_row_names_file_and_line(tmp_path, capsys, line, reason):
    path = tmp_path / "bad.csv"
    path.write_text(f"1.0,1,4,10,100000,1\n{line}\n")
    assert replay.main([str(path)]) == 2
    err = capsys.readouterr().err
    assert err.startswith(f"replay.py: error: {path}, line 2: {reason}") and err.count("\n") == 1


def test_bad_files_exit_2_without_traceback(tmp_path):
    messages = write(tmp_path / "m.csv", [(1.0, 1, 1, 10, 100000, 1)] * 3)
    short = write(tmp_path / "o.csv", [(100100, 5, 100000, 10)] * 2)
    binary = tmp_path / "chart.png"
    binary.write_bytes(b"1.0,1,1,10,100000,1\n\x89PNG\r\n")
    cases = {
        "chart.png, line 2: not a CSV text file": [str(binary)],
        "no such file": [str(tmp_path / "missing.csv")],
        "has 2 rows but": [str(messages), "--orderbook", str(short)],
        "expected 4 columns per level": [str(messages), "--orderbook", str(messages)],
    }
    for expected, args in cases.items():
        run = subprocess.run([sys.executable, str(EXAMPLES / "replay.py"), *args], capture_output=True, text=True)
        assert run.returncode == 2, (args, run.stderr)
        assert expected in run.stderr and "Traceback" not in run.stderr
        assert run.stderr.count("\n") == 1 and run.stdout == ""


def test_command_line_report_and_chart(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    png = tmp_path / "depth.png"
    assert replay.main([str(AAPL_MESSAGES), "--orderbook", str(AAPL_ORDERBOOK), "--chart", str(png)]) == 0
    out = capsys.readouterr().out
    for text in ("999 messages replayed", "fills: ", "Best Bid: ", "messages/s", "both agree after 9", "chart written"):
        assert text in out
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
