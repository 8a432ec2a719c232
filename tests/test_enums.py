"""OrderType and OrderStatus: text, integer value, comparisons, no hashing."""

import operator
from unittest import mock

import pytest

from quoranth import Order, OrderStatus, OrderType

MEMBERS = [
    (OrderType.Buy, "OrderType.Buy", 0),
    (OrderType.Sell, "OrderType.Sell", 1),
    (OrderStatus.Open, "OrderStatus.Open", 0),
    (OrderStatus.Filled, "OrderStatus.Filled", 1),
    (OrderStatus.Canceled, "OrderStatus.Canceled", 2),
]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize("member, text, value", MEMBERS, ids=[m[1] for m in MEMBERS])
def test_text_and_integer_value(member, text, value):
    assert repr(member) == text and str(member) == text
    assert int(member) == value and type(int(member)) is int
    assert type(member).__name__ == text.split(".")[0]


@pytest.mark.parametrize("left, right, equal", [
    (OrderType.Sell, OrderType.Sell, True),
    (OrderType.Buy, OrderType.Sell, False),
    (OrderStatus.Open, OrderStatus.Canceled, False),
    (OrderType.Buy, 0, True),
    (OrderType.Buy, 1, False),
    (OrderStatus.Canceled, 2, True),
    (OrderType.Sell, True, True),
    (OrderType.Sell, Index(1), True),
    (OrderType.Sell, Index(ValueError("discarded")), False),
    (OrderType.Buy, 0.0, False),
    (OrderType.Buy, "Buy", False),
    (OrderType.Buy, None, False),
    (OrderType.Buy, OrderStatus.Open, False),
    (OrderStatus.Filled, OrderType.Sell, False),
    # integers outside the signed 64-bit range must not wrap onto a member
    (OrderType.Buy, 2**64, False),
    (OrderType.Sell, 2**64 + 1, False),
    (OrderStatus.Canceled, 2**64 + 2, False),
])
def test_equality(left, right, equal):
    assert (left == right) is equal
    assert (left != right) is (not equal)
    assert (right == left) is equal
    assert (right != left) is (not equal)


def test_unknown_operands_defer_to_the_other_side():
    # A comparison the enumeration cannot decide is handed back to the interpreter.
    assert OrderType.Buy == mock.ANY
    assert not (OrderStatus.Open != mock.ANY)


def test_order_attributes_are_new_equal_instances():
    order = Order(OrderType.Sell, 100, 1.0)
    assert order.side == OrderType.Sell and order.side is not OrderType.Sell
    assert order.side is not order.side
    assert type(order.side) is OrderType
    assert order.status == OrderStatus.Open and order.status is not OrderStatus.Open
    assert OrderType.Buy is OrderType.Buy and OrderStatus.Filled is OrderStatus.Filled


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("left, right", [
    (OrderType.Buy, OrderType.Sell),
    (OrderType.Buy, OrderType.Buy),
    (OrderStatus.Open, 1),
    (1, OrderStatus.Open),
    (OrderType.Sell, OrderStatus.Filled),
])
def test_ordering_is_refused(op, left, right):
    with pytest.raises(TypeError):
        op(left, right)


@pytest.mark.parametrize("member", [m[0] for m in MEMBERS])
def test_unhashable(member):
    assert type(member).__hash__ is None
    with pytest.raises(TypeError):
        hash(member)
    with pytest.raises(TypeError):
        {member: 1}
    with pytest.raises(TypeError):
        {member}


@pytest.mark.parametrize("use", [
    lambda m: [10, 20][m],
    lambda m: range(m),
    operator.index,
    float,
    hex,
])
def test_no_index_or_float_conversion(use):
    with pytest.raises(TypeError):
        use(OrderType.Sell)


@pytest.mark.parametrize("cls", [OrderType, OrderStatus], ids=lambda c: c.__name__)
@pytest.mark.parametrize("args", [(), (0,), (1, 2)])
def test_no_constructor(cls, args):
    with pytest.raises(TypeError) as info:
        cls(*args)
    assert str(info.value) == f"No constructor defined for {cls.__name__}"


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
@pytest.mark.parametrize("op", [operator.eq, operator.ne, operator.lt])
def test_conversion_interrupts_propagate(exc, op):
    # Only Exception subclasses mean "cannot compare"; an interrupt is never lost.
    for member in (OrderType.Buy, OrderStatus.Canceled):
        with pytest.raises(exc):
            op(member, Index(exc()))
