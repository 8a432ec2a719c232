#pragma once
// Result conversion: each operation result becomes a new Python object.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "module/classes.hpp"

namespace quoranth::py {

// An object the operation built itself passes through.
inline PyObject* to_python(PyObject* object) { return object; }
inline PyObject* to_python(bool value) { return PyBool_FromLong(value); }
inline PyObject* to_python(std::int64_t value) { return checked(PyLong_FromLongLong(value)).release(); }
inline PyObject* to_python(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)).release(); }
inline PyObject* to_python(double value) { return checked(PyFloat_FromDouble(value)).release(); }
inline PyObject* to_python(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)).release();
}
// Order identifiers are ASCII by construction: copy them without decoding.
inline PyObject* to_python(const OrderId& id) {
    PyObject* text = PyUnicode_New(OrderId::length, 127);
    if (text == nullptr) throw PythonError{};
    std::memcpy(PyUnicode_DATA(text), id.data(), OrderId::length);
    return text;
}

// Records of the module's classes become new instances owning a copy.
inline PyObject* to_python(Order record) { return new_instance(std::move(record)); }
inline PyObject* to_python(Fill record) { return new_instance(std::move(record)); }
inline PyObject* to_python(OrderType value) { return new_instance(value); }
inline PyObject* to_python(OrderStatus value) { return new_instance(value); }

// (price in ticks, quantity) of a side's best level.
inline PyObject* to_python(const Quote& quote) {
    OwnedRef tuple = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, to_python(quote.price_in_ticks));
    PyTuple_SET_ITEM(tuple.get(), 1, to_python(quote.quantity));
    return tuple.release();
}

// (price in ticks, quantity, orders) of one level of a depth view.
inline PyObject* to_python(const DepthLevel& level) {
    OwnedRef tuple = checked(PyTuple_New(3));
    PyTuple_SET_ITEM(tuple.get(), 0, to_python(level.price_in_ticks));
    PyTuple_SET_ITEM(tuple.get(), 1, to_python(level.quantity));
    PyTuple_SET_ITEM(tuple.get(), 2, to_python(level.orders));
    return tuple.release();
}

// (orders ahead, quantity ahead) of a resting order.
inline PyObject* to_python(const QueuePosition& position) {
    OwnedRef tuple = checked(PyTuple_New(2));
    PyTuple_SET_ITEM(tuple.get(), 0, to_python(position.orders_ahead));
    PyTuple_SET_ITEM(tuple.get(), 1, to_python(position.quantity_ahead));
    return tuple.release();
}

template <typename T>
PyObject* to_python(std::vector<T> values);

// (bids, asks), each a list of levels, best price first.
inline PyObject* to_python(Depth depth) {
    OwnedRef bids = OwnedRef::steal(to_python(std::move(depth.bids)));
    OwnedRef asks = OwnedRef::steal(to_python(std::move(depth.asks)));
    return checked(PyTuple_Pack(2, bids.get(), asks.get())).release();
}

template <typename T>
PyObject* to_python(std::optional<T> value) {
    if (!value) Py_RETURN_NONE;
    return to_python(std::move(*value));
}

// A list made with its exact length, one new object per element, in order.
template <typename T>
PyObject* to_python(std::vector<T> values) {
    OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(std::move(values[i])));
    }
    return list.release();
}

template <typename T>
PyObject* to_python(std::span<const T> values) {
    OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]));
    }
    return list.release();
}

// Calls `operation` and converts what it returns; nothing becomes None.
template <typename Operation, typename... Args>
PyObject* call_and_convert(Operation&& operation, Args&&... args) {
    using Result = std::invoke_result_t<Operation, Args...>;
    if constexpr (std::is_void_v<Result>) {
        std::invoke(std::forward<Operation>(operation), std::forward<Args>(args)...);
        Py_RETURN_NONE;
    } else {
        return to_python(std::invoke(std::forward<Operation>(operation), std::forward<Args>(args)...));
    }
}

}  // namespace quoranth::py
