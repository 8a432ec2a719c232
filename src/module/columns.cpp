#include "module/columns.hpp"

#include <cmath>
#include <cstring>
#include <limits>
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

template <typename T>
PyObject* column_of(std::span<const T> values, const char* format) {
    // Every column is a new memoryview, empty ones too: a caller may release
    // a view (a `with` block does), and that must not reach any other result.
    OwnedRef bytes = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                                       static_cast<Py_ssize_t>(values.size_bytes())));
    OwnedRef view = checked(PyMemoryView_FromObject(bytes.get()));
    // memoryview.cast called through the vectorcall protocol with names and
    // formats made once: most of a small column's cost is this call.
    static PyObject* cast = nullptr;
    static PyObject* item_format = nullptr;
    return checked(PyObject_CallMethodOneArg(view.get(), kept(cast, [] { return PyUnicode_InternFromString("cast"); }),
                                             kept(item_format, [&] { return PyUnicode_InternFromString(format); })))
        .release();
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

PyObject* to_column(std::span<const std::int8_t> values) { return column_of(values, "b"); }
PyObject* to_column(std::span<const std::int64_t> values) { return column_of(values, "q"); }
PyObject* to_column(std::span<const double> values) { return column_of(values, "d"); }

}  // namespace quoranth::py
