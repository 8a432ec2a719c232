#include "module/boundary.hpp"

#include <string_view>

namespace quoranth::py {

void raise_conversion_error(PyObject* object, const char* target) {
    OwnedRef qualname = OwnedRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (!qualname) {
        PyErr_Clear();
        qualname = OwnedRef::steal(PyUnicode_FromString("<unknown>"));
        if (!qualname) throw PythonError{};
    }
    raise(PyExc_TypeError,
          OwnedRef::steal(PyUnicode_FromFormat("'%S' object cannot be converted to '%s'", qualname.get(), target)));
}

namespace {

constexpr const char* panic_doc =
    "Raised when the internal code of the quoranth module fails.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it usually "
    "propagates through the whole stack and ends the interpreter instead of being caught by "
    "'except Exception'.";

// Created on first need and kept for the life of the process; never a module attribute.
PyObject* panic_exception_type() noexcept {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("quoranth.PanicException", panic_doc, PyExc_BaseException, nullptr);
    }
    return type;
}

// Source paths are absolute in a build tree; show them from "src/" on.
std::string_view project_path(const char* file) {
    const std::string_view path(file);
    const auto at = path.rfind("src/");
    return at == std::string_view::npos ? path : path.substr(at);
}

}  // namespace

[[gnu::cold]] void prepare_exceptions() noexcept {
    // Reads, and so allocates, the thread's exception state; the read is kept
    // (the function is pure, so a discarded result would drop the call).
    [[maybe_unused]] const volatile int in_flight = std::uncaught_exceptions();
    exceptions_ready = true;
}

void set_panic(const char* message, const std::source_location* where) noexcept {
    if (where != nullptr) {
        const std::string_view file = project_path(where->file_name());
        PySys_FormatStderr("quoranth: internal failure at %.*s:%u: %s\n", static_cast<int>(file.size()), file.data(),
                           static_cast<unsigned>(where->line()), message);
    } else {
        PySys_FormatStderr("quoranth: internal failure: %s\n", message);
    }
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the interpreter's own error from creating it stays set
    PyObject* text = PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::string_view(message).size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace quoranth::py
