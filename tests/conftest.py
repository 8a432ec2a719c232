"""Shared fixtures: a fresh book, factories for buy and sell orders, placing an order in a book, and
running mypy against the repository's stub."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from quoranth import Order, OrderBook, OrderType


@pytest.fixture
def book():
    """An empty book with the default tick size of 0.01."""
    return OrderBook()


@pytest.fixture
def buy():
    """Factory: ``buy(ticks, qty)`` makes a new buy ``Order``."""

    def make(ticks, qty=1.0):
        return Order(OrderType.Buy, ticks, qty)

    return make


@pytest.fixture
def sell():
    """Factory: ``sell(ticks, qty)`` makes a new sell ``Order``."""

    def make(ticks, qty=1.0):
        return Order(OrderType.Sell, ticks, qty)

    return make


@pytest.fixture
def place():
    """``place(book, side, ticks, qty)`` adds a new ``Order`` to ``book``; returns it and the fills."""

    def make(book, side, ticks, qty):
        order = Order(side, ticks, qty)
        return order, book.add(order)

    return make


@pytest.fixture
def mypy(tmp_path):
    """``mypy(tool, *args)`` runs a mypy tool in a scratch directory against the repository's stub (not an
    installed copy) and asserts that it passes; skips the test where mypy is not installed."""

    def run(tool, *args):
        pytest.importorskip("mypy", reason="mypy is not installed")
        stubs = tmp_path / "stubs"
        stubs.mkdir(exist_ok=True)
        shutil.copy(Path(__file__).resolve().parent.parent / "quoranth.pyi", stubs)
        done = subprocess.run([sys.executable, "-m", tool, *args], cwd=tmp_path, env={**os.environ, "MYPYPATH": str(stubs)},
                              capture_output=True, text=True, timeout=600)
        assert done.returncode == 0, done.stdout + done.stderr

    return run
