"""Replay throughput: the columnar path and the replay command, end to end.

- Columnar path: one call applies a whole batch of events to a book and
  returns the fills (and, on request, best bid/ask after each event) as
  arrays. The target is the AMZN day at ≥ 8 M messages/s, the call and its
  output arrays included. Not built yet: ``_columnar`` says so; when the call
  exists, it times it here (interleaved passes, as elsewhere).
- The command: ``quoranth-replay --quiet FILE`` on a 1,000,000-message file
  made here from the AMZN day repeated with shifted ids and times, timed from
  start to exit (reading, parsing, replaying, summary); the target is
  ≥ 2 M messages/s. Measured as soon as the command is installed beside the
  interpreter.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import time

import streams as st
from report import table
from sections import Target

COMMAND = "quoranth-replay"
MESSAGES = 1_000_000
DAY = "AMZN_2012-06-21_34200000_57600000_message_1.csv"
COLUMNAR_RATE = 8e6
COMMAND_RATE = 2e6


def run(ctx) -> dict:
    return {"columnar": _columnar(ctx), "command": _command(ctx)}


def _columnar(ctx) -> dict:
    return {"unavailable": "the columnar replay call does not exist yet"}


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
    runs = []
    while len(runs) < 3 and sum(runs) < 15:
        t0 = time.perf_counter()
        proc = subprocess.run([command, "--quiet", path], capture_output=True, text=True, timeout=600)
        runs.append(time.perf_counter() - t0)
        if proc.returncode != 0:
            return {"unavailable": f"`{COMMAND} --quiet` exited {proc.returncode}: "
                                   + (proc.stderr.strip().splitlines() or [""])[-1][:200]}
    best = min(runs)
    return {"messages": n, "seconds": best, "rate": n / best}


def render(res, ctx) -> list[str]:
    L = ["## Replay throughput: columnar path and command", ""]
    rows = []
    col, cmd = res.get("columnar", {}), res.get("command", {})
    rows.append(["columnar call, AMZN day"] + (
        ["–", col["unavailable"]] if "unavailable" in col else
        [f"{col['messages']:,}", f"{col['rate'] / 1e6:.1f} M messages/s"]))
    rows.append([f"`{COMMAND} --quiet`, AMZN day repeated (best run, wall clock)"] + (
        ["–", cmd["unavailable"]] if "unavailable" in cmd else
        [f"{cmd['messages']:,}", f"{cmd['rate'] / 1e6:.2f} M messages/s ({cmd['seconds']:.2f} s)"]))
    return L + table(["path", "messages", "throughput"], rows) + [""]


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
