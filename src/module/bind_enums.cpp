// OrderType and OrderStatus: members as class attributes, repr, int(), and
// equality with their own members and with integers. No constructor, no hash.
#include <cstdint>

#include "module/call_frame.hpp"

namespace quoranth::py {

namespace {

const char* member_repr(OrderType side) { return side == OrderType::Buy ? "OrderType.Buy" : "OrderType.Sell"; }

const char* member_repr(OrderStatus status) {
    switch (status) {
        case OrderStatus::Open: return "OrderStatus.Open";
        case OrderStatus::Filled: return "OrderStatus.Filled";
        case OrderStatus::Canceled: return "OrderStatus.Canceled";
    }
    return "OrderStatus.?";
}

template <typename Enum>
PyObject* repr_text(const Enum& member) {
    return checked(PyUnicode_FromString(member_repr(member))).release();
}

template <typename Enum>
std::int64_t integer_value(const Enum& member) {
    return static_cast<std::int64_t>(member);
}

// Same enumeration: compare members; otherwise anything PyLong_AsLongLong
// accepts compares by value. Only == and != are defined.
template <typename Enum>
PyObject* rich_compare(PyObject* self, PyObject* other, int op) noexcept {
    return guarded([&]() -> PyObject* {
        if (!is_instance<Enum>(self)) Py_RETURN_NOTIMPLEMENTED;
        const auto mine = static_cast<long long>(instance_of<Enum>(self)->record);
        long long theirs;
        if (is_instance<Enum>(other)) {
            theirs = static_cast<long long>(instance_of<Enum>(other)->record);
        } else {
            theirs = PyLong_AsLongLong(other);
            if (theirs == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        }
        if (op == Py_EQ) return PyBool_FromLong(mine == theirs);
        if (op == Py_NE) return PyBool_FromLong(mine != theirs);
        Py_RETURN_NOTIMPLEMENTED;
    });
}

template <auto Member>
PyObject* make_member(PyTypeObject* type) noexcept {
    return guarded([&] { return new_instance(type, decltype(Member){Member}); });
}

template <typename Enum>
std::vector<PyType_Slot> enum_slots() {
    return {
        slot(Py_tp_repr, unary<repr_text<Enum>, Shared<Enum>>),
        slot(Py_nb_int, unary<integer_value<Enum>, Shared<Enum>>),
        slot(Py_tp_richcompare, rich_compare<Enum>),
        slot(Py_tp_dealloc, release_instance<Enum>),
        {0, nullptr},
    };
}

std::vector<PyType_Slot> order_type_slots = enum_slots<OrderType>();
std::vector<PyType_Slot> order_status_slots = enum_slots<OrderStatus>();

const ClassAttribute order_type_members[] = {
    {"Buy", make_member<OrderType::Buy>},
    {"Sell", make_member<OrderType::Sell>},
    {nullptr, nullptr},
};

const ClassAttribute order_status_members[] = {
    {"Open", make_member<OrderStatus::Open>},
    {"Filled", make_member<OrderStatus::Filled>},
    {"Canceled", make_member<OrderStatus::Canceled>},
    {nullptr, nullptr},
};

}  // namespace

extern const ClassDefinition order_type_class{
    "OrderType", "builtins.OrderType", "Represents the side of an order: either Buy or Sell.", nullptr,
    sizeof(Instance<OrderType>), order_type_slots.data(), nullptr, nullptr, order_type_members,
};

extern const ClassDefinition order_status_class{
    "OrderStatus", "builtins.OrderStatus", "Represents the current status of an order.", nullptr,
    sizeof(Instance<OrderStatus>), order_status_slots.data(), nullptr, nullptr, order_status_members,
};

}  // namespace quoranth::py
