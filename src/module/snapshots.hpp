#pragma once
// Pickle and copy for the five classes: each class declares the rows below
// (__reduce__, __copy__, __deepcopy__); their operations are in
// bind_snapshots.cpp. The
// classes report module "builtins", where pickle cannot find them, so
// __reduce__ names a private module function that rebuilds the object
// (quoranth._restore_order and the like) and that pickle finds by name.
#include "module/call_frame.hpp"

namespace quoranth::py {

// (reconstructor, arguments): every field of the record, a book as its
// snapshot bytes, an enumeration member as its integer value.
PyObject* reduced(const Order& order);
PyObject* reduced(const Fill& fill);
PyObject* reduced(const OrderBook& book);
PyObject* reduced(OrderType member);
PyObject* reduced(OrderStatus member);

// A new object holding a copy (a book: an independent book in the same
// state); for an enumeration member, the class's own member object.
PyObject* copied(const Order& order);
PyObject* copied(const Fill& fill);
PyObject* copied(const OrderBook& book);
PyObject* copied(OrderType member);
PyObject* copied(OrderStatus member);

// The row operations. Records hold no Python objects, so a deep copy is a copy.
template <typename Record>
PyObject* reduce_of(const Record& record) {
    return reduced(record);
}
template <typename Record>
PyObject* copy_of(const Record& record) {
    return copied(record);
}
template <typename Record>
PyObject* deep_copy_of(const Record& record, PyObject* /*memo*/) {
    return copied(record);
}

// The rows every class declares for pickle and copy.
template <typename Record>
MethodRow reduce_row() {
    return method<"__reduce__", reduce_of<Record>, Read<Record>>(
        "($self, /)", "(reconstructor, arguments) for pickle: a private function of the module and the state.");
}
template <typename Record>
MethodRow copy_row() {
    return method<"__copy__", copy_of<Record>, Read<Record>>("($self, /)", "A new object in the same state.");
}
template <typename Record>
MethodRow deep_copy_row() {
    return method<"__deepcopy__", deep_copy_of<Record>, Read<Record>, Arg<"memo", Object>>(
        "($self, memo, /)", "The same as __copy__: the state refers to no other Python object.");
}

}  // namespace quoranth::py
