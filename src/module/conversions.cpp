#include "module/conversions.hpp"

namespace quoranth::py {

std::string_view Text::utf8_view(PyObject* object) {
    if (!PyUnicode_Check(object)) raise_conversion_error(object, "PyString");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(object, &size);  // UnicodeEncodeError for lone surrogates
    if (data == nullptr) throw PythonError{};
    return {data, static_cast<std::size_t>(size)};
}

ValueHolder<std::int64_t> Count::convert(PyObject* object) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (value == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0) return {overflow > 0 ? INT64_MAX : INT64_MIN};
    return {value};
}

ValueHolder<std::uint64_t> UInt64::convert(PyObject* object) {
    OwnedRef index;
    if (!PyLong_Check(object)) {
        index = checked(PyNumber_Index(object));
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
    return {value};
}

void prefix_argument_error(const char* name, bool value_errors) noexcept {
    PyObject* const type = value_errors && PyErr_ExceptionMatches(PyExc_ValueError) ? PyExc_ValueError : PyExc_TypeError;
    if (!PyErr_ExceptionMatches(type)) return;
    PyObject* original = PyErr_GetRaisedException();
    if (Py_TYPE(original) != reinterpret_cast<PyTypeObject*>(type)) {
        PyErr_SetRaisedException(original);  // a subclass passes unchanged
        return;
    }
    PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, original);
    PyObject* replacement = message ? PyObject_CallOneArg(type, message) : nullptr;
    Py_XDECREF(message);
    if (replacement == nullptr) {
        Py_DECREF(original);
        return;  // the error from building the replacement is pending instead
    }
    if (PyObject* cause = PyException_GetCause(original)) PyException_SetCause(replacement, cause);
    Py_DECREF(original);
    PyErr_SetRaisedException(replacement);
}

}  // namespace quoranth::py
