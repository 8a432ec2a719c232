"""How numbers are written inside the Order and Fill texts (the book summary: test_views)."""

import math
import re
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from model import fixed, plain
from quoranth import Fill, Order, OrderType

MAX, TINY = sys.float_info.max, 5e-324
NAN, INF = math.nan, math.inf


def order_quantity_text(qty):
    order = Order(OrderType.Buy, 1, qty)
    prefix, suffix = "[Buy ", f" @ 1] [{order.id}, placed at {order.timestamp}]"
    text = repr(order)
    assert text.startswith(prefix) and text.endswith(suffix), text
    return text[len(prefix):-len(suffix)]


def fill_texts(x):
    match = re.fullmatch(r"\[(\S+) @ (\S+)\] Buy: a, Sell: b, Filled at 0", repr(Fill(x, x, "a", "b", 0)))
    assert match, repr(Fill(x, x, "a", "b", 0))
    return match.groups()


PLAIN = [
    (10.0, "10"), (10.5, "10.5"), (123.45, "123.45"), (0.001, "0.001"), (1.5e-7, "0.00000015"),
    (1e16, "10000000000000000"), (1e-5, "0.00001"), (2.5e20, "250000000000000000000"),
    (0.1 + 0.2, "0.30000000000000004"), (1e23, "1" + "0" * 23), (1 / 3, "0.3333333333333333"),
    (TINY, "0." + "0" * 323 + "5"), (MAX, "17976931348623157" + "0" * 292),
    (2.2250738585072014e-308, None), (9007199254740993.0, "9007199254740992"), (0.5, "0.5"),
]


@pytest.mark.parametrize("x, text", PLAIN, ids=[repr(x) for x, _ in PLAIN])
def test_plain_form_in_order_text(x, text):
    if text is not None:
        assert plain(x) == text
    assert order_quantity_text(x) == plain(x)


@settings(deadline=None, max_examples=300)
@given(st.floats(min_value=0.0, exclude_min=True, allow_infinity=False))
def test_plain_form_property(x):
    text = order_quantity_text(x)
    assert text == plain(x)
    assert float(text) == x


FIXED2 = [
    (0.0, "0.00"), (-0.0, "-0.00"), (2.5, "2.50"), (0.125, "0.12"), (0.375, "0.38"), (1.005, "1.00"),
    (2.675, "2.67"), (999.999, "1000.00"), (1e20, "100000000000000000000.00"), (0.005, "0.01"),
    (1e23, "99999999999999991611392.00"), (-0.001, "-0.00"), (-2.5, "-2.50"), (-TINY, "-0.00"),
    (TINY, "0.00"), (NAN, "NaN"), (-NAN, "NaN"), (INF, "inf"), (-INF, "-inf"), (1 / 3, "0.33"),
    (100.125, "100.12"), (MAX, None),
]


@pytest.mark.parametrize("x, text", FIXED2, ids=[repr(x) for x, _ in FIXED2])
def test_fixed_form_in_fill_text(x, text):
    if text is not None:
        assert fixed(x, 2) == text
    assert fill_texts(x) == (fixed(x, 2), fixed(x, 2))


@settings(deadline=None, max_examples=300)
@given(st.floats())
def test_fixed_form_property(x):
    assert fill_texts(x) == (fixed(x, 2), fixed(x, 2))
