"""The command's text: a few lines for one file, or one line per file and the totals."""

from __future__ import annotations

from collections.abc import Sequence
from pathlib import Path

from .lobster import TYPE_NAMES
from .run import FileSummary

# The names of TYPE_NAMES for one message of a type.
_ONE = {"new": "new", "partial cancels": "partial cancel", "deletions": "deletion", "executions": "execution",
        "hidden executions": "hidden execution", "cross trades": "cross trade", "halts": "halt"}


def counted(count: int, plural: str, singular: str) -> str:
    """``count`` with the word that goes with it: "1 message", "2 messages"."""
    return f"{count:,} {singular if count == 1 else plural}"


def _percent(part: int, whole: int) -> str:
    return f"{100 * part / whole:.1f}%" if whole else "n/a"


def rate(messages: int, seconds: float) -> str:
    return f"{messages / seconds:,.0f} messages/s" if seconds > 0 else "n/a messages/s"


def file_report(summary: FileSummary) -> list[str]:
    """What one replay did, in a few lines."""
    name = Path(summary.name).name
    kinds = ", ".join(counted(count, TYPE_NAMES[kind], _ONE[TYPE_NAMES[kind]]) for kind, count in summary.by_type.items())
    lines = [f"{name}: {counted(summary.messages, 'messages', 'message')} replayed ({kinds})"]
    if summary.passive or summary.unplaced:
        lines.append(
            f"  skipped {counted(summary.passive, 'that do not', 'that does not')} change the visible book; "
            f"{counted(summary.unplaced, 'named orders', 'named an order')} the replay does not hold (resting before the file began)"
        )
    lines.append(f"  fills: {summary.fills:,}, traded volume: {summary.traded:,.0f} shares")
    lines.append("  final book:")
    lines.extend(f"    {line}" for line in summary.book_text.splitlines())
    agreement = summary.agreement
    if agreement is not None:
        n = agreement.compared
        lines.append(
            f"  top of book vs exchange ({counted(summary.levels or 0, 'levels', 'level')}): best bid and ask agree in price and size after "
            f"{_percent(agreement.both, n)} of {counted(n, 'messages', 'message')} (bid {_percent(agreement.bid, n)}, ask {_percent(agreement.ask, n)}; "
            f"prices alone {_percent(agreement.prices, n)})"
        )
        if summary.levels == 1:
            lines.append(
                "    (a 1-level file only holds events at the best prices: the orders queued behind them "
                "are missing from the replay, so its book soon departs from the exchange's)"
            )
    fidelity = summary.fidelity
    if fidelity.executions:
        lines.append(
            f"  priority fidelity: {fidelity.faithful:,} of {fidelity.executions:,} visible executions "
            f"({_percent(fidelity.faithful, fidelity.executions)}) filled the very order the exchange named"
        )
    lines.append(
        f"  throughput: {rate(summary.messages, summary.seconds)} end to end "
        f"({counted(summary.messages, 'messages', 'message')} in {summary.seconds:.3f} s: reading, replaying"
        f"{', comparing' if agreement is not None else ''})"
    )
    return lines


def summary_line(summary: FileSummary) -> str:
    """One line for one of many files."""
    parts = [
        f"{Path(summary.name).name}: {counted(summary.messages, 'messages', 'message')}",
        counted(summary.fills, "fills", "fill"),
        f"{summary.traded:,.0f} shares traded",
    ]
    if summary.agreement is not None:
        parts.append(f"top of book agrees {_percent(summary.agreement.both, summary.agreement.compared)}")
    if summary.fidelity.executions:
        parts.append(f"priority fidelity {_percent(summary.fidelity.faithful, summary.fidelity.executions)}")
    parts.append(f"{summary.seconds:.2f} s")
    return ", ".join(parts)


def totals_line(summaries: Sequence[FileSummary], wall_seconds: float) -> str:
    messages = sum(s.messages for s in summaries)
    fills = sum(s.fills for s in summaries)
    traded = sum(s.traded for s in summaries)
    return (
        f"total: {len(summaries):,} files, {messages:,} messages, {fills:,} fills, {traded:,.0f} shares traded, "
        f"{wall_seconds:.2f} s ({rate(messages, wall_seconds)})"
    )
