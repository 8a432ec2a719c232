#pragma once
// Argument conversion by kind. Each kind converts one Python argument into a
// holder whose get() is what the operation receives; holders that keep an
// access to an argument object release it when the call ends.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "module/classes.hpp"

namespace quoranth::py {

template <typename T>
struct ValueHolder {
    T value;
    const T& get() const noexcept { return value; }
};

// An enumeration member, copied out of its instance.
template <typename Enum>
struct EnumArg {
    static ValueHolder<Enum> convert(PyObject* object) {
        if (!is_instance<Enum>(object)) raise_conversion_error(object, class_definition(ClassOf<Enum>::id).name);
        return {instance_of<Enum>(object)->record};
    }
};

// A complete copy of an Order, read under a momentary shared access.
struct OrderCopyArg {
    static ValueHolder<Order> convert(PyObject* object);
};

// An instance of a module class, used in place under shared or exclusive
// access, held until the call ends: receivers, and Orders that an operation
// reads or changes in place. Not an instance: the conversion error naming the
// class; access refused: "Already mutably borrowed" / "Already borrowed".
template <typename Record, AccessMode Mode>
struct ObjectUnderAccess {
    struct Holder {
        Access<Mode> access;
        Record* record;
        auto& get() const noexcept {
            if constexpr (Mode == AccessMode::Shared) return std::as_const(*record);
            else return *record;
        }
    };
    static Holder convert(PyObject* object) {
        if (!is_instance<Record>(object)) raise_conversion_error(object, class_definition(ClassOf<Record>::id).name);
        Instance<Record>* instance = instance_of<Record>(object);
        return {Access<Mode>(instance->flag), &instance->record};
    }
};

using SharedOrderArg = ObjectUnderAccess<Order, AccessMode::Shared>;
using ExclusiveOrderArg = ObjectUnderAccess<Order, AccessMode::Exclusive>;

struct Int64Arg {
    static ValueHolder<std::int64_t> convert(PyObject* object);
};

// A count: an int (or an object with __index__); values past the signed
// 64-bit range saturate instead of overflowing, so a huge count means "all".
struct CountArg {
    static ValueHolder<std::int64_t> convert(PyObject* object);
};

struct UInt64Arg {
    static ValueHolder<std::uint64_t> convert(PyObject* object);
};

struct DoubleArg {
    static ValueHolder<double> convert(PyObject* object);
};

// UTF-8 text borrowed from the argument for the duration of the call (an
// operation that keeps it copies it).
struct TextViewArg {
    static ValueHolder<std::string_view> convert(PyObject* object);
};

// An optional parameter: absent (null) stays absent.
template <typename Kind>
struct OptionalArg {
    using Inner = decltype(Kind::convert(nullptr).get());
    static ValueHolder<std::optional<std::decay_t<Inner>>> convert(PyObject* object) {
        if (object == nullptr) return {std::nullopt};
        return {Kind::convert(object).get()};
    }
};

// Replaces a pending TypeError (exactly that type) by
// TypeError("argument '<name>': <message>") carrying the original's cause.
void prefix_argument_error(const char* name) noexcept;

}  // namespace quoranth::py
