#pragma once
// The five classes: instance layout, what a class is declared from, the class
// objects (created once, when the module is first initialised) and new
// instances.
#include <cstddef>
#include <initializer_list>
#include <new>
#include <utility>

#include "lib/enums.hpp"
#include "lib/fill.hpp"
#include "lib/order.hpp"
#include "lib/order_book.hpp"
#include "module/boundary.hpp"

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

// ---------------------------------------------------------------- declaration rows
// A class is declared as one ClassDefinition: its name, texts, slots, and one
// row per method, attribute and class attribute (see call_frame.hpp for the
// builders that make the rows).

struct MethodRow {
    const char* name;
    const char* signature;  // "(self, other)": shown before the "--" line of the docstring
    const char* doc;
    PyCFunction entry;
    int flags;              // METH_FASTCALL | METH_KEYWORDS, or METH_NOARGS
};

struct AttributeRow {
    const char* name;
    const char* doc;
    getter entry;
};

struct ClassAttributeRow {
    const char* name;
    PyObject* (*make)(PyTypeObject* type);  // new reference, or null with an error set
};

struct Construction {
    newfunc from_tuple = nullptr;       // the constructor slot (argument tuple, keyword dictionary)
    vectorcallfunc from_array = nullptr;  // calls of the class, sparing the tuple
};

// The instance size and release routine of the class that wraps `Record`.
struct InstanceLayout {
    Py_ssize_t size;
    destructor release;
};

struct ClassDefinition {
    const char* name;                   // Python name, also used in messages
    const char* doc;
    const char* text_signature = nullptr;  // null for classes without a constructor
    InstanceLayout layout;
    Construction construct = {};        // none: calling the class raises "No constructor defined for ..."
    reprfunc repr = nullptr;
    unaryfunc integer = nullptr;
    richcmpfunc compare = nullptr;
    std::initializer_list<MethodRow> methods = {};
    std::initializer_list<AttributeRow> attributes = {};
    std::initializer_list<ClassAttributeRow> class_attributes = {};
};

// Each binding file defines its class's definition.
extern const ClassDefinition order_class, fill_class, order_book_class, order_type_class, order_status_class;

const ClassDefinition& class_definition(ClassId id) noexcept;

// ---------------------------------------------------------------- class objects

// Set once each, by create_classes during the first module initialisation;
// no instance (and so no call that tests a type) exists before.
inline PyTypeObject* class_objects[class_count] = {};

// Creates the class objects not yet created, in registration order.
void create_classes();

template <typename Record>
PyTypeObject* class_of() noexcept {
    return class_objects[static_cast<int>(ClassOf<Record>::id)];
}

// No class can be subclassed, so a type test is one compare.
template <typename Record>
bool is_instance(PyObject* object) noexcept {
    return Py_TYPE(object) == class_of<Record>();
}

// ---------------------------------------------------------------- instances

// Freed instances of one class, kept for reuse: results (fills, orders, enum
// members) come and go by the thousand, and reusing their memory is cheaper
// than the allocator. Guarded by the interpreter lock. Off under the address
// sanitizer, which must see every free.
template <typename Record>
struct FreeInstances {
#if defined(__SANITIZE_ADDRESS__)
    static constexpr int capacity = 0;
#else
    static constexpr int capacity = 512;
#endif
    static inline void* blocks[capacity > 0 ? capacity : 1];
    static inline int count = 0;
};

// A new instance whose record is the one `make()` returns, built in place,
// with a free access flag. If make() throws, the memory goes back.
template <typename Record, typename Make>
PyObject* new_instance_made(PyTypeObject* type, Make&& make) {
    using Pool = FreeInstances<Record>;
    void* memory = Pool::count > 0 ? Pool::blocks[--Pool::count] : PyObject_Malloc(sizeof(Instance<Record>));
    if (memory == nullptr) throw std::bad_alloc();
    auto* self = static_cast<Instance<Record>*>(memory);
    try {
        new (&self->record) Record(make());
    } catch (...) {
        if (Pool::count < Pool::capacity) Pool::blocks[Pool::count++] = memory;
        else PyObject_Free(memory);
        throw;
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), type);  // a reference to the class too
    new (&self->flag) AccessFlag();
    return object;
}

// A new instance owning `record`, with a free access flag.
template <typename Record, typename Value>
PyObject* new_instance(PyTypeObject* type, Value&& record) {
    return new_instance_made<Record>(type, [&]() -> Record { return Record(std::forward<Value>(record)); });
}

template <typename Record>
PyObject* new_instance(Record record) {
    return new_instance<Record>(class_of<Record>(), std::move(record));
}

// The instance release routine: the record, then the memory, then the
// instance's reference to its class.
template <typename Record>
void release_instance(PyObject* object) noexcept {
    using Pool = FreeInstances<Record>;
    PyTypeObject* type = Py_TYPE(object);
    instance_of<Record>(object)->record.~Record();
    if (Pool::count < Pool::capacity) Pool::blocks[Pool::count++] = object;
    else PyObject_Free(object);
    Py_DECREF(type);
}

template <typename Record>
constexpr InstanceLayout layout_of{sizeof(Instance<Record>), release_instance<Record>};

}  // namespace quoranth::py
