"""Fill: construction from Python, values kept as given, text form."""

import itertools
import math

import pytest

from quoranth import Fill

FIELDS = ("quantity", "price", "buy_id", "sell_id", "timestamp")


def values(fill):
    return tuple(getattr(fill, name) for name in FIELDS)


def test_round_trip():
    fill = Fill(3.0, 1.0, "a", "b", 0)
    assert values(fill) == (3.0, 1.0, "a", "b", 0)
    assert [type(v) for v in values(fill)] == [float, float, str, str, int]
    assert repr(fill) == "[3.00 @ 1.00] Buy: a, Sell: b, Filled at 0"


def test_keywords_in_any_order():
    given = dict(zip(FIELDS, (2.5, 100.125, "buy", "sell", 42)))
    expected = Fill(*given.values())
    for names in itertools.permutations(FIELDS):
        fill = Fill(**{name: given[name] for name in names})
        assert values(fill) == values(expected) and repr(fill) == repr(expected)
    mixed = Fill(2.5, 100.125, timestamp=42, sell_id="sell", buy_id="buy")
    assert repr(mixed) == repr(expected) == "[2.50 @ 100.12] Buy: buy, Sell: sell, Filled at 42"


@pytest.mark.parametrize("qty, price, buy_id, sell_id", [
    (-1.0, math.nan, "", ""),
    (math.inf, -math.inf, "x" * 1000, "y"),
    (-0.0, 0.0, "ünïcödé €", "日本語 🙂"),
    (1e300, -1e-300, "quote ' \" back \\ nl \n tab \t", "y"),
    (1.0, 2.0, "a\x00b", "\x00"),
])
def test_any_values_are_kept(qty, price, buy_id, sell_id):
    fill = Fill(qty, price, buy_id, sell_id, 7)
    got = values(fill)
    assert got[2:] == (buy_id, sell_id, 7)
    for kept, given in zip(got[:2], (qty, price)):
        assert kept == given or (math.isnan(kept) and math.isnan(given))
        assert math.copysign(1, kept) == math.copysign(1, given)
    # identifiers are written verbatim, with no quoting or escaping
    assert repr(fill).endswith(f"] Buy: {buy_id}, Sell: {sell_id}, Filled at 7")


@pytest.mark.parametrize("stamp, expected", [
    (0, 0), (1, 1), (True, 1), (False, 0), (2**63, 2**63), (2**64 - 1, 2**64 - 1)])
def test_timestamp_range(stamp, expected):
    fill = Fill(1.0, 1.0, "a", "b", stamp)
    assert fill.timestamp == expected and type(fill.timestamp) is int
    assert repr(fill).endswith(f", Filled at {expected}")


# -1 and 2**64 are in test_call_frame's unprefixed conversion errors.
@pytest.mark.parametrize("stamp", [-(2**64), 2**70])
def test_timestamp_out_of_range(stamp):
    with pytest.raises(OverflowError):
        Fill(1.0, 1.0, "a", "b", stamp)

