#pragma once
// The one place that includes the CPython headers, and the owned reference
// every other file of the binding uses.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quoranth::py {

// An owned (strong) reference, released when it goes out of scope.
class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (may be null).
    static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }

    OwnedRef(OwnedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    ~OwnedRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit OwnedRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quoranth::py
