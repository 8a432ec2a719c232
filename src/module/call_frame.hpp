#pragma once
// The call frame every Python entry goes through, and the builders of the
// declaration rows that bind an operation to it. The frame parses the
// arguments, takes access to the receiver, converts the arguments in order,
// runs the operation, converts its result, releases every access (scope
// exit) and maps failures to exceptions (`guarded`).
//
// A method is declared once, as one row:
//   method<"fill", &Order::fill, Write<Order>, Arg<"incoming", Write<Order>>, Arg<"tick_size", Double>>(
//       "($self, incoming, tick_size)", "Attempts to fill ...")
// name, operation, receiver kind, parameters (keyword name and kind), then
// the signature line and the docstring. The class name comes from the
// receiver's record.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "module/conversions.hpp"
#include "module/parameters.hpp"

namespace quoranth::py {

// A string literal usable as a template argument.
template <std::size_t N>
struct Name {
    char text[N];
    consteval Name(const char (&literal)[N]) { std::copy_n(literal, N, text); }
};

// One parameter: its keyword name and the kind that converts it.
template <Name Keyword, typename Kind_>
struct Arg {
    using Kind = Kind_;
    static constexpr const char* name = Keyword.text;
};

template <typename Kind>
constexpr bool is_optional = false;
template <typename Kind>
constexpr bool is_optional<Optional<Kind>> = true;

template <typename... Args>
consteval int required_count() {
    int required = 0;
    for (bool optional : {is_optional<typename Args::Kind>..., true}) {
        if (optional) break;
        ++required;
    }
    return required;
}

template <ClassId Owner, Name Operation, typename... Args>
inline constexpr Parameters parameters_of{Owner, Operation.text, static_cast<int>(sizeof...(Args)),
                                          required_count<Args...>(), {Args::name...}};

template <typename Kind>
constexpr bool takes_access = false;
template <typename Record, AccessMode Mode>
constexpr bool takes_access<UnderAccess<Record, Mode>> = true;
template <typename Record>
constexpr bool takes_access<Copy<Record>> = true;

template <typename... Kinds>
consteval bool objects_first() {
    bool values_started = false;
    for (bool object : {takes_access<Kinds>..., false}) {
        if (object && values_started) return false;
        values_started = values_started || !object;
    }
    return true;
}

// Converts one argument; a plain TypeError gets the parameter's name.
// Inlined into the entry: out of line, a copied Order came back through memory.
template <typename Parameter>
[[gnu::always_inline]] inline auto convert_argument(PyObject* object) {
    try {
        return Parameter::Kind::convert(object);
    } catch (const PythonError&) {
        prefix_argument_error(Parameter::name, names_value_errors<typename Parameter::Kind>);
        throw;
    }
}

// Calls `operation` and converts what it returns; nothing becomes None. A
// record of one of the classes is made in the new instance's memory (see
// ConstructorEntry::build).
template <typename Operation, typename... Values>
PyObject* call_and_convert(const Operation& operation, Values&&... values) {
    using Result = std::invoke_result_t<const Operation&, Values...>;
    if constexpr (std::is_void_v<Result>) {
        std::invoke(operation, std::forward<Values>(values)...);
        Py_RETURN_NONE;
    } else if constexpr (requires { ClassOf<Result>::id; }) {
        return new_instance_made<Result>(class_of<Result>(), [&]() -> Result {
            return std::invoke(operation, std::forward<Values>(values)...);
        });
    } else {
        return to_python(std::invoke(operation, std::forward<Values>(values)...));
    }
}

// Converts the arguments left to right (a braced list fixes the order) and
// keeps their holders, and so their accesses, alive until the result exists.
template <typename... Args, std::size_t... I, typename Invoke>
PyObject* with_converted(PyObject* const* slots, std::index_sequence<I...>, Invoke&& invoke) {
    std::tuple<decltype(Args::Kind::convert(nullptr))...> held{convert_argument<Args>(slots[I])...};
    return invoke(std::get<I>(held).get()...);
}

// ---------------------------------------------------------------- entries

template <Name MethodName, auto Operation, typename Receiver, typename... Args>
struct MethodEntry {
    using Record = typename Receiver::RecordType;
    static constexpr const Parameters& params = parameters_of<ClassOf<Record>::id, MethodName, Args...>;
    // Nothing but an argument hook can run Python code in the middle of a
    // call: the engine runs none, and converting a result allocates objects
    // without running the collector, which the interpreter only schedules
    // (since 3.12 it runs at its own evaluation checkpoints). So when no
    // argument has a hook, no one can see the receiver's flag while the call
    // holds it, and if the flag admits the access the call skips marking it.
    static constexpr bool unobservable_access = (runs_no_python<typename Args::Kind> && ...);
    // Whether converting an argument may wait for another thread's flag.
    static constexpr bool argument_may_wait = (takes_access<typename Args::Kind> || ...);

    // METH_FASTCALL | METH_KEYWORDS. Plain positional calls use the argument
    // array as it is; anything else is sorted into parameter slots first.
    static PyObject* with_arguments(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guarded([&]() -> PyObject* {
            PyObject* parsed[sizeof...(Args)];
            PyObject* const* slots = args;
            if (kwnames != nullptr || nargs != static_cast<Py_ssize_t>(sizeof...(Args))) [[unlikely]] {
                parse_array(params, args, nargs, kwnames, parsed);
                slots = parsed;
            }
            // Object arguments come first, so a flag found busy among them is
            // met before any argument hook has run: if this call's own
            // accesses are all the thread holds and another thread holds the
            // flag, drop them, wait, and take them all again.
            if constexpr (unobservable_access) {
                if (auto* record = Receiver::peek(self)) [[likely]] {
                    // An object argument held by another thread is waited for
                    // (interpreter lock released), and meanwhile a third
                    // thread may take the receiver: so its flag is looked at
                    // again once the arguments are in hand, and if it no
                    // longer admits this call, the call takes the path below.
                    bool taken = false;
                    PyObject* result = with_converted<Args...>(slots, std::index_sequence_for<Args...>{}, [&](auto&&... values) -> PyObject* {
                        if constexpr (argument_may_wait) {
                            if (Receiver::peek(self) == nullptr) [[unlikely]] {
                                taken = true;
                                return nullptr;
                            }
                        }
                        return call_and_convert(Operation, *record, std::forward<decltype(values)>(values)...);
                    });
                    if (!taken) return result;
                }
            }
            const bool may_wait = accesses_held == 0;
            for (;;) {
                try {
                    auto receiver = Receiver::convert(self);
                    return with_converted<Args...>(slots, std::index_sequence_for<Args...>{}, [&](auto&&... values) {
                        return call_and_convert(Operation, receiver.get(), std::forward<decltype(values)>(values)...);
                    });
                } catch (const Busy& busy) {
                    if (!may_wait || busy.flag->admits(busy.mode)) throw;  // re-entry: refused
                    wait_until_admits(*busy.flag, busy.mode);
                }
            }
        });
    }
    static_assert(objects_first<typename Args::Kind...>(), "object arguments must precede value arguments");

    // METH_NOARGS (the interpreter refuses any argument), and unary slots.
    static PyObject* unary(PyObject* self) {
        return guarded([&]() -> PyObject* {
            if constexpr (unobservable_access) {
                if (auto* record = Receiver::peek(self)) [[likely]] return call_and_convert(Operation, *record);
            }
            auto receiver = Receiver::convert(self);
            return call_and_convert(Operation, receiver.get());
        });
    }
    static PyObject* without_arguments(PyObject* self, PyObject*) { return unary(self); }
    static PyObject* get(PyObject* self, void*) { return unary(self); }
};

// A constructor: `Make` builds the record from the converted arguments, in
// the new instance's memory; if it refuses them, the memory goes back.
template <auto Make, typename... Args>
struct ConstructorEntry {
    using Record = std::remove_cvref_t<
        std::invoke_result_t<decltype(Make), decltype(Args::Kind::convert(nullptr).get())...>>;
    static constexpr const Parameters& params = parameters_of<ClassOf<Record>::id, "__new__", Args...>;

    static PyObject* build(PyTypeObject* type, PyObject* const* slots) {
        // Made in place, a new order's id is written once, where it stays (a
        // copy out of a temporary waited on the stores that had just written it).
        return with_converted<Args...>(slots, std::index_sequence_for<Args...>{}, [&](auto&&... values) {
            return new_instance_made<Record>(
                type, [&]() -> Record { return std::invoke(Make, std::forward<decltype(values)>(values)...); });
        });
    }
    static PyObject* from_tuple(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            PyObject* slots[sizeof...(Args)];
            parse_tuple(params, args, kwargs, slots);
            return build(type, slots);
        });
    }
    static PyObject* from_array(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        return guarded([&]() -> PyObject* {
            const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            PyObject* parsed[sizeof...(Args) > 0 ? sizeof...(Args) : 1];
            PyObject* const* slots = args;
            if (kwnames != nullptr || nargs != static_cast<Py_ssize_t>(sizeof...(Args))) {
                parse_array(params, args, nargs, kwnames, parsed);
                slots = parsed;
            }
            return build(reinterpret_cast<PyTypeObject*>(type), slots);
        });
    }
};

// A private module-level function with positional-only parameters, for the
// package beside the module: no receiver, no access flags.
template <Name FunctionName, auto Operation, typename... Kinds>
struct FunctionEntry {
    static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
        return guarded([&]() -> PyObject* {
            if (nargs != static_cast<Py_ssize_t>(sizeof...(Kinds))) {
                PyErr_Format(PyExc_TypeError, "quoranth.%s() takes %d positional arguments but %zd were given",
                             FunctionName.text, static_cast<int>(sizeof...(Kinds)), nargs);
                throw PythonError{};
            }
            return convert_all(args, std::index_sequence_for<Kinds...>{});
        });
    }

private:
    template <std::size_t... I>
    static PyObject* convert_all(PyObject* const* args, std::index_sequence<I...>) {
        std::tuple<decltype(Kinds::convert(nullptr))...> held{Kinds::convert(args[I])...};
        return call_and_convert(Operation, std::get<I>(held).get()...);
    }
};

template <Name FunctionName, auto Operation, typename... Kinds>
PyMethodDef function(const char* doc) {
    return {FunctionName.text, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                   FunctionEntry<FunctionName, Operation, Kinds...>::call)),
            METH_FASTCALL, doc};
}

// ---------------------------------------------------------------- row builders

template <Name MethodName, auto Operation, typename Receiver, typename... Args>
MethodRow method(const char* signature, const char* doc) {
    using Entry = MethodEntry<MethodName, Operation, Receiver, Args...>;
    if constexpr (sizeof...(Args) == 0) {
        return {MethodName.text, signature, doc, Entry::without_arguments, METH_NOARGS};
    } else {
        return {MethodName.text, signature, doc,
                reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Entry::with_arguments)),
                METH_FASTCALL | METH_KEYWORDS};
    }
}

template <typename Member>
struct MemberOwner;
template <typename T, typename Owner>
struct MemberOwner<T Owner::*> {
    using type = Owner;
};

// A read-only attribute: a data member, or a member function without
// arguments, read under shared access.
template <auto Member>
AttributeRow attribute(const char* name, const char* doc) {
    using Record = typename MemberOwner<decltype(Member)>::type;
    return {name, doc, MethodEntry<"", Member, Read<Record>>::get};
}

// A unary slot (representation, integer conversion) from a function of the record.
template <auto Operation, typename Record>
constexpr auto unary_slot = MethodEntry<"", Operation, Read<Record>>::unary;

template <auto Make, typename... Args>
constexpr Construction constructor{ConstructorEntry<Make, Args...>::from_tuple, ConstructorEntry<Make, Args...>::from_array};

}  // namespace quoranth::py
