"""The quoranth-replay command: the formats it reads, bad files, its outputs, many files, and the README's examples."""

import gzip
import io
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import sysconfig
import threading
import time
from pathlib import Path

import pytest

from quoranth_replay import Replay, ReplayInputError, lobster, output, read_messages, read_orderbook
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


def put(path, lines, *, header="", packed=False, end="\n", bom=False):
    data = (b"\xef\xbb\xbf" if bom else b"") + (header + end.join(lines) + end).encode()
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
                                 packed=packed, end="\r\n" if packed else "\n", bom=seven))
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
    (f"34200.1,1,5,{2**53 + 1},1000000,1", 3, f"size must be at most 2^53 ({2**53}), found {2**53 + 1}"),
    ("34200.1,1,5,1_0,1000000,1", 3, "size is not an integer: '1_0'"),
    # Lines end in \n or \r\n alone: a form feed is no line break, a lone carriage return is refused.
    ("34200.1,1,5,10,1000000,1\x0cx", 3, "direction is not an integer: '1\\x0cx'"),
    ("34200.1,1,5,10,1000000,1\r34200.2,1,6,10,1000000,1", 3, "carriage return inside a line (lines end in \\n or \\r\\n)"),
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
        "/dev/zero: is a character device, not a file": ["/dev/zero"],
        "X_message_5000.csv: its name gives 5000 levels, more than the 1000 --out writes": [str(put(tmp_path / "X_message_5000.csv", ROWS))],
        "z.csv, line 1: ask price of level 1 must be a positive whole number of cents, found 0": [
            str(messages), "--orderbook", str(put(tmp_path / "z.csv", ["0,50,0,100,9999999999,0,-9999999999,0"] + BOOK[1:]))],
        "--chart .: names a folder": [str(messages), "--chart", "."],
        f"--chart {tmp_path}/none/c.png: no folder": [str(messages), "--chart", f"{tmp_path}/none/c.png"],
        "two message files would both write m.fills.csv": [str(messages), str(put(tmp_path / "in" / "m.csv", ROWS))],
        "cannot reach the Dask scheduler at localhost" if has("distributed") else "needs Dask": [
            str(messages), "--scheduler", "localhost"],
    }
    if not has("matplotlib"):
        cases = {expected: args for expected, args in cases.items() if "--chart" not in args}
    else:
        cases["--chart c.xyz: matplotlib cannot write .xyz files"] = [str(messages), "--chart", "c.xyz"]
    (tmp_path / "cut.gz").write_bytes(gzip.compress(b"\n".join(row.encode() for row in ROWS))[:-12])
    out = tmp_path / "out"
    for expected, args in cases.items():
        run = subprocess.run([str(COMMAND), *args, "--out", str(out)], capture_output=True, text=True, timeout=60)
        assert run.returncode == 2, (args, run.stderr)
        assert run.stderr.startswith("quoranth-replay: error: ") and expected in run.stderr, run.stderr
        assert run.stderr.count("\n") == 1 and run.stdout == "" and not out.exists()


BAD_ORDERBOOKS = [
    ("1000100,50,0,100", 1, "bid price of level 1 must be a positive whole number of cents, found 0"),
    ("1000100,50,50,100", 3, "bid price of level 1 must be a positive whole number of cents, found 50"),
    ("1000150,50,1000000,100", 3, "ask price of level 1 must be a positive whole number of cents, found 1000150"),
    ("1000100,-50,1000000,100", 3, "ask size of level 1 must not be negative, found -50"),
    ("990000,50,1000000,100", 1, "the book is crossed: best bid 1000000 is not below best ask 990000"),
    ("1000100,50,1000000,100,1000100,30,999900,20", 1, "ask price of level 2 (1000100) is not beyond the one before (1000100)"),
    pytest.param(",".join(["9999999999,0,-9999999999,0"] * 1001), 1, "1001 levels, more than the 1000 a replay reads", id="1001 levels"),
]


@pytest.mark.parametrize("row, line_no, reason", BAD_ORDERBOOKS)
def test_an_orderbook_row_that_cannot_be_a_book_is_named(tmp_path, capsys, row, line_no, reason):
    # Every row's best level is checked; the first row, the opening book, whole.
    if row.count(",") == 3:
        row += ",9999999999,0,-9999999999,0"  # as wide as BOOK
    book = put(tmp_path / "o.csv", [row, *BOOK[1:]] if line_no == 1 else [*BOOK[:2], row, BOOK[3]])
    assert main([str(put(tmp_path / "m.csv", ROWS)), "--orderbook", str(book)]) == 2
    assert capsys.readouterr() == ("", f"quoranth-replay: error: {book}, line {line_no}: {reason}\n")


def test_inputs_are_read_from_pipes_and_within_bounds(tmp_path, monkeypatch, capsys):
    messages = put(tmp_path / "m.csv", ROWS)

    def pipe(data):
        readable, writable = os.pipe()
        os.write(writable, data)
        os.close(writable)
        return f"/dev/fd/{readable}"  # as from a shell's <(...)

    assert main([pipe(ROWS[0].encode())]) == 0
    assert "1 message replayed (1 new)\n" in capsys.readouterr().out
    # Among several files, a pipe is this process's to read: no worker process could open it.
    piped = pipe(ROWS[0].encode())
    assert main([piped, str(messages), "--jobs", "2"]) == 0
    assert capsys.readouterr().out.startswith(f"{Path(piped).name}: 1 message, 0 fills")
    # A pipe and a gzip file give a few GiB at most; a regular file is read whole.
    monkeypatch.setattr(lobster, "MAX_READ", 100)
    assert len(read_messages(messages)) == 4 and messages.stat().st_size > 100
    with pytest.raises(ReplayInputError, match="sends more than .* through a pipe"):
        read_messages(pipe(messages.read_bytes()))
    (tmp_path / "bomb.csv.gz").write_bytes(gzip.compress(b"0" * 10**7))
    with pytest.raises(ReplayInputError, match="bomb.csv.gz: unpacks to more than"):
        read_messages(tmp_path / "bomb.csv.gz")


def test_a_closed_standard_error_loses_only_the_messages(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr(sys, "stderr", None)  # as `2>&-` leaves it
    assert main([str(put(tmp_path / "a.csv", ROWS)), str(put(tmp_path / "b.csv", ROWS))]) == 0
    assert len(re.findall(r"^[ab]\.csv: 4 messages,", capsys.readouterr().out, re.M)) == 2
    assert main([str(tmp_path / "missing.csv")]) == 2 and capsys.readouterr().out == ""
    with pytest.raises(SystemExit):  # usage goes nowhere, never into the report
        main([str(tmp_path / "a.csv"), "--levels", "0"])
    assert capsys.readouterr().out == ""


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_worker_processes_leave_ctrl_c_to_the_command_and_end_with_it(tmp_path):
    # The command waits on a FIFO (its own to read) while its workers replay the other files.
    fifo = tmp_path / "later.csv"
    os.mkfifo(fifo)
    run = subprocess.Popen([str(COMMAND), str(fifo), f"{AAPL}_message_10.csv", f"{AMZN}_message_1.csv", "--jobs", "2"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def workers():
        found = []
        for entry in os.listdir("/proc"):
            try:
                status = Path(f"/proc/{entry}/status").read_text()
            except (OSError, ValueError):
                continue
            if re.search(rf"^PPid:\s+{run.pid}$", status, re.M) and "spawn_main" in Path(f"/proc/{entry}/cmdline").read_text():
                found.append(status)
        return found

    try:
        deadline = time.monotonic() + 30
        while len(workers()) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        found = workers()
        assert len(found) == 2
        for status in found:  # SIGINT (bit 1) blocked from the start, then ignored
            masks = (int(re.search(rf"^{mask}:\s+([0-9a-f]+)$", status, re.M).group(1), 16) for mask in ("SigBlk", "SigIgn"))
            assert any(mask & 2 for mask in masks)
        run.kill()  # as the kernel's out-of-memory killer would
        run.wait()
        while workers() and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not workers()
    finally:
        run.kill()
        run.wait()


def test_system_failures_exit_1_with_one_line_and_leave_nothing(tmp_path, monkeypatch, capsys):
    out, messages = tmp_path / "out", put(tmp_path / "m.csv", ROWS)
    # A file size limit (as a full disk) while writing --out.
    limit = (100_000, 100_000)
    run = subprocess.run([str(COMMAND), f"{AMZN}_message_1.csv", "--out", str(out)], capture_output=True, text=True, timeout=60,
                         preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, limit))
    assert (run.returncode, run.stdout) == (1, "") and not out.exists()
    assert run.stderr == f"quoranth-replay: error: {out / AMZN.name}_message_1.book.csv: cannot write it: File too large\n"
    with open("/dev/full", "w") as full:
        run = subprocess.run([str(COMMAND), str(messages)], stdout=full, stderr=subprocess.PIPE, text=True, timeout=60)
    assert (run.returncode, run.stderr) == (1, "quoranth-replay: error: cannot write the report to standard output: No space left on device\n")

    def out_of_memory(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr(Replay, "_apply", out_of_memory)
    assert main([str(messages), "--out", str(out)]) == 1 and not out.exists()
    assert capsys.readouterr() == ("", f"quoranth-replay: error: {messages}: out of memory\n")


def test_outputs_are_committed_all_or_nothing(tmp_path, capsys):
    out = tmp_path / "out"
    # A name the output would take held by a directory: refused before anything is replayed.
    (out / "m.book.csv").mkdir(parents=True)
    assert main([str(put(tmp_path / "m.csv", ROWS)), "--out", str(out)]) == 2
    assert capsys.readouterr().err == f"quoranth-replay: error: --out {out}: {out / 'm.book.csv'} is a directory\n"
    assert os.listdir(out) == ["m.book.csv"]
    # One move that fails undoes the others, and puts back the files they replaced.
    (out / "a.csv").write_text("old")
    new_a, new_b = tmp_path / "new_a", tmp_path / "new_b"
    new_a.write_text("new")
    new_b.write_text("new")
    with pytest.raises(IsADirectoryError):
        output.move_all([(new_a, out / "a.csv"), (new_b, out / "m.book.csv")])
    assert (out / "a.csv").read_text() == "old" and new_a.read_text() == "new" and new_b.exists()
    assert sorted(os.listdir(tmp_path)) == ["m.csv", "new_a", "new_b", "out"]


def test_an_interrupted_commit_is_undone_whichever_step_it_stops_at(tmp_path, monkeypatch):
    out = tmp_path / "out"
    out.mkdir()
    (out / "a.csv").write_text("old a")
    (out / "b.csv").write_text("old b")
    replace = os.replace
    for stop_after in range(1, 5):  # a signal right after each of the commit's four moves
        made = [tmp_path / "new_a", tmp_path / "new_b"]
        for path in made:
            path.write_text("new")
        steps = []

        def interrupted(source, target):
            replace(source, target)
            steps.append(target)
            if len(steps) == stop_after:
                raise KeyboardInterrupt

        monkeypatch.setattr(output.os, "replace", interrupted)
        with pytest.raises(KeyboardInterrupt):
            output.move_all([(made[0], out / "a.csv"), (made[1], out / "b.csv")])
        monkeypatch.setattr(output.os, "replace", replace)
        assert [(out / name).read_text() for name in ("a.csv", "b.csv")] == ["old a", "old b"], stop_after
        assert sorted(os.listdir(out)) == ["a.csv", "b.csv"] and all(path.read_text() == "new" for path in made)


@pytest.mark.parametrize("stop, status", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_stopped_run_exits_quietly_and_leaves_nothing(tmp_path, stop, status, jobs):
    out, files = tmp_path / "out", [f"{AMZN}_message_1.csv"]
    if jobs == 2:
        files.append(str(tmp_path / "copy_message_1.csv"))
        os.symlink(files[0], files[1])

    def own_session_with_ctrl_c():
        # The command keeps a Ctrl-C it was started with ignored (a background job
        # of a script): the suite may run as one, and its children inherit that.
        os.setsid()
        signal.signal(signal.SIGINT, signal.SIG_DFL)

    run = subprocess.Popen([str(COMMAND), *files, "--levels", "50", "--out", str(out), "--jobs", str(jobs)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, preexec_fn=own_session_with_ctrl_c)
    try:
        # Stopped once it writes its files. A terminal's Ctrl-C reaches every process of the command; SIGTERM, the command.
        deadline = time.monotonic() + 40
        while not list(out.glob(".quoranth-replay-*/*.csv")) and run.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        if stop == signal.SIGINT:
            os.killpg(run.pid, stop)
        else:
            run.send_signal(stop)
        stdout, stderr = run.communicate(timeout=40)
    finally:
        run.kill()
        run.wait()
    assert (run.returncode, stdout, stderr) == (status, "", "") and not out.exists()


def test_a_stop_that_lands_in_a_finaliser_still_stops_the_run(tmp_path, capsys, monkeypatch):
    # What a signal handler raises while a finaliser runs, the interpreter reports
    # as "Exception ignored" and drops; the run must stop all the same.
    from quoranth_replay import cli

    class Finalised:
        def __del__(self):
            os.kill(os.getpid(), signal.SIGTERM)
            for _ in range(10_000):  # the handler runs here, inside the finaliser
                pass

    collect = cli._collect

    def collect_after_a_finaliser(*args, **kwargs):
        Finalised()
        return collect(*args, **kwargs)

    monkeypatch.setattr(cli, "_collect", collect_after_a_finaliser)
    out = tmp_path / "out"
    assert main([f"{AMZN}_message_1.csv", "--levels", "5", "--out", str(out)]) == 143
    assert capsys.readouterr() == ("", "") and not out.exists()


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
    umask = os.umask(0)
    os.umask(umask)
    assert png.stat().st_mode & 0o777 == 0o666 & ~umask  # as open() would make it, not a scratch file's 0600
    book = (out / "AAPL_2012-06-21_34200000_57600000_message_10.book.csv").read_text().splitlines()
    exchange = Path(f"{AAPL}_orderbook_10.csv").read_text().splitlines()
    # After the first message the book is the exchange's, all ten levels of it.
    assert len(book) == 1000 and book[1] == exchange[0]
    fills = (out / "AAPL_2012-06-21_34200000_57600000_message_10.fills.csv").read_text().splitlines()
    assert fills[0] == "time,message,price,size,buy_order,sell_order" and len(fills) == 95
    assert sum(int(line.split(",")[3]) for line in fills[1:]) == 4653
    assert sorted(os.listdir(out)) == ["AAPL_2012-06-21_34200000_57600000_message_10.book.csv",
                                       "AAPL_2012-06-21_34200000_57600000_message_10.fills.csv"]


def test_the_depth_chart_shows_each_levels_running_total_from_its_own_price(monkeypatch):
    pytest.importorskip("matplotlib")
    import matplotlib.figure

    from quoranth_replay.chart import write_chart
    from quoranth_replay.run import FileSummary

    drawn = []
    monkeypatch.setattr(matplotlib.figure.Figure, "savefig", lambda figure, *args, **kwargs: drawn.append(figure))
    write_chart(FileSummary("x.csv", depth=([(9999, 10.0, 1), (9998, 20.0, 1), (9997, 30.0, 1)], []), samples=[]), "x.png")
    bids = drawn[0].axes[0].lines[0].get_path().vertices
    flat = sorted((round(min(x0, x1), 2), y0) for (x0, y0), (x1, y1) in zip(bids, bids[1:]) if y0 == y1 and x0 != x1)
    # From each level's price down to the next: the total of that level and the better ones.
    assert flat == [(99.96, 60.0), (99.97, 30.0), (99.98, 10.0)]


def test_the_day_chart_shows_short_replays_and_replays_without_quotes(monkeypatch):
    pytest.importorskip("matplotlib")
    import matplotlib.figure

    from quoranth_replay.chart import _clock, write_chart
    from quoranth_replay.run import FileSummary

    def day(samples):
        drawn = []
        monkeypatch.setattr(matplotlib.figure.Figure, "savefig", lambda figure, *a, **k: drawn.append(figure))
        write_chart(FileSummary("x.csv", depth=([], []), samples=samples), "x.png")
        drawn[0].canvas.draw()
        return drawn[0].axes[1]

    # One sample is a point: drawn with a marker, not as a line of no length, on a
    # price axis of a few ticks either side (not a tenth of the price).
    axes = day([(34200.1, 10000, 10001)])
    assert {line.get_marker() for line in axes.lines} == {"o"}
    assert axes.get_ylim() == pytest.approx((99.95, 100.06))
    # Under a second: every time label differs.
    labels = [t.get_text() for t in day([(34200.1 + i / 10, 10000, 10001) for i in range(5)]).get_xticklabels()]
    assert len(set(labels)) == len(labels) > 2 and labels[0].startswith("09:30:00.")
    # No best price at all: the axis spans the replay's times and says so.
    axes = day([(34200.1, None, None), (34260.1, None, None)])
    assert axes.get_xlim() == (34200.1, 34260.1) and not axes.get_yticks().size
    assert [t.get_text() for t in axes.texts] == ["no best bid or ask during the replay"]
    assert (_clock(-100.0, 0), _clock(59.96, 1), _clock(34200.0, None)) == ("-00:01:40", "00:01:00.0", "09:30")


def test_many_files_in_worker_processes(tmp_path, capsys):
    packed = put(tmp_path / "aapl.csv.gz", Path(f"{AAPL}_message_10.csv").read_text().splitlines(), packed=True)
    assert main([f"{AAPL}_message_10.csv", str(packed), "--jobs", "2"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3 and lines[0].startswith("AAPL_2012-06-21_34200000_57600000_message_10.csv: 999 messages")
    same = [line.split(": ", 1)[1].rsplit(", ", 1)[0] for line in lines[:2]]  # without name and time
    assert lines[1].startswith("aapl.csv.gz: ") and same[0] == same[1]
    assert lines[2].startswith("total: 2 files, 1,998 messages")
    # Bad files among many (each message file followed by its orderbook file): their errors alone, nothing written for any.
    zero = put(tmp_path / "zero.csv", ["1000100,50,0,100"])
    assert main([f"{AAPL}_message_10.csv", "--orderbook", str(zero), str(tmp_path / "gone.csv"), "--orderbook",
                 f"{AAPL}_orderbook_10.csv", "--out", str(tmp_path / "out"), "--jobs", "2"]) == 2
    out, err = capsys.readouterr()
    assert out == "" and sorted(err.splitlines()) == [
        f"quoranth-replay: error: {tmp_path / 'gone.csv'}: no such file",
        f"quoranth-replay: error: {zero}, line 1: bid price of level 1 must be a positive whole number of cents, found 0"]
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


def test_a_dask_scheduler_without_workers_or_that_does_not_answer_is_refused_not_waited_on():
    distributed = pytest.importorskip("distributed")
    from quoranth_replay.parallel import ClusterUnavailable, Job, dask

    jobs = [Job(f"{AAPL}_message_10.csv")]
    with distributed.LocalCluster(n_workers=0, processes=False, dashboard_address=None) as cluster:
        with pytest.raises(ClusterUnavailable, match="has no workers"):
            list(dask(jobs, cluster.scheduler_address, timeout=1))
    # A server that takes the connection and says nothing (a dashboard's port, next to the scheduler's).
    with socket.create_server(("127.0.0.1", 0)) as silent:
        held = []
        threading.Thread(target=lambda: held.append(silent.accept()), daemon=True).start()
        with pytest.raises(ClusterUnavailable, match="does not answer as one"):
            list(dask(jobs, f"tcp://127.0.0.1:{silent.getsockname()[1]}", timeout=1))


def test_usage_errors(capsys):
    for args, expected in ((["a.csv", "b.csv", "--orderbook", "o.csv"], "give one --orderbook per message file"),
                           (["a.csv", "--levels", "0"], "--levels must be at least 1"),
                           (["a.csv", "b.csv", "--chart", "c.png"], "--chart draws one replay"),
                           (["a.csv", "--jobs", "2", "--scheduler", "x:1"], "exclude each other"),
                           (["a.csv", "--levels", "1001"], "--levels must be at most 1000"),
                           (["a.csv", "--out", ""], "--out needs the name of a folder"),
                           (["a.csv", "--chart", ""], "--chart needs the name of a file"),
                           (["a.csv", "--out", __file__], "test_replay_command.py: File exists")):
        try:
            code = main(args)
        except SystemExit as stop:
            code = stop.code
        assert code == 2 and expected in capsys.readouterr().err
    # After "--" every argument is a file, even one that looks like an option.
    assert main(["--", "--quiet"]) == 2 and "--quiet: no such file" in capsys.readouterr().err
    with pytest.raises(SystemExit) as stop:
        main(["--version"])
    assert stop.value.code == 0 and re.fullmatch(r"quoranth-replay \d+\.\d+\.\d+\S*\n", capsys.readouterr().out)


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
