#pragma once
// Columns of numbers both ways, through the buffer protocol, so that arrays
// (array.array, NumPy, memoryview) go in and out without NumPy being needed.
// In: `Bytes` (any contiguous buffer, read as bytes) and `Column<T>` (a
// one-dimensional buffer of numbers, used in place when its items are T,
// converted otherwise). Out: `to_column` makes a read-only memoryview over a
// vector of T, `to_array` an array.array.
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "module/boundary.hpp"
#include "module/conversions.hpp"

namespace quoranth::py {

// A buffer view held for the call and released at its end.
class BufferView {
public:
    BufferView() noexcept { view_.obj = nullptr; }
    BufferView(PyObject* object, int flags) {
        if (PyObject_GetBuffer(object, &view_, flags) < 0) throw PythonError{};
    }
    BufferView(BufferView&& other) noexcept : view_(other.view_) { other.view_.obj = nullptr; }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView& operator=(BufferView&&) = delete;
    ~BufferView() {
        // A daemon thread that the interpreter ends at exit unwinds through
        // here with no thread state; releasing may run the exporter's Python
        // code, so the view is left held (the process is ending).
        if (view_.obj != nullptr && PyThreadState_GetUnchecked() != nullptr) PyBuffer_Release(&view_);
    }
    const Py_buffer& operator*() const noexcept { return view_; }
    const Py_buffer* operator->() const noexcept { return &view_; }

private:
    Py_buffer view_;
};

struct Bytes {
    struct Holder {
        BufferView view;
        std::string_view get() const noexcept {
            return {static_cast<const char*>(view->buf), static_cast<std::size_t>(view->len)};
        }
    };
    static Holder convert(PyObject* object) { return {BufferView(object, PyBUF_C_CONTIGUOUS)}; }
};

// What a buffer's items are, from its format.
struct ItemKind {
    bool integer;   // else floating point
    bool is_signed;
    std::size_t size;
};

// The item kind of a one-dimensional buffer of numbers; TypeError otherwise.
ItemKind number_items(const Py_buffer& view);

template <typename T>
struct Column {
    struct Holder {
        BufferView view;
        std::vector<T> converted;  // used when the items are not T
        std::span<const T> data;
        std::span<const T> get() const noexcept { return data; }
    };
    static Holder convert(PyObject* object);
};

// "item 3 is out of range for its column" names the argument too.
template <typename T>
constexpr bool names_value_errors<Column<T>> = true;

extern template struct Column<std::int8_t>;
extern template struct Column<std::int64_t>;
extern template struct Column<double>;

// An array.array of `values` (typecode "b", "q" or "d"), made with one copy.
PyObject* to_array(std::span<const std::int8_t> values);
PyObject* to_array(std::span<const std::int64_t> values);
PyObject* to_array(std::span<const double> values);

// A read-only memoryview (format "b", "q" or "d") over `values`, which move
// into the view's exporter without being copied (`values` is left empty). If
// the view cannot be made, `values` is left as it was.
PyObject* to_column(std::vector<std::int8_t>& values);
PyObject* to_column(std::vector<std::int64_t>& values);
PyObject* to_column(std::vector<double>& values);
// Moves the values of a column that to_column made, and nobody else has seen,
// back into `values`: for a caller whose result could not be completed.
void take_back(PyObject* column, std::vector<std::int8_t>& values) noexcept;
void take_back(PyObject* column, std::vector<std::int64_t>& values) noexcept;
void take_back(PyObject* column, std::vector<double>& values) noexcept;
// The exporter's class; made once, with the module.
void create_column_memory_type();

}  // namespace quoranth::py
