#pragma once
// Conversions both ways. Argument kinds turn one Python argument into a
// holder whose get() is what the operation receives (holders that keep an
// access release it when the call ends); to_python turns each operation
// result into a new Python object.
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/classes.hpp"

namespace quoranth::py {

// ---------------------------------------------------------------- argument kinds

template <typename T>
struct ValueHolder {
    T value;
    const T& get() const noexcept { return value; }
};

template <typename Record>
[[noreturn]] void refuse(PyObject* object) {
    raise_conversion_error(object, class_definition(ClassOf<Record>::id).name);
}

// An instance of a module class used in place, under shared (Read) or
// exclusive (Write) access held until the call ends: every receiver, and the
// Orders that an operation reads or changes in place. Not an instance: the
// conversion error naming the class; access refused: "Already mutably
// borrowed" / "Already borrowed".
template <typename Record, AccessMode Mode>
struct UnderAccess {
    struct Holder {
        Access<Mode> access;
        Record* record;
        auto& get() const noexcept {
            if constexpr (Mode == AccessMode::Shared) return std::as_const(*record);
            else return *record;
        }
    };
    static Holder convert(PyObject* object) {
        if (!is_instance<Record>(object)) refuse<Record>(object);
        Instance<Record>* instance = instance_of<Record>(object);
        return {Access<Mode>(instance->flag), &instance->record};
    }
    // The record, if the object is an instance whose flag admits this access
    // now; else null (convert then reports, waits or refuses).
    static auto* peek(PyObject* object) noexcept {
        using Target = std::conditional_t<Mode == AccessMode::Shared, const Record, Record>;
        if (!is_instance<Record>(object) || !instance_of<Record>(object)->flag.admits(Mode)) return static_cast<Target*>(nullptr);
        return static_cast<Target*>(&instance_of<Record>(object)->record);
    }
    using RecordType = Record;
};

template <typename Record>
using Read = UnderAccess<Record, AccessMode::Shared>;
template <typename Record>
using Write = UnderAccess<Record, AccessMode::Exclusive>;

// A complete copy of the record, taken under a momentary shared access. No
// Python code can run during the copy, so when the flag admits a reader the
// copy is taken without marking the flag at all.
template <typename Record>
struct Copy {
    static ValueHolder<Record> convert(PyObject* object) {
        if (!is_instance<Record>(object)) refuse<Record>(object);
        Instance<Record>* instance = instance_of<Record>(object);
        if (instance->flag.admits(AccessMode::Shared)) [[likely]] return {instance->record};
        return {Read<Record>::convert(object).get()};  // refused or waited for, as any access
    }
};

// An enumeration member, copied out of its instance. Members never change,
// so no access is needed to read one.
template <typename Enum>
struct Member {
    static ValueHolder<Enum> convert(PyObject* object) {
        if (!is_instance<Enum>(object)) refuse<Enum>(object);
        return {instance_of<Enum>(object)->record};
    }
};

struct Int64 {
    static ValueHolder<std::int64_t> convert(PyObject* object) {
        if (PyLong_CheckExact(object) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(object))) {
            return {PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(object))};
        }
        const long long value = PyLong_AsLongLong(object);
        if (value == -1 && PyErr_Occurred()) throw PythonError{};
        return {value};
    }
};

// A count: an int (or an object with __index__); values past the signed
// 64-bit range saturate instead of overflowing, so a huge count means "all".
struct Count {
    static ValueHolder<std::int64_t> convert(PyObject* object);
};

struct UInt64 {
    static ValueHolder<std::uint64_t> convert(PyObject* object);
};

struct Double {
    static ValueHolder<double> convert(PyObject* object) {
        if (PyFloat_CheckExact(object)) return {PyFloat_AS_DOUBLE(object)};
        const double value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) throw PythonError{};
        return {value};
    }
};

// Any object, by its truth value.
struct Truth {
    static ValueHolder<bool> convert(PyObject* object) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) throw PythonError{};
        return {truth != 0};
    }
};

// UTF-8 text borrowed from a str argument for the duration of the call (an
// operation that keeps it copies it). "PyString" names the target in errors.
struct Text {
    [[gnu::always_inline]] static ValueHolder<std::string_view> convert(PyObject* object) {
        if (PyUnicode_CheckExact(object) && PyUnicode_IS_COMPACT_ASCII(object)) {
            return {{static_cast<const char*>(PyUnicode_DATA(object)), static_cast<std::size_t>(PyUnicode_GET_LENGTH(object))}};
        }
        return {utf8_view(object)};
    }
    static std::string_view utf8_view(PyObject* object);
};

// Any object, borrowed as it is for the call.
struct Object {
    static ValueHolder<PyObject*> convert(PyObject* object) noexcept { return {object}; }
};

// An optional parameter: absent (null) stays absent.
template <typename Kind>
struct Optional {
    using Value = std::decay_t<decltype(Kind::convert(nullptr).get())>;
    static ValueHolder<std::optional<Value>> convert(PyObject* object) {
        if (object == nullptr) return {std::nullopt};
        return {Kind::convert(object).get()};
    }
};

// Replaces a pending TypeError (exactly that type) by
// TypeError("argument '<name>': <message>") carrying the original's cause;
// with `value_errors`, a pending ValueError (exactly) likewise.
void prefix_argument_error(const char* name, bool value_errors = false) noexcept;

// Kinds whose own ValueErrors are about the argument as a whole (an item of a
// column out of its range), and so name it as a TypeError does.
template <typename Kind>
constexpr bool names_value_errors = false;

// Kinds whose conversion never runs Python code (no __index__ or __float__
// hook; the receiver and Order arguments are not among them, they take
// accesses of their own).
template <typename Kind>
constexpr bool runs_no_python = false;
template <>
inline constexpr bool runs_no_python<Text> = true;
template <typename Record>
constexpr bool runs_no_python<Copy<Record>> = true;
template <typename Enum>
constexpr bool runs_no_python<Member<Enum>> = true;
template <>
inline constexpr bool runs_no_python<Object> = true;

// ---------------------------------------------------------------- results

// An object the operation built itself passes through.
inline PyObject* to_python(PyObject* object) { return object; }
inline PyObject* to_python(bool value) { return Py_NewRef(value ? Py_True : Py_False); }
inline PyObject* to_python(std::int64_t value) { return checked(PyLong_FromLongLong(value)).release(); }
inline PyObject* to_python(std::uint64_t value) { return checked(PyLong_FromUnsignedLongLong(value)).release(); }
inline PyObject* to_python(double value) { return checked(PyFloat_FromDouble(value)).release(); }
inline PyObject* to_python(std::string_view text) {
    return checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)).release();
}
inline PyObject* to_python(const SmallText& text) { return to_python(text.view()); }
// Order identifiers are ASCII by construction: copy them without decoding.
inline PyObject* to_python(const OrderId& id) {
    PyObject* text = checked(PyUnicode_New(OrderId::length, 127)).release();
    std::memcpy(PyUnicode_DATA(text), id.data(), OrderId::length);
    return text;
}

// Records of the module's classes become new instances owning a copy.
inline PyObject* to_python(const Order& record) { return new_instance(record); }
inline PyObject* to_python(const Fill& record) { return new_instance(record); }
inline PyObject* to_python(OrderType value) { return new_instance(value); }
inline PyObject* to_python(OrderStatus value) { return new_instance(value); }

// A number by its bits: -0.0 and NaNs stay apart.
template <typename T>
std::uint64_t bits_of(T value) noexcept {
    static_assert(sizeof(T) == sizeof(std::uint64_t));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Objects made for tops of book and depth views, kept by value and handed
// out again: a top or a depth level is read again and again between changes
// of the book, and ints, floats and tuples of them are values, equal
// whichever object holds them. An object is filed by its first field (a
// price: the neighbouring prices of a depth view land in neighbouring slots)
// and found again only if every field matches bit for bit. Guarded by the
// interpreter lock.
template <std::size_t Fields, std::size_t Size = 16>
class KeptValues {
public:
    using Bits = std::array<std::uint64_t, Fields>;

    template <typename Make>
    PyObject* get(const Bits& bits, Make&& make) {
        Slot& slot = slots_[(bits[0] ^ (bits[0] >> 17)) % Size];
        if (slot.object != nullptr && slot.bits == bits) return Py_NewRef(slot.object);
        PyObject* made = make();
        Py_XSETREF(slot.object, Py_NewRef(made));
        slot.bits = bits;
        return made;
    }

    // An int or float for `value`.
    template <typename Number>
    PyObject* number(Number value) {
        static_assert(Fields == 1);
        return get({bits_of(value)}, [&] { return to_python(value); });
    }

private:
    struct Slot {
        Bits bits{};
        PyObject* object = nullptr;
    };
    Slot slots_[Size];
};
inline KeptValues<1> quote_prices;
inline KeptValues<1> quote_quantities;
inline KeptValues<2> quotes;
inline KeptValues<1, 64> depth_prices;
inline KeptValues<3, 64> depth_levels;

// (price in ticks, quantity) of a side's best level.
inline PyObject* to_python(const Quote& quote) {
    return quotes.get({bits_of(quote.price_in_ticks), bits_of(quote.quantity)}, [&] {
        OwnedRef price = OwnedRef::steal(quote_prices.number(quote.price_in_ticks));
        OwnedRef quantity = OwnedRef::steal(quote_quantities.number(quote.quantity));
        PyObject* tuple = checked(PyTuple_New(2)).release();
        PyTuple_SET_ITEM(tuple, 0, price.release());
        PyTuple_SET_ITEM(tuple, 1, quantity.release());
        return tuple;
    });
}

// (price in ticks, quantity, orders) of one level of a depth view.
inline PyObject* to_python(const DepthLevel& level) {
    return depth_levels.get(
        {bits_of(level.price_in_ticks), bits_of(level.quantity), level.orders}, [&] {
            OwnedRef price = OwnedRef::steal(depth_prices.number(level.price_in_ticks));
            OwnedRef quantity = OwnedRef::steal(to_python(level.quantity));
            OwnedRef orders = OwnedRef::steal(to_python(level.orders));
            PyObject* tuple = checked(PyTuple_New(3)).release();
            PyTuple_SET_ITEM(tuple, 0, price.release());
            PyTuple_SET_ITEM(tuple, 1, quantity.release());
            PyTuple_SET_ITEM(tuple, 2, orders.release());
            return tuple;
        });
}

// (orders ahead, quantity ahead) of a resting order.
inline PyObject* to_python(const QueuePosition& position) {
    OwnedRef orders = OwnedRef::steal(to_python(position.orders_ahead));
    OwnedRef quantity = OwnedRef::steal(to_python(position.quantity_ahead));
    return checked(PyTuple_Pack(2, orders.get(), quantity.get())).release();
}

template <typename T>
PyObject* to_python(const std::vector<T>& values);

// (bids, asks), each a list of levels, best price first.
inline PyObject* to_python(const Depth& depth) {
    OwnedRef bids = OwnedRef::steal(to_python(depth.bids));
    OwnedRef asks = OwnedRef::steal(to_python(depth.asks));
    return checked(PyTuple_Pack(2, bids.get(), asks.get())).release();
}

template <typename T>
PyObject* to_python(const std::optional<T>& value) {
    if (!value) Py_RETURN_NONE;
    return to_python(*value);
}

// A list made with its exact length, one new object per element, in order.
template <typename T>
PyObject* to_python(std::span<const T> values) {
    OwnedRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_python(values[i]));
    }
    return list.release();
}

template <typename T>
PyObject* to_python(const std::vector<T>& values) {
    return to_python(std::span<const T>(values));
}

}  // namespace quoranth::py
