"""Shared fixtures: a fresh book and factories for buy and sell orders."""

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
