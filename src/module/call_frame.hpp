#pragma once
// The call frame every Python entry goes through: parse the arguments, take
// access to the receiver, convert the arguments in order, run the operation,
// convert the result, release every access, map failures to exceptions. Each
// binding instantiates one of the entry templates below with its operation,
// its parameter description and the kinds of its receiver and arguments.
#include <functional>
#include <tuple>
#include <utility>

#include "module/boundary.hpp"
#include "module/conversions.hpp"
#include "module/parameters.hpp"
#include "module/results.hpp"

namespace quoranth::py {

// Receiver kinds: the receiver is converted like an object argument (type
// test, then access), before any argument.
template <typename Record>
using Shared = ObjectUnderAccess<Record, AccessMode::Shared>;
template <typename Record>
using Exclusive = ObjectUnderAccess<Record, AccessMode::Exclusive>;

// Converts argument `index`; a plain TypeError gets the argument's name.
template <typename Kind>
auto convert_argument(const Parameters& params, int index, PyObject* object) {
    try {
        return Kind::convert(object);
    } catch (const PythonError&) {
        prefix_argument_error(params.names[index]);
        throw;
    }
}

// Converts all arguments left to right (a braced list fixes the order) and
// keeps their holders, and so their accesses, alive until the result exists.
template <typename... Kinds, std::size_t... I, typename Invoke>
PyObject* with_converted(const Parameters& params, PyObject* const* slots, std::index_sequence<I...>, Invoke&& invoke) {
    std::tuple<decltype(Kinds::convert(nullptr))...> held{convert_argument<Kinds>(params, I, slots[I])...};
    return invoke(std::get<I>(held).get()...);
}

// A method with parameters (METH_FASTCALL | METH_KEYWORDS).
template <auto Operation, const Parameters& Params, typename ReceiverKind, typename... Kinds>
PyObject* method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        PyObject* slots[sizeof...(Kinds)];
        parse_fastcall(Params, args, nargs, kwnames, slots);
        auto receiver = ReceiverKind::convert(self);
        return with_converted<Kinds...>(Params, slots, std::index_sequence_for<Kinds...>{}, [&](auto&&... values) {
            return call_and_convert(Operation, receiver.get(), std::forward<decltype(values)>(values)...);
        });
    });
}

// A method without parameters (METH_NOARGS), a getter or a unary slot.
template <auto Operation, typename ReceiverKind>
PyObject* unary(PyObject* self) noexcept {
    return guarded([&]() -> PyObject* {
        auto receiver = ReceiverKind::convert(self);
        return call_and_convert(Operation, receiver.get());
    });
}

template <auto Operation, typename ReceiverKind>
PyObject* no_arguments(PyObject* self, PyObject*) noexcept {
    return unary<Operation, ReceiverKind>(self);
}

template <auto Operation, typename ReceiverKind>
PyObject* getter(PyObject* self, void*) noexcept {
    return unary<Operation, ReceiverKind>(self);
}

// A constructor: the operation builds the record from the converted
// arguments, so its validation runs before any allocation. from_tuple is the
// type's constructor slot (argument tuple and keyword dictionary); from_vector
// serves calls of the class with an argument array, sparing the tuple.
template <auto Make, const Parameters& Params, typename... Kinds>
struct Constructor {
    static PyObject* build(PyTypeObject* type, PyObject* const* slots) {
        return with_converted<Kinds...>(Params, slots, std::index_sequence_for<Kinds...>{}, [&](auto&&... values) {
            return new_instance(type, std::invoke(Make, std::forward<decltype(values)>(values)...));
        });
    }
    static PyObject* from_tuple(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&]() -> PyObject* {
            PyObject* slots[sizeof...(Kinds)];
            parse_tuple_dict(Params, args, kwargs, slots);
            return build(type, slots);
        });
    }
    static PyObject* from_vector(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) noexcept {
        return guarded([&]() -> PyObject* {
            PyObject* slots[sizeof...(Kinds)];
            parse_fastcall(Params, args, PyVectorcall_NARGS(nargsf), kwnames, slots);
            return build(reinterpret_cast<PyTypeObject*>(type), slots);
        });
    }
};

// Builders for the interpreter's tables.
template <auto Entry>
inline PyMethodDef method_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry)), METH_FASTCALL | METH_KEYWORDS, doc};
}
template <auto Entry>
inline PyMethodDef no_arguments_def(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry)), METH_NOARGS, doc};
}
template <auto Entry>
inline PyGetSetDef getter_def(const char* name, const char* doc) {
    return {name, Entry, nullptr, doc, nullptr};
}
template <typename Function>
PyType_Slot slot(int id, Function function) {
    return {id, reinterpret_cast<void*>(function)};
}

}  // namespace quoranth::py
