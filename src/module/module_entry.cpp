// PyInit_quoranth: creates the module once, registers the five classes, and
// refuses any interpreter but the first one that imported it.
#include <atomic>
#include <cstdint>

#include "module/boundary.hpp"
#include "module/classes.hpp"
#include "module/columns.hpp"
#include "module/module_entry.hpp"

namespace quoranth::py {

namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quoranth",
    "",  // empty docstring
    0,   // no per-module state
    nullptr, nullptr, nullptr, nullptr, nullptr,  // functions: added from private_function_tables
};

PyMethodDef* const private_function_tables[] = {lobster_functions, snapshot_functions};

std::atomic<std::int64_t> recorded_interpreter{-1};
PyObject* module_cell = nullptr;

// Appends `name` to the module's __all__ (creating it) and binds the class.
void add_class(PyObject* module, const char* name, PyObject* type) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonError{};
    }
    if (!PyList_Check(all.get())) raise_conversion_error(all.get(), "PyList");
    OwnedRef text = checked(PyUnicode_FromString(name));
    if (PyList_Append(all.get(), text.get()) < 0) fail_internal("could not append __name__ to __all__");
    if (PyObject_SetAttr(module, text.get(), type) < 0) throw PythonError{};
}

PyObject* initialise() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) raise(PyExc_SystemError, "attempted to fetch exception but none was set");
        throw PythonError{};
    }
    std::int64_t expected = -1;
    if (!recorded_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        raise(PyExc_ImportError,
              "quoranth does not support subinterpreters: it can only be imported in the first interpreter "
              "that loaded it");
    }
    if (module_cell != nullptr) return Py_NewRef(module_cell);

    OwnedRef module = checked(PyModule_Create2(&module_def, PYTHON_API_VERSION));
    for (PyMethodDef* functions : private_function_tables) {
        if (PyModule_AddFunctions(module.get(), functions) < 0) throw PythonError{};
    }
    create_classes();
    create_column_memory_type();
    prepare_batch_stops();
    for (int index = 0; index < class_count; ++index) {
        add_class(module.get(), class_definition(static_cast<ClassId>(index)).name,
                  reinterpret_cast<PyObject*>(class_objects[index]));
    }
    module_cell = Py_NewRef(module.get());
    return module.release();
}

}  // namespace

OwnedRef module_attribute(const char* name) {
    if (module_cell == nullptr) raise(PyExc_ImportError, "quoranth is not initialised");
    return checked(PyObject_GetAttrString(module_cell, name));
}

}  // namespace quoranth::py

PyMODINIT_FUNC PyInit_quoranth(void) {
    return quoranth::py::guarded([] { return quoranth::py::initialise(); });
}
