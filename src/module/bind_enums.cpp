// OrderType and OrderStatus: members as class attributes, repr, int(), and
// equality with their own members and with integers; pickle and copy give the
// members themselves. No constructor, no hash.
#include <cstdint>

#include "module/call_frame.hpp"
#include "module/snapshots.hpp"

namespace quoranth::py {

namespace {

PyObject* member_text(OrderType side) {
    return checked(PyUnicode_FromString(side == OrderType::Buy ? "OrderType.Buy" : "OrderType.Sell")).release();
}

PyObject* member_text(OrderStatus status) {
    switch (status) {
        case OrderStatus::Open: return checked(PyUnicode_FromString("OrderStatus.Open")).release();
        case OrderStatus::Filled: return checked(PyUnicode_FromString("OrderStatus.Filled")).release();
        case OrderStatus::Canceled: return checked(PyUnicode_FromString("OrderStatus.Canceled")).release();
    }
    fail_internal("OrderStatus holds no known member");
}

template <typename Enum>
PyObject* repr_text(const Enum& member) {
    return member_text(member);
}

template <typename Enum>
std::int64_t integer_value(const Enum& member) {
    return static_cast<std::int64_t>(member);
}

// Same enumeration: compare members; otherwise anything PyLong_AsLongLong
// accepts compares by value. Only == and != are defined. A conversion that
// fails with an Exception is an operand we cannot compare with; anything
// else (KeyboardInterrupt, SystemExit) propagates.
template <typename Enum>
PyObject* rich_compare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> PyObject* {
        if (!is_instance<Enum>(self)) Py_RETURN_NOTIMPLEMENTED;
        const auto mine = static_cast<long long>(instance_of<Enum>(self)->record);
        long long theirs;
        if (is_instance<Enum>(other)) {
            theirs = static_cast<long long>(instance_of<Enum>(other)->record);
        } else {
            theirs = PyLong_AsLongLong(other);
            if (theirs == -1 && PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
        return to_python((mine == theirs) == (op == Py_EQ));
    });
}

template <auto Value>
ClassAttributeRow member(const char* name) {
    using Enum = decltype(Value);
    return {name, [](PyTypeObject* type) noexcept {
                return guarded([&] { return new_instance<Enum>(type, Value); });
            }};
}

}  // namespace

const ClassDefinition order_type_class{
    .name = "OrderType",
    .doc = "Represents the side of an order: either Buy or Sell.",
    .layout = layout_of<OrderType>,
    .repr = unary_slot<repr_text<OrderType>, OrderType>,
    .integer = unary_slot<integer_value<OrderType>, OrderType>,
    .compare = rich_compare<OrderType>,
    .methods = {reduce_row<OrderType>(), copy_row<OrderType>(), deep_copy_row<OrderType>()},
    .class_attributes = {member<OrderType::Buy>("Buy"), member<OrderType::Sell>("Sell")},
};

const ClassDefinition order_status_class{
    .name = "OrderStatus",
    .doc = "Represents the current status of an order.",
    .layout = layout_of<OrderStatus>,
    .repr = unary_slot<repr_text<OrderStatus>, OrderStatus>,
    .integer = unary_slot<integer_value<OrderStatus>, OrderStatus>,
    .compare = rich_compare<OrderStatus>,
    .methods = {reduce_row<OrderStatus>(), copy_row<OrderStatus>(), deep_copy_row<OrderStatus>()},
    .class_attributes = {member<OrderStatus::Open>("Open"), member<OrderStatus::Filled>("Filled"),
                         member<OrderStatus::Canceled>("Canceled")},
};

}  // namespace quoranth::py
