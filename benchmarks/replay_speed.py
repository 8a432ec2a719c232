#!/usr/bin/env python3
"""Replay speed: the columnar call on the AMZN day, and the command end to end.

    python benchmarks/replay_speed.py            # both figures
    python benchmarks/replay_speed.py --quick    # a 100,000-message file instead of 1,000,000

(a) ``OrderBook.apply_batch`` over the AMZN day's plan: the call and its output
    columns, from a book holding the exchange's opening levels; without and
    with the top of book after each event, interleaved, best of the passes.
(b) ``quoranth-replay --quiet FILE`` on a 1,000,000-message file (the AMZN day
    repeated, each copy's order ids and times shifted past the previous one's),
    wall clock from start to exit: interpreter, imports, reading, parsing,
    planning, replaying and the summary. The stages are also timed in this
    process, to show where the time goes.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from array import array

import quoranth
from quoranth_replay import Replay, read_messages, read_orderbook
from quoranth_replay.plan import ADD, make_plan
from quoranth_replay.run import Job, replay_file

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DAY = os.path.join(ROOT, "examples", "data", "AMZN_2012-06-21_34200000_57600000")
MESSAGES = 1_000_000
COLUMNAR_TARGET = 8e6
COMMAND_TARGET = 2e6


def columnar(passes: int = 7) -> dict[str, float]:
    """Messages per second of apply_batch over the AMZN day (best pass), without and with tops."""
    messages = read_messages(f"{DAY}_message_1.csv")
    plan = make_plan(messages, read_orderbook(f"{DAY}_orderbook_1.csv"))
    columns = (plan.operations, plan.keys, plan.sides, plan.ticks, array("d", plan.quantities))
    keys, sides, ticks, sizes = zip(*plan.opening)
    opening = (bytes([ADD]) * len(keys), array("q", keys), bytes(sides), array("q", ticks), array("d", sizes))
    best = {"plain": float("inf"), "top_of_book": float("inf")}
    for attempt in range(passes):
        for case in sorted(best, reverse=attempt % 2 == 1):  # alternate which goes first
            book = quoranth.OrderBook()
            book.apply_batch(*opening)
            started = time.perf_counter()
            result = book.apply_batch(*columns, top_of_book=case == "top_of_book")
            best[case] = min(best[case], time.perf_counter() - started)
            del result
    return {case: len(messages) / seconds for case, seconds in best.items()}


def repeated_day(path: str, messages: int) -> int:
    """Write ``messages`` messages: the AMZN day repeated, each copy's ids and times shifted."""
    with open(f"{DAY}_message_1.csv") as source:
        rows = [line.split(",") for line in source.read().splitlines() if line[:1].isdigit()]
    span = float(rows[-1][0]) - float(rows[0][0]) + 1.0
    top = max(int(row[2]) for row in rows) + 1
    written, copy = 0, 0
    with open(path, "w") as out:
        while written < messages:
            for when, kind, order_id, *fields in rows[: messages - written]:
                shifted = int(order_id) + copy * top if int(order_id) else 0  # id 0: no order
                out.write(",".join([f"{float(when) + copy * span:.9f}", kind, str(shifted), *fields]) + "\n")
                written += 1
            copy += 1
    return written


def command(path: str, messages: int, runs: int = 3) -> dict[str, float]:
    """Wall-clock messages per second of the installed command (best run), and its stages in this process."""
    script = shutil.which("quoranth-replay", path=os.path.dirname(sys.executable))
    if script is None:
        raise SystemExit("quoranth-replay is not installed beside this interpreter")
    wall = float("inf")
    for _ in range(runs):
        started = time.perf_counter()
        subprocess.run([script, "--quiet", path], check=True)
        wall = min(wall, time.perf_counter() - started)
    stages = {}
    started = time.perf_counter()
    read = read_messages(path)
    stages["read"] = time.perf_counter() - started
    started = time.perf_counter()
    replay = Replay(read)
    stages["plan"] = time.perf_counter() - started
    started = time.perf_counter()
    replay.run()
    stages["replay"] = time.perf_counter() - started
    summary = replay_file(Job(messages=path))
    return {"rate": messages / wall, "wall": wall, "in_process": summary.seconds, **stages}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a 100,000-message file")
    args = parser.parse_args()
    rates = columnar()
    print("apply_batch, AMZN day (57,515 messages, call and output columns, best of 7):")
    for case, rate in rates.items():
        print(f"  {case:12s} {rate / 1e6:6.2f} M messages/s")
    verdict = "meets" if rates["plain"] >= COLUMNAR_TARGET else "misses"
    print(f"  {verdict} the target of {COLUMNAR_TARGET / 1e6:.0f} M messages/s")
    count = MESSAGES // 10 if args.quick else MESSAGES
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "AMZN_repeated_message_1.csv")
        repeated_day(path, count)
        figures = command(path, count)
    print(f"quoranth-replay --quiet, AMZN day repeated ({count:,} messages, wall clock, best of 3):")
    print(f"  {figures['rate'] / 1e6:6.2f} M messages/s ({figures['wall']:.3f} s)")
    print(f"  in process: {figures['in_process']:.3f} s (read {figures['read']:.3f} s, "
          f"plan {figures['plan']:.3f} s, replay {figures['replay']:.3f} s)")
    verdict = "meets" if figures["rate"] >= COMMAND_TARGET and count == MESSAGES else "misses"
    print(f"  {verdict} the target of {COMMAND_TARGET / 1e6:.0f} M messages/s on {MESSAGES:,} messages")
    return 0


if __name__ == "__main__":
    sys.exit(main())
