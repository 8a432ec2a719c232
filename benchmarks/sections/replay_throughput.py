"""Replay throughput: the columnar path and the replay command, end to end.

- Columnar path: ``OrderBook.apply_batch`` applies the AMZN day's plan (from
  the replay package) to a book holding the exchange's opening levels and
  returns the fills, and with ``top_of_book`` the best levels after each
  event, as columns. The target is ≥ 8 M messages/s, the call and its output
  columns included; the two cases take turns, best pass of each.
- The command: ``quoranth-replay --quiet FILE`` on a 1,000,000-message file
  made here from the AMZN day repeated with shifted ids and times, timed from
  start to exit (interpreter, imports, reading, parsing, replaying, summary);
  the target is ≥ 2 M messages/s. Its stages are then timed in this process
  (reading, planning, replaying), to show where the time goes.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time
from array import array

import streams as st
from report import table
from sections import Target

COMMAND = "quoranth-replay"
MESSAGES = 1_000_000
DAY = "AMZN_2012-06-21_34200000_57600000_message_1.csv"
ORDERBOOK = "AMZN_2012-06-21_34200000_57600000_orderbook_1.csv"
COLUMNAR_RATE = 8e6
COMMAND_RATE = 2e6


def run(ctx) -> dict:
    return {"columnar": _columnar(ctx), "command": _command(ctx)}


def _columnar(ctx) -> dict:
    try:
        import quoranth
        from quoranth_replay import read_messages, read_orderbook
        from quoranth_replay.plan import ADD, make_plan
    except ImportError as e:
        return {"unavailable": f"the replay package is not importable: {e}"}
    ddir = st.lobster_dir(ctx.root)
    if not ddir or not os.path.exists(os.path.join(ddir, ORDERBOOK)):
        return {"unavailable": f"{ORDERBOOK} not found"}
    messages = read_messages(os.path.join(ddir, DAY))
    plan = make_plan(messages, read_orderbook(os.path.join(ddir, ORDERBOOK)))
    columns = (plan.operations, plan.keys, plan.sides, plan.ticks, array("d", plan.quantities))
    keys, sides, ticks, sizes = zip(*plan.opening)
    opening = (bytes([ADD]) * len(keys), array("q", keys), bytes(sides), array("q", ticks), array("d", sizes))
    best = {"plain": float("inf"), "top_of_book": float("inf")}
    for attempt in range(3 if ctx.quick else 7):
        for case in sorted(best, reverse=attempt % 2 == 1):  # each goes first in turn
            book = quoranth.OrderBook()
            book.apply_batch(*opening)
            t0 = time.thread_time()  # CPU time: the machine is shared
            result = book.apply_batch(*columns, top_of_book=case == "top_of_book")
            best[case] = min(best[case], time.thread_time() - t0)
            del result
    n = len(messages)
    return {"messages": n, "rate": n / best["plain"], "rate_top_of_book": n / best["top_of_book"]}


def repeated_day(source: str, path: str, messages: int) -> int:
    """Writes ``messages`` messages of the day at ``source`` repeated, each copy's
    order ids and times shifted past the previous copy's; returns how many."""
    with open(source) as f:
        lines = [ln.split(",") for ln in f.read().splitlines() if ln[:1].isdigit()]
    first, last = float(lines[0][0]), float(lines[-1][0])
    span = last - first + 1.0
    top = max(int(p[2]) for p in lines) + 1
    written = 0
    with open(path, "w") as out:
        copy = 0
        while written < messages:
            shift_t, shift_id = copy * span, copy * top
            for p in lines:
                if written == messages:
                    break
                oid = int(p[2])
                p2 = [f"{float(p[0]) + shift_t:.9f}", p[1], str(oid + shift_id if oid else 0)] + p[3:]
                out.write(",".join(p2) + "\n")
                written += 1
            copy += 1
    return written


def _command(ctx) -> dict:
    command = shutil.which(COMMAND, path=os.path.dirname(sys.executable))
    if not command:
        return {"unavailable": f"`{COMMAND}` is not installed yet"}
    ddir = st.lobster_dir(ctx.root)
    source = os.path.join(ddir, DAY) if ddir else None
    if not source or not os.path.exists(source):
        return {"unavailable": f"{DAY} not found"}
    path = os.path.join(ctx.tmp, "repeated_message_1.csv")
    n = repeated_day(source, path, MESSAGES // 10 if ctx.quick else MESSAGES)
    runs, cpu = [], []
    while len(runs) < 3 and sum(runs) < 15:
        before = os.times()
        t0 = time.perf_counter()
        proc = subprocess.run([command, "--quiet", path], capture_output=True, text=True, timeout=600)
        runs.append(time.perf_counter() - t0)
        after = os.times()
        cpu.append(after.children_user + after.children_system - before.children_user - before.children_system)
        if proc.returncode != 0:
            return {"unavailable": f"`{COMMAND} --quiet` exited {proc.returncode}: "
                                   + (proc.stderr.strip().splitlines() or [""])[-1][:200]}
    best = min(runs)
    return {"messages": n, "seconds": best, "rate": n / best, "cpu_seconds": min(cpu), "stages": _stages(path)}


def _stages(path: str, runs: int = 3) -> dict:
    """Seconds of reading, planning (and opening the book) and replaying, in this process (best runs)."""
    from quoranth_replay import Replay, read_messages

    best = {"read": float("inf"), "plan": float("inf"), "replay": float("inf")}
    for _ in range(runs):
        t0 = time.perf_counter()
        messages = read_messages(path)
        t1 = time.perf_counter()
        replay = Replay(messages)
        t2 = time.perf_counter()
        replay.run()
        t3 = time.perf_counter()
        for stage, seconds in (("read", t1 - t0), ("plan", t2 - t1), ("replay", t3 - t2)):
            best[stage] = min(best[stage], seconds)
        del messages, replay
    return best


def render(res, ctx) -> list[str]:
    L = ["## Replay throughput: columnar path and command", ""]
    rows = []
    col, cmd = res.get("columnar", {}), res.get("command", {})
    rows.append(["`apply_batch`, AMZN day (call and output columns)"] + (
        ["–", col["unavailable"]] if "unavailable" in col else
        [f"{col['messages']:,}", f"{col['rate'] / 1e6:.1f} M messages/s"]))
    if "rate_top_of_book" in col:
        rows.append(["the same, with the top of book after each event",
                     f"{col['messages']:,}", f"{col['rate_top_of_book'] / 1e6:.1f} M messages/s"])
    rows.append([f"`{COMMAND} --quiet`, AMZN day repeated (best run, wall clock)"] + (
        ["–", cmd["unavailable"]] if "unavailable" in cmd else
        [f"{cmd['messages']:,}", f"{cmd['rate'] / 1e6:.2f} M messages/s ({cmd['seconds']:.2f} s; "
                                 f"{cmd['cpu_seconds']:.2f} s of CPU)"]))
    L += table(["path", "messages", "throughput"], rows) + [""]
    if "stages" in cmd:
        stages = cmd["stages"]
        L += [f"The command's stages, timed in this process (best of 3): reading {stages['read']:.3f} s, "
              f"planning {stages['plan']:.3f} s, replaying {stages['replay']:.3f} s. The rest of its wall clock "
              "is the interpreter's start, the imports and the summary.", ""]
    return L


def targets(res, ctx) -> list[Target]:
    out = []
    for key, rate, text in [("columnar", COLUMNAR_RATE, "columnar replay of the AMZN day ≥ 8 M messages/s (issue 13)"),
                            ("command", COMMAND_RATE, f"`{COMMAND}` end to end ≥ 2 M messages/s on "
                                                      f"{MESSAGES:,} messages (issue 13)")]:
        r = res.get(key, {})
        if "unavailable" in r:
            out.append(Target.unmeasured(text, r["unavailable"]))
        else:
            full = key == "columnar" or r["messages"] >= MESSAGES
            out.append(Target(r["rate"] >= rate if full else None, text,
                              f"{r['rate'] / 1e6:.2f} M messages/s at {r['messages']:,}"))
    return out
