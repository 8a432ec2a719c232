"""The quoranth-replay command: the formats it reads, bad files, its outputs, many files, and the README's examples."""

import gzip
import io
import os
import re
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

from quoranth_replay import read_messages, read_orderbook
from quoranth_replay.cli import main
from quoranth_replay.progress import Progress

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "examples" / "data"
AAPL = DATA / "AAPL_2012-06-21_34200000_57600000"
AMZN = DATA / "AMZN_2012-06-21_34200000_57600000"
COMMAND = Path(sysconfig.get_path("scripts")) / "quoranth-replay"

ROWS = ["34200.1,1,11,100,1000000,1", "34200.2,1,12,50,1000100,-1", "34200.3,5,0,7,1000050,-1", "34200.4,3,11,100,1000000,1"]
BOOK = ["9999999999,0,1000000,100,9999999999,0,-9999999999,0", "1000100,50,1000000,100,9999999999,0,-9999999999,0",
        "1000100,50,1000000,100,9999999999,0,-9999999999,0", "1000100,50,-9999999999,0,9999999999,0,-9999999999,0"]


def has(module):
    try:
        __import__(module)
    except ImportError:
        return False
    return True


def put(path, lines, *, header="", packed=False, end="\n"):
    data = (header + end.join(lines) + end).encode()
    path.parent.mkdir(exist_ok=True)
    path.write_bytes(gzip.compress(data) if packed else data)
    return path


@pytest.mark.parametrize(
    "seven, header, packed, name",
    [(False, False, False, "plain.csv"), (True, True, True, "day.txt.gz"), (True, False, False, "x_message_3.csv"),
     (False, True, True, "flow")],
)
def test_message_and_orderbook_formats(tmp_path, seven, header, packed, name):
    lines = [row + ",null" if seven else row for row in ROWS]
    if seven:
        lines[0] = ROWS[0] + ",MPID"
    messages = read_messages(put(tmp_path / name, lines, header="Time,Type,Id,Size,Price,Dir,Attr\n" if header else "",
                                 packed=packed, end="\r\n" if packed else "\n"))
    assert [tuple(messages[i]) for i in range(4)] == [tuple(float(x) if j == 0 else int(x) for j, x in enumerate(row.split(","))) for row in ROWS]
    book = read_orderbook(put(tmp_path / f"book-{name}", BOOK, header="a,b,c,d,e,f,g,h\n" if header else "", packed=packed))
    assert (book.levels, len(book), book.first_row[:4], list(book.bid_prices)) == (2, 4, (9999999999, 0, 1000000, 100), [1000000] * 3 + [-9999999999])
    out = tmp_path / "out"
    assert main([str(tmp_path / name), "--orderbook", str(tmp_path / f"book-{name}"), "--out", str(out), "--quiet"]) == 0
    # The book after each message, in LOBSTER's layout, at the orderbook file's depth: here the exchange's own rows.
    stem = name.removesuffix(".gz").removesuffix(".csv")
    assert (out / f"{stem}.book.csv").read_text().splitlines()[1:] == BOOK
    assert read_orderbook(out / f"{stem}.book.csv").levels == 2


BAD_MESSAGES = [
    ("34200.1,1,5,10,1000000", 2, "expected 6 or 7 comma-separated fields, found 5"),
    ("34200.1,1,5,10,1000000,1,null,x", 2, "expected 6 or 7 comma-separated fields, found 8"),
    ("34200.1,1,5,10,1000000,1,null", 3, "expected 6 comma-separated fields like line 2, found 7"),
    ("34200.1,1,5,ten,1000000,1", 3, "size is not an integer: 'ten'"),
    (f"34200.1,1,{2**63},10,1000000,1", 3, f"order id is out of range: {2**63}"),
    ("nan,1,5,10,1000000,1", 3, "time is not finite: 'nan'"),
    ("noon,1,5,10,1000000,1", 3, "time is not a number: 'noon'"),
    ("34200.1,9,5,10,1000000,1", 3, "unknown message type 9"),
    ("34200.1,1,5,10,1000000,0", 3, "direction must be 1 or -1, found 0"),
    ("34200.1,3,5,0,1000000,1", 3, "size must be positive, found 0"),
    ("34200.1,1,5,10,1000050,1", 3, "price must be a positive whole number of cents, found 1000050"),
    ("", 3, "blank line"),
]


@pytest.mark.parametrize("line, line_no, reason", BAD_MESSAGES)
def test_bad_message_line_is_named_and_nothing_is_written(tmp_path, capsys, line, line_no, reason):
    # A header line, then the bad line first or between good ones.
    path = put(tmp_path / "bad.csv", [line, ROWS[0]] if line_no == 2 else [ROWS[0], line, ROWS[1]], header="Time,Type\n")
    assert main([str(path), "--out", str(tmp_path / "out")]) == 2
    out, err = capsys.readouterr()
    assert err == f"quoranth-replay: error: {path}, line {line_no}: {reason}\n" and out == ""
    assert not (tmp_path / "out").exists()


def test_bad_files_exit_2_with_one_line(tmp_path):
    messages = put(tmp_path / "m.csv", ROWS)
    cases = {
        "no such file": [str(tmp_path / "missing.csv")],
        "is a directory, not a file": [str(tmp_path)],
        "chart.png, line 2: not a CSV text file (non-ASCII bytes)": [str(put(tmp_path / "chart.png", [ROWS[0], "\x89PNG"]))],
        "a.csv, line 3: not a CSV text file (non-ASCII bytes)": [str(put(tmp_path / "a.csv", [f"{row},null" for row in ROWS[:2]] + [ROWS[2] + ",\xe9"]))],
        "not a readable gzip file": [str(tmp_path / "cut.gz")],
        "empty.csv: no messages": [str(put(tmp_path / "empty.csv", ["Time,Type"]))],
        "o.csv: has 2 rows but": [str(messages), "--orderbook", str(put(tmp_path / "o.csv", BOOK[:2]))],
        "expected 4 columns per level, found 6 columns": [str(messages), "--orderbook", str(messages)],
        "w.csv, line 3: expected 8 fields like line 1, found 4": [str(messages), "--orderbook", str(put(tmp_path / "w.csv", BOOK[:2] + ["1,2,3,4"] + BOOK[3:]))],
        "i.csv, line 2: bid size of level 2 is not an integer: '7.5'": [
            str(messages), "--orderbook", str(put(tmp_path / "i.csv", [BOOK[0], BOOK[1].rsplit(",", 1)[0] + ",7.5"] + BOOK[2:]))],
        # A first line with one field mistyped is a bad line, not a header to drop.
        "typo.csv, line 1: time is not a number: '34200.O1'": [str(put(tmp_path / "typo.csv", ["34200.O1" + ROWS[0][7:]] + ROWS[1:]))],
        "two message files would both write m.fills.csv": [str(messages), str(put(tmp_path / "in" / "m.csv", ROWS))],
        "cannot reach the Dask scheduler at localhost" if has("distributed") else "needs Dask": [
            str(messages), "--scheduler", "localhost"],
    }
    if has("matplotlib"):
        cases["--chart c.xyz: matplotlib cannot write .xyz files"] = [str(messages), "--chart", "c.xyz"]
    (tmp_path / "cut.gz").write_bytes(gzip.compress(b"\n".join(row.encode() for row in ROWS))[:-12])
    out = tmp_path / "out"
    for expected, args in cases.items():
        run = subprocess.run([str(COMMAND), *args, "--out", str(out)], capture_output=True, text=True, timeout=60)
        assert run.returncode == 2, (args, run.stderr)
        assert run.stderr.startswith("quoranth-replay: error: ") and expected in run.stderr, run.stderr
        assert run.stderr.count("\n") == 1 and run.stdout == "" and not out.exists()


def test_one_file_report_csv_and_chart(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    png, out = tmp_path / "depth.png", tmp_path / "out"
    args = [f"{AAPL}_message_10.csv", "--orderbook", f"{AAPL}_orderbook_10.csv", "--chart", str(png), "--out", str(out)]
    assert main(args) == 0
    text = capsys.readouterr().out
    for expected in ("999 messages replayed", "fills: 94, traded volume: 4,653 shares", "Best Bid: ", "agree in price and size after 95.",
                     "priority fidelity: 94 of 94", "messages/s end to end", "chart written"):
        assert expected in text
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    book = (out / "AAPL_2012-06-21_34200000_57600000_message_10.book.csv").read_text().splitlines()
    exchange = Path(f"{AAPL}_orderbook_10.csv").read_text().splitlines()
    # After the first message the book is the exchange's, all ten levels of it.
    assert len(book) == 1000 and book[1] == exchange[0]
    fills = (out / "AAPL_2012-06-21_34200000_57600000_message_10.fills.csv").read_text().splitlines()
    assert fills[0] == "time,message,price,size,buy_order,sell_order" and len(fills) == 95
    assert sum(int(line.split(",")[3]) for line in fills[1:]) == 4653
    assert sorted(os.listdir(out)) == ["AAPL_2012-06-21_34200000_57600000_message_10.book.csv",
                                       "AAPL_2012-06-21_34200000_57600000_message_10.fills.csv"]


def test_many_files_in_worker_processes(tmp_path, capsys):
    packed = put(tmp_path / "aapl.csv.gz", Path(f"{AAPL}_message_10.csv").read_text().splitlines(), packed=True)
    assert main([f"{AAPL}_message_10.csv", str(packed), "--jobs", "2"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and lines[0].startswith("AAPL_2012-06-21_34200000_57600000_message_10.csv: 999 messages")
    same = [line.split(": ", 1)[1].rsplit(", ", 1)[0] for line in lines[:2]]  # without name and time
    assert lines[1].startswith("aapl.csv.gz: ") and same[0] == same[1]
    assert lines[2].startswith("total: 2 files, 1,998 messages")
    # One bad file among many: its error alone, and nothing written for any.
    assert main([f"{AAPL}_message_10.csv", str(tmp_path / "gone.csv"), "--out", str(tmp_path / "out"), "--jobs", "2"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and err == f"quoranth-replay: error: {tmp_path / 'gone.csv'}: no such file\n"
    assert not (tmp_path / "out").exists()


def test_many_files_on_a_dask_cluster(tmp_path):
    distributed = pytest.importorskip("distributed")
    # In this process, on the loopback address, so that the command (another process) can reach it.
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=False, protocol="tcp://", host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        run = subprocess.run(
            [sys.executable, "-m", "quoranth_replay", f"{AAPL}_message_10.csv", f"{AMZN}_message_1.csv",
             "--orderbook", f"{AAPL}_orderbook_10.csv", "--orderbook", f"{AMZN}_orderbook_1.csv",
             "--scheduler", cluster.scheduler_address, "--out", str(tmp_path)],
            capture_output=True, text=True, timeout=50,
        )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "top of book agrees 95." in lines[0] and lines[1].startswith("AMZN_") and "57,515 messages" in lines[1]
    assert lines[2].startswith("total: 2 files, 58,514 messages")
    assert len(list(tmp_path.glob("*.csv"))) == 4


def test_usage_errors(capsys):
    for args, expected in ((["a.csv", "b.csv", "--orderbook", "o.csv"], "give one --orderbook per message file"),
                           (["a.csv", "--levels", "0"], "--levels must be at least 1"),
                           (["a.csv", "b.csv", "--chart", "c.png"], "--chart draws one replay"),
                           (["a.csv", "--jobs", "2", "--scheduler", "x:1"], "exclude each other"),
                           (["a.csv", "--out", __file__], "test_replay_command.py: File exists")):
        try:
            code = main(args)
        except SystemExit as stop:
            code = stop.code
        assert code == 2 and expected in capsys.readouterr().err


def test_progress_bar_only_on_a_terminal_after_a_delay():
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    screen = Terminal()
    bar = Progress(0, "f.csv", stream=screen, delay=60.0)
    bar.update(0, stage="reading")
    assert bar.text() == "f.csv: reading ..."
    bar.update(50, total=200, stage="replaying")
    bar.draw()
    assert screen.getvalue() == "\rf.csv: replaying [#######.......................]  25% 50 of 200 messages"
    bar.close()
    assert screen.getvalue().endswith("\r" + " " * 73 + "\r")
    # Not on a terminal: no drawing thread at all; on one, nothing before the delay.
    assert Progress(200, "f.csv", stream=io.StringIO(), delay=0.0)._thread is None
    quiet = Terminal()
    Progress(200, "f.csv", stream=quiet, delay=60.0).close()
    assert quiet.getvalue() == ""


def readme_example(heading):
    """The code under a heading of the README and the output shown after it."""
    readme = (ROOT / "README.md").read_text()
    code, output = re.search(rf"### {heading}.*?```python\n(.*?)```\s*```text\n(.*?)```", readme, re.S).groups()
    return code, output


def test_readme_batch_example_runs_as_shown(capsys):
    code, output = readme_example("Events in bulk")
    exec(compile(code, "README.md", "exec"), {})
    assert capsys.readouterr().out == output


def test_readme_backtest_runs_as_shown_and_type_checks(tmp_path, mypy):
    code, output = readme_example("A backtest")
    script = tmp_path / "backtest.py"
    script.write_text(code)
    run = subprocess.run([sys.executable, str(script)], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout == output
    mypy("mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), str(script))
