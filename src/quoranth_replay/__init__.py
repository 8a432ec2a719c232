"""Replay exchange order flow (LOBSTER files) through a quoranth order book.

``Replay`` walks a message file one message at a time over an ``OrderBook``,
lets the caller place and cancel their own orders in the same book between
messages, and reports every fill with the exchange time of the message that
caused it. The ``quoranth-replay`` command (also ``python -m quoranth_replay``)
is built on it.
"""

from .lobster import Message, MessageFile, OrderbookFile, ReplayInputError, read_messages, read_orderbook
from .replay import Agreement, Fidelity, Placed, Replay, ReplayFill, Step, TopOfBook

__all__ = [
    "Agreement",
    "Fidelity",
    "Message",
    "MessageFile",
    "OrderbookFile",
    "Placed",
    "Replay",
    "ReplayFill",
    "ReplayInputError",
    "Step",
    "TopOfBook",
    "read_messages",
    "read_orderbook",
]
