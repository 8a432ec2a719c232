"""The sections of RESULTS.md: one module each, run and written in ORDER.

A section module names three functions:

    run(ctx) -> dict
        Measures, and returns JSON-able figures. A feature the module does not
        have yet gives ``{"unavailable": "why"}``, so the section keeps its
        place in RESULTS.md and reports figures as soon as the feature lands.
    render(result, ctx) -> list[str]
        The section's markdown, headings included.
    targets(result, ctx) -> list[Target]
        The targets it checks; RESULTS.md lists them all at the top.

``ctx`` is the Context below. To add a report, write its module here and add
its name to ORDER; ``bench.py --only NAME`` runs just that section.
"""

from __future__ import annotations

import functools
import json
import os
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import Callable, NamedTuple

ORDER = ["head_to_head", "memory", "engine", "snapshots", "depth", "replay_throughput"]

# The peer packages, in the order they are shown; the pure-Python book ships here.
PEERS = ["limit-order-book", "cython-orderbook", "order-book", "fastlob", "lightmatchingengine"]
PEER_MODULES = {"limit-order-book": "limit_order_book", "cython-orderbook": "cython_orderbook",
                "order-book": "order_book", "fastlob": "fastlob",
                "lightmatchingengine": "lightmatchingengine.lightmatchingengine"}
SLOW_PEERS = {"fastlob", "lightmatchingengine"}
MATCHING_PEERS = ["limit-order-book", "cython-orderbook", "fastlob", "lightmatchingengine"]


class Target(NamedTuple):
    """One PASS/FAIL line: ``ok`` None when the figure could not be measured."""
    ok: bool | None
    text: str
    figure: str

    @classmethod
    def unmeasured(cls, text: str, why: str = "not measured") -> "Target":
        return cls(None, text, why)


@dataclass
class Context:
    """What every section gets: the run's options, its scratch folder and interpreters."""
    quick: bool
    profile: object                 # harness.Profile of the subject
    tmp: str                        # scratch folder, removed after the run
    bench_python: str | None        # the benchmark venv: quoranth and the peers
    peers: bool                     # whether peers are run at all
    memory: bool                    # whether the memory probes run
    peer_budget: float              # seconds of work per slow peer (fast peers 1.5x)
    engine_bench: str | None        # the native engine benchmark, if built
    make_data: Callable[[], dict]   # generates the shared streams (called once, on first need)
    log: Callable[..., None] = print
    pair_with: list[str] = field(default_factory=list)   # the books quoranth is paired with; empty: all
    here: str = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    results: dict = field(default_factory=dict)   # figures of the sections already run
    _missing: dict = field(default_factory=dict, repr=False)

    @property
    def root(self) -> str:
        return os.path.dirname(self.here)

    @functools.cached_property
    def data(self) -> dict:
        """The shared streams (``make_data``), generated on first use."""
        return self.make_data()

    def bench_py(self) -> str:
        return os.path.join(self.here, "bench.py")

    def missing(self, peer: str) -> str | None:
        """Why ``peer`` (or ``quoranth``) cannot run in the benchmark venv, or None when it can."""
        if peer not in self._missing:
            self._missing[peer] = self._why_missing(peer)
        return self._missing[peer]

    def _why_missing(self, peer: str) -> str | None:
        if peer in PEERS and not self.peers:
            return "peers not run (--no-peers)"
        if not self.bench_python or not os.path.exists(self.bench_python):
            return f"benchmark venv not found ({self.bench_python})"
        module = PEER_MODULES.get(peer, peer)
        r = subprocess.run([self.bench_python, "-c", f"import {module}"], capture_output=True, text=True)
        if r.returncode == 0:
            return None
        return "not installed: " + (r.stderr.strip().splitlines() or ["import failed"])[-1]

    def run_json(self, cmd: list[str], timeout: float, out_path: str) -> tuple[dict | None, str | None]:
        """Runs a worker that writes JSON to ``out_path`` (and keeps it current while it
        works): its figures and None, or what it left plus a note, or None and the error."""
        t0 = time.monotonic()
        try:
            proc = subprocess.run(cmd, timeout=timeout, capture_output=True, text=True)
        except subprocess.TimeoutExpired as e:
            sys.stdout.write(e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or ""))
            if os.path.exists(out_path):
                with open(out_path) as f:
                    res = json.load(f)
                res["partial"] = f"stopped after {timeout:.0f} s"
                return res, None
            return None, f"timed out after {timeout:.0f} s"
        sys.stdout.write(proc.stdout)
        if proc.returncode != 0 or not os.path.exists(out_path):
            tail = (proc.stderr or proc.stdout).strip().splitlines()[-3:]
            partial = None
            if os.path.exists(out_path):
                with open(out_path) as f:
                    partial = json.load(f)
                partial["partial"] = f"worker ended early (exit {proc.returncode})"
            return partial, None if partial else f"exit {proc.returncode}: " + " | ".join(tail)[:300]
        with open(out_path) as f:
            res = json.load(f)
        res.setdefault("seconds", round(time.monotonic() - t0, 1))
        return res, None
