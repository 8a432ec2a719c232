#pragma once
#include <string>

#include "module/py_ref.hpp"

namespace quoranth::py {

// Thrown when a Python exception is already set; the call boundary returns
// null and the interpreter raises it.
struct PythonError {};

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

// Raises `type` with the text of `message` (a new reference, may be null).
[[noreturn]] inline void raise(PyObject* type, OwnedRef message) {
    if (message) PyErr_SetObject(type, message.get());
    throw PythonError{};
}

// A new reference from the C API, or throw if it signalled an error.
inline OwnedRef checked(PyObject* result) {
    if (result == nullptr) throw PythonError{};
    return OwnedRef::steal(result);
}

// TypeError "'<qualname of obj's class>' object cannot be converted to '<target>'".
[[noreturn]] void raise_conversion_error(PyObject* object, const char* target);

}  // namespace quoranth::py
