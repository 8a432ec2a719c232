#include "module/classes.hpp"

#include <deque>
#include <string>
#include <vector>

namespace quoranth::py {

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

// Texts and tables handed to the interpreter live as long as the classes.
std::deque<std::string> kept_texts;
std::deque<std::vector<PyMethodDef>> kept_method_tables;
std::deque<std::vector<PyGetSetDef>> kept_attribute_tables;

const char* keep(std::string text) { return kept_texts.emplace_back(std::move(text)).c_str(); }

// "name(signature)\n--\n\ndoc": the interpreter splits this into
// __text_signature__ and __doc__.
const char* documentation(const char* name, const char* signature, const char* doc) {
    if (signature == nullptr) return doc;
    return keep(std::string(name) + signature + "\n--\n\n" + doc);
}

PyMethodDef* method_table(const ClassDefinition& definition) {
    std::vector<PyMethodDef>& table = kept_method_tables.emplace_back();
    for (const MethodRow& row : definition.methods) {
        table.push_back({row.name, row.entry, row.flags, documentation(row.name, row.signature, row.doc)});
    }
    table.push_back({nullptr, nullptr, 0, nullptr});
    return table.data();
}

PyGetSetDef* attribute_table(const ClassDefinition& definition) {
    std::vector<PyGetSetDef>& table = kept_attribute_tables.emplace_back();
    for (const AttributeRow& row : definition.attributes) {
        table.push_back({row.name, row.entry, nullptr, row.doc, nullptr});
    }
    table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    return table.data();
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
    for (const ClassAttributeRow& attribute : definition.class_attributes) {
        OwnedRef value = OwnedRef::steal(attribute.make(reinterpret_cast<PyTypeObject*>(type)));
        if (!value || PyObject_SetAttrString(type, attribute.name, value.get()) < 0) {
            raise_wrapped(std::string("An error occurred while initializing `") + definition.name + ".__dict__`");
        }
    }
}

PyTypeObject* create_class(const ClassDefinition& definition) {
    std::vector<PyType_Slot> slots{
        {Py_tp_new, reinterpret_cast<void*>(definition.construct.from_tuple ? definition.construct.from_tuple
                                                                            : no_constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(definition.layout.release)},
        {Py_tp_doc, const_cast<char*>(documentation(definition.name, definition.text_signature, definition.doc))},
        {Py_tp_methods, method_table(definition)},
        {Py_tp_getset, attribute_table(definition)},
    };
    if (definition.repr) slots.push_back({Py_tp_repr, reinterpret_cast<void*>(definition.repr)});
    if (definition.integer) slots.push_back({Py_nb_int, reinterpret_cast<void*>(definition.integer)});
    if (definition.compare) slots.push_back({Py_tp_richcompare, reinterpret_cast<void*>(definition.compare)});
    slots.push_back({0, nullptr});

    // Default flags only: not a base type (no subclassing), not GC-tracked.
    PyType_Spec type_spec{keep(std::string("builtins.") + definition.name), static_cast<int>(definition.layout.size), 0, Py_TPFLAGS_DEFAULT,
                          slots.data()};
    const std::string failure = std::string("An error occurred while initializing class ") + definition.name;
    OwnedRef type = OwnedRef::steal(PyType_FromSpec(&type_spec));
    if (!type) raise_wrapped(failure);
    auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
    type_object->tp_vectorcall = definition.construct.from_array;
    try {
        set_class_attributes(type.get(), definition);
    } catch (const PythonError&) {
        raise_wrapped(failure);
    }
    // Immutable from here on: no class attribute (__new__ included) can be
    // replaced, so every instance comes from the construction above.
    type_object->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type_object);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

}  // namespace

const ClassDefinition& class_definition(ClassId id) noexcept { return *registry[static_cast<int>(id)]; }

void create_classes() {
    for (int index = 0; index < class_count; ++index) {
        if (class_objects[index] == nullptr) class_objects[index] = create_class(*registry[index]);
    }
}

}  // namespace quoranth::py
