#include "module/classes.hpp"

#include <string>
#include <vector>

#include "module/py_ref.hpp"

namespace quoranth::py {

extern const ClassDefinition order_class;
extern const ClassDefinition fill_class;
extern const ClassDefinition order_book_class;
extern const ClassDefinition order_type_class;
extern const ClassDefinition order_status_class;

namespace {

const ClassDefinition* const registry[class_count] = {
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
std::string class_doc(const ClassDefinition& definition) {
    if (definition.text_signature == nullptr) return definition.doc;
    return std::string(definition.name) + definition.text_signature + "\n--\n\n" + definition.doc;
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

void set_class_attributes(PyObject* type, const ClassDefinition& definition) {
    if (definition.class_attributes == nullptr) return;
    for (const ClassAttribute* attribute = definition.class_attributes; attribute->name != nullptr; ++attribute) {
        OwnedRef value = OwnedRef::steal(attribute->make(reinterpret_cast<PyTypeObject*>(type)));
        if (!value || PyObject_SetAttrString(type, attribute->name, value.get()) < 0) {
            raise_wrapped(std::string("An error occurred while initializing `") + definition.name + ".__dict__`");
        }
    }
}

}  // namespace

PyObject* allocate_instance(PyTypeObject* type, Py_ssize_t) noexcept {
    PyObject* object = static_cast<PyObject*>(PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize)));
    if (object == nullptr) return PyErr_NoMemory();
    return PyObject_Init(object, type);  // sets the type (a new reference) and the reference count
}

const ClassDefinition& class_definition(ClassId id) noexcept { return *registry[static_cast<int>(id)]; }

PyTypeObject* create_class_object(ClassId id) {
    static std::string docs[class_count];
    const int index = static_cast<int>(id);
    if (class_cells[index] != nullptr) return class_cells[index];

    const ClassDefinition& definition = *registry[index];
    if (docs[index].empty()) docs[index] = class_doc(definition);

    std::vector<PyType_Slot> slots;
    for (const PyType_Slot* slot = definition.slots; slot->slot != 0; ++slot) slots.push_back(*slot);
    bool has_new = false;
    for (const PyType_Slot& slot : slots) has_new = has_new || slot.slot == Py_tp_new;
    if (!has_new) slots.push_back({Py_tp_new, reinterpret_cast<void*>(no_constructor)});
    slots.push_back({Py_tp_alloc, reinterpret_cast<void*>(allocate_instance)});
    slots.push_back({Py_tp_free, reinterpret_cast<void*>(PyObject_Free)});
    slots.push_back({Py_tp_doc, const_cast<char*>(docs[index].c_str())});
    if (definition.methods != nullptr) slots.push_back({Py_tp_methods, definition.methods});
    if (definition.getsets != nullptr) slots.push_back({Py_tp_getset, definition.getsets});
    slots.push_back({0, nullptr});

    // Default flags only: not a base type (no subclassing), not GC-tracked.
    PyType_Spec type_spec{definition.full_name, definition.basic_size, 0, Py_TPFLAGS_DEFAULT, slots.data()};
    const std::string failure = std::string("An error occurred while initializing class ") + definition.name;
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&type_spec));
    if (!type) raise_wrapped(failure);
    if (definition.construct != nullptr) reinterpret_cast<PyTypeObject*>(type.get())->tp_vectorcall = definition.construct;
    try {
        set_class_attributes(type.get(), definition);
    } catch (const PythonError&) {
        raise_wrapped(failure);
    }
    class_cells[index] = reinterpret_cast<PyTypeObject*>(type.release());
    return class_cells[index];
}

}  // namespace quoranth::py
