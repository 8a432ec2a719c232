#pragma once
#include <cstddef>
#include <new>
#include <utility>

#include "lib/enums.hpp"
#include "lib/fill.hpp"
#include "lib/order.hpp"
#include "lib/order_book.hpp"
#include "module/access_flag.hpp"
#include "module/errors.hpp"

namespace quoranth::py {

// The five classes, in the order they are registered and added to the module.
enum class ClassId { Order, Fill, OrderBook, OrderType, OrderStatus };
constexpr int class_count = 5;

// Which class wraps which engine record.
template <typename Record> struct ClassOf;
template <> struct ClassOf<quoranth::Order> { static constexpr ClassId id = ClassId::Order; };
template <> struct ClassOf<quoranth::Fill> { static constexpr ClassId id = ClassId::Fill; };
template <> struct ClassOf<quoranth::OrderBook> { static constexpr ClassId id = ClassId::OrderBook; };
template <> struct ClassOf<quoranth::OrderType> { static constexpr ClassId id = ClassId::OrderType; };
template <> struct ClassOf<quoranth::OrderStatus> { static constexpr ClassId id = ClassId::OrderStatus; };

// Instance layout: object header, the value record, the access flag.
template <typename Record>
struct Instance {
    PyObject_HEAD
    Record record;
    AccessFlag flag;
};

template <typename Record>
Instance<Record>* instance_of(PyObject* object) noexcept {
    return reinterpret_cast<Instance<Record>*>(object);
}

// What a class is built from. Each binding file provides one.
struct ClassAttribute {
    const char* name;
    PyObject* (*make)(PyTypeObject* type);  // new reference, or null with an error set
};

struct ClassDefinition {
    const char* name;            // Python name, also used in messages
    const char* full_name;       // "builtins." + name
    const char* doc;
    const char* text_signature;  // null for classes without a constructor
    int basic_size;
    PyType_Slot* slots;          // constructor, repr, int, richcompare, dealloc; {0, nullptr}-terminated
    PyMethodDef* methods;        // may be null
    PyGetSetDef* getsets;        // may be null
    const ClassAttribute* class_attributes;  // may be null; {nullptr, nullptr}-terminated
    // Calling the class with an argument array: the same construction as the
    // constructor slot, without packing the arguments into a tuple first.
    vectorcallfunc construct = nullptr;
};

// Creates a class object (once); see class_object.
PyTypeObject* create_class_object(ClassId id);

// Class objects once created; read on every type test and result object.
inline PyTypeObject* class_cells[class_count] = {};

// The class object, created on first use and then shared for the process.
inline PyTypeObject* class_object(ClassId id) {
    PyTypeObject* type = class_cells[static_cast<int>(id)];
    return type != nullptr ? type : create_class_object(id);
}
const ClassDefinition& class_definition(ClassId id) noexcept;

template <typename Record>
PyTypeObject* class_of() {
    return class_object(ClassOf<Record>::id);
}

template <typename Record>
bool is_instance(PyObject* object) {
    return PyObject_TypeCheck(object, class_of<Record>());
}

// A new instance of `type` owning `record`, with a free access flag.
template <typename Record>
PyObject* new_instance(PyTypeObject* type, Record&& record) {
    PyObject* object = type->tp_alloc(type, 0);
    if (object == nullptr) throw PythonError{};
    Instance<std::decay_t<Record>>* self = instance_of<std::decay_t<Record>>(object);
    new (&self->record) std::decay_t<Record>(std::forward<Record>(record));
    new (&self->flag) AccessFlag();
    return object;
}

template <typename Record>
PyObject* new_instance(Record&& record) {
    return new_instance(class_of<std::decay_t<Record>>(), std::forward<Record>(record));
}

// The classes' allocation routine: every field is constructed right after, so
// the memory need not be zeroed first (the generic routine clears it). The
// objects are not tracked by the cyclic collector.
PyObject* allocate_instance(PyTypeObject* type, Py_ssize_t items) noexcept;

// Releases the record, then the object memory; heap-type instances also hold
// a reference to their class.
template <typename Record>
void release_instance(PyObject* object) noexcept {
    PyTypeObject* type = Py_TYPE(object);
    instance_of<Record>(object)->record.~Record();
    type->tp_free(object);
    Py_DECREF(type);
}

}  // namespace quoranth::py
