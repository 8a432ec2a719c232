#include "module/columns.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

namespace quoranth::py {

ItemKind number_items(const Py_buffer& view) {
    const char* format = view.format != nullptr ? view.format : "B";
    if (*format == '>' || *format == '!') {
        raise(PyExc_TypeError, "expected a one-dimensional buffer of numbers in native byte order");
    }
    if (*format == '@' || *format == '=' || *format == '<') ++format;  // native order (little-endian hosts)
    const char code = format[0];
    if (view.ndim != 1 || code == '\0' || format[1] != '\0') {
        raise(PyExc_TypeError, "expected a one-dimensional buffer of numbers");
    }
    const auto size = static_cast<std::size_t>(view.itemsize);
    switch (code) {
        case 'b': case 'h': case 'i': case 'l': case 'q': case 'n': return {true, true, size};
        case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N': return {true, false, size};
        case '?': return {true, false, size};  // bools (NumPy's too) as 0 and 1: a sides column, say
        case 'f': case 'd': return {false, true, size};
        default: break;
    }
    raise(PyExc_TypeError, "expected a one-dimensional buffer of numbers");
}

namespace {

// The items lie `stride` bytes apart (negative for a reversed view), aligned
// or not.
template <typename Source, typename T>
void convert_items(const void* data, std::size_t count, Py_ssize_t stride, std::vector<T>& out) {
    const auto* first = static_cast<const char*>(data);
    out.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        Source value;
        std::memcpy(&value, first + static_cast<Py_ssize_t>(i) * stride, sizeof value);
        if constexpr (std::is_integral_v<T>) {
            // Integers only (checked by the caller), each within T's range.
            if (!std::in_range<T>(value)) {
                PyErr_Format(PyExc_ValueError, "item %zu is out of range for its column", i);
                throw PythonError{};
            }
        }
        out[i] = static_cast<T>(value);
    }
}

template <typename T>
void convert_by_kind(const ItemKind& kind, const void* data, std::size_t count, Py_ssize_t stride,
                     std::vector<T>& out) {
    if (!kind.integer) {
        if constexpr (std::is_integral_v<T>) raise(PyExc_TypeError, "expected a buffer of integers");
        else if (kind.size == 4) return convert_items<float>(data, count, stride, out);
        else return convert_items<double>(data, count, stride, out);
    }
    switch (kind.size) {
        case 1: return kind.is_signed ? convert_items<std::int8_t>(data, count, stride, out) : convert_items<std::uint8_t>(data, count, stride, out);
        case 2: return kind.is_signed ? convert_items<std::int16_t>(data, count, stride, out) : convert_items<std::uint16_t>(data, count, stride, out);
        case 4: return kind.is_signed ? convert_items<std::int32_t>(data, count, stride, out) : convert_items<std::uint32_t>(data, count, stride, out);
        case 8: return kind.is_signed ? convert_items<std::int64_t>(data, count, stride, out) : convert_items<std::uint64_t>(data, count, stride, out);
        default: raise(PyExc_TypeError, "expected a one-dimensional buffer of numbers");
    }
}

// The memory of one result column: the engine's vector, moved in, exported
// read-only as items of its type. A memoryview over it costs two small
// objects and no copy, so that a batch that ran out of memory can most
// likely still hand over the fills it made.
struct ColumnMemory {
    PyObject_HEAD
    alignas(std::vector<double>) unsigned char storage[sizeof(std::vector<double>)];
    void (*destroy)(ColumnMemory&) noexcept;
    const void* data;
    Py_ssize_t count;
    Py_ssize_t itemsize;
    const char* format;
};

template <typename T>
void destroy_values(ColumnMemory& memory) noexcept {
    using Values = std::vector<T>;
    std::launder(reinterpret_cast<Values*>(memory.storage))->~Values();
}

int export_column(PyObject* self, Py_buffer* view, int flags) {
    auto& memory = *reinterpret_cast<ColumnMemory*>(self);
    if (PyBuffer_FillInfo(view, self, const_cast<void*>(memory.data), memory.count * memory.itemsize, 1, flags) < 0) {
        return -1;
    }
    view->itemsize = memory.itemsize;
    if ((flags & PyBUF_FORMAT) == PyBUF_FORMAT) view->format = const_cast<char*>(memory.format);
    if ((flags & PyBUF_ND) == PyBUF_ND) view->shape = &memory.count;
    if ((flags & PyBUF_STRIDES) == PyBUF_STRIDES) view->strides = &memory.itemsize;
    return 0;
}

void release_column(PyObject* self) {
    auto& memory = *reinterpret_cast<ColumnMemory*>(self);
    memory.destroy(memory);
    PyTypeObject* const type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot column_memory_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(export_column)},
    {Py_tp_dealloc, reinterpret_cast<void*>(release_column)},
    {0, nullptr},
};

PyType_Spec column_memory_spec = {
    "quoranth._ColumnMemory",
    sizeof(ColumnMemory),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    column_memory_slots,
};

PyTypeObject* column_memory_type = nullptr;

// The items of an empty column lie nowhere; a buffer still points somewhere.
constexpr double no_items = 0;

template <typename T>
std::vector<T>& values_of(ColumnMemory& memory) noexcept {
    return *std::launder(reinterpret_cast<std::vector<T>*>(memory.storage));
}

template <typename T>
PyObject* column_of(std::vector<T>& values, const char* format) {
    static_assert(sizeof(std::vector<T>) == sizeof(std::vector<double>) && alignof(std::vector<T>) <= alignof(std::vector<double>));
    // Every column is a new memoryview, empty ones too: a caller may release
    // a view (a `with` block does), and that must not reach any other result.
    auto* memory = PyObject_New(ColumnMemory, column_memory_type);
    if (memory == nullptr) throw PythonError{};
    auto* const held = new (memory->storage) std::vector<T>();
    memory->destroy = destroy_values<T>;
    held->swap(values);
    memory->data = held->empty() ? static_cast<const void*>(&no_items) : held->data();
    memory->count = static_cast<Py_ssize_t>(held->size());
    memory->itemsize = sizeof(T);
    memory->format = format;
    OwnedRef owner = OwnedRef::steal(reinterpret_cast<PyObject*>(memory));
    PyObject* const column = PyMemoryView_FromObject(owner.get());
    if (column == nullptr) {
        held->swap(values);
        throw PythonError{};
    }
    return column;
}

template <typename T>
void take_back_values(PyObject* column, std::vector<T>& values) noexcept {
    auto& memory = *reinterpret_cast<ColumnMemory*>(PyMemoryView_GET_BASE(column));
    values_of<T>(memory).swap(values);
    memory.data = &no_items;
    memory.count = 0;
}

template <typename T>
PyObject* array_of(std::span<const T> values, const char* typecode) {
    static PyObject* array_type = nullptr;
    static PyObject* frombytes = nullptr;
    kept(array_type, [] {
        OwnedRef module = checked(PyImport_ImportModule("array"));
        return PyObject_GetAttrString(module.get(), "array");
    });
    kept(frombytes, [] { return PyUnicode_InternFromString("frombytes"); });
    OwnedRef array = checked(PyObject_CallFunction(array_type, "s", typecode));
    // The values' own memory, lent for the one copy into the array.
    OwnedRef lent = checked(PyMemoryView_FromMemory(const_cast<char*>(reinterpret_cast<const char*>(values.data())),
                                                    static_cast<Py_ssize_t>(values.size_bytes()), PyBUF_READ));
    checked(PyObject_CallMethodOneArg(array.get(), frombytes, lent.get()));
    return array.release();
}

}  // namespace

// Strides are asked for, so that a column taken out of a table (a NumPy
// column, a memoryview with a step) is accepted too; its items are copied
// unless they are of T, adjacent and aligned.
template <typename T>
typename Column<T>::Holder Column<T>::convert(PyObject* object) {
    Holder holder{BufferView(object, PyBUF_STRIDES | PyBUF_FORMAT), {}, {}};
    const Py_buffer& view = *holder.view;
    const ItemKind kind = number_items(view);
    const auto count = static_cast<std::size_t>(view.len / view.itemsize);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const bool same = kind.size == sizeof(T) && kind.integer == std::is_integral_v<T> &&
                      (!kind.integer || kind.is_signed == std::is_signed_v<T>);
    const bool aligned = reinterpret_cast<std::uintptr_t>(view.buf) % alignof(T) == 0;
    if (same && aligned && (stride == view.itemsize || count <= 1)) {
        holder.data = {static_cast<const T*>(view.buf), count};
    } else {
        convert_by_kind(kind, view.buf, count, stride, holder.converted);
        holder.data = holder.converted;
    }
    return holder;
}

template struct Column<std::int8_t>;
template struct Column<std::int64_t>;
template struct Column<double>;

PyObject* to_array(std::span<const std::int8_t> values) { return array_of(values, "b"); }
PyObject* to_array(std::span<const std::int64_t> values) { return array_of(values, "q"); }
PyObject* to_array(std::span<const double> values) { return array_of(values, "d"); }

void create_column_memory_type() {
    if (column_memory_type == nullptr) {
        column_memory_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&column_memory_spec)).release());
    }
}

PyObject* to_column(std::vector<std::int8_t>& values) { return column_of(values, "b"); }
PyObject* to_column(std::vector<std::int64_t>& values) { return column_of(values, "q"); }
PyObject* to_column(std::vector<double>& values) { return column_of(values, "d"); }

void take_back(PyObject* column, std::vector<std::int8_t>& values) noexcept { take_back_values(column, values); }
void take_back(PyObject* column, std::vector<std::int64_t>& values) noexcept { take_back_values(column, values); }
void take_back(PyObject* column, std::vector<double>& values) noexcept { take_back_values(column, values); }

}  // namespace quoranth::py
