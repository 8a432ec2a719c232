#include "module/classes.hpp"

#include <string>
#include <vector>

#include "module/py_ref.hpp"

namespace quoranth::py {

extern const ClassSpec order_class;
extern const ClassSpec fill_class;
extern const ClassSpec order_book_class;
extern const ClassSpec order_type_class;
extern const ClassSpec order_status_class;

namespace {

const ClassSpec* const registry[class_count] = {
    &order_class, &fill_class, &order_book_class, &order_type_class, &order_status_class,
};

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) noexcept {
    PyObject* name = PyType_GetName(type);
    if (name == nullptr) {
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, "No constructor defined for <unknown>");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
    return nullptr;
}

// "Name(signature)\n--\n\ndoc": the interpreter splits this into
// __text_signature__ and __doc__.
std::string class_doc(const ClassSpec& spec) {
    if (spec.text_signature == nullptr) return spec.doc;
    return std::string(spec.name) + spec.text_signature + "\n--\n\n" + spec.doc;
}

// Wraps the pending error as RuntimeError(message) with the original as cause.
[[noreturn]] void raise_wrapped(const std::string& message) {
    PyObject* cause = PyErr_GetRaisedException();
    PyObject* error = PyObject_CallFunction(PyExc_RuntimeError, "s", message.c_str());
    if (error == nullptr) {
        Py_XDECREF(cause);
        throw PythonError{};
    }
    if (cause != nullptr) PyException_SetCause(error, cause);  // steals cause
    PyErr_SetRaisedException(error);                           // steals error
    throw PythonError{};
}

void set_class_attributes(PyObject* type, const ClassSpec& spec) {
    if (spec.class_attributes == nullptr) return;
    for (const ClassAttribute* attribute = spec.class_attributes; attribute->name != nullptr; ++attribute) {
        OwnedRef value = OwnedRef::steal(attribute->make(reinterpret_cast<PyTypeObject*>(type)));
        if (!value || PyObject_SetAttrString(type, attribute->name, value.get()) < 0) {
            raise_wrapped(std::string("An error occurred while initializing `") + spec.name + ".__dict__`");
        }
    }
}

}  // namespace

const ClassSpec& class_spec(ClassId id) noexcept { return *registry[static_cast<int>(id)]; }

PyTypeObject* class_object(ClassId id) {
    static PyTypeObject* cells[class_count] = {};
    static std::string docs[class_count];
    const int index = static_cast<int>(id);
    if (cells[index] != nullptr) return cells[index];

    const ClassSpec& spec = *registry[index];
    if (docs[index].empty()) docs[index] = class_doc(spec);

    std::vector<PyType_Slot> slots;
    for (const PyType_Slot* slot = spec.slots; slot->slot != 0; ++slot) slots.push_back(*slot);
    bool has_new = false;
    for (const PyType_Slot& slot : slots) has_new = has_new || slot.slot == Py_tp_new;
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
    slots.push_back({Py_tp_doc, const_cast<char*>(docs[index].c_str())});
    if (spec.methods != nullptr) slots.push_back({Py_tp_methods, spec.methods});
    if (spec.getsets != nullptr) slots.push_back({Py_tp_getset, spec.getsets});
    slots.push_back({0, nullptr});

    // Default flags only: not a base type (no subclassing), not GC-tracked.
    PyType_Spec type_spec{spec.full_name, spec.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    const std::string failure = std::string("An error occurred while initializing class ") + spec.name;
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&type_spec));
    if (!type) raise_wrapped(failure);
    try {
        set_class_attributes(type.get(), spec);
    } catch (const PythonError&) {
        raise_wrapped(failure);
    }
    cells[index] = reinterpret_cast<PyTypeObject*>(type.release());
    return cells[index];
}

}  // namespace quoranth::py
