#include "module/parameters.hpp"

#include <string>

#include "module/errors.hpp"

namespace quoranth::py {

namespace {

std::string full_name(const ParamSpec& spec) {
    return std::string(spec.class_name) + "." + spec.operation + "()";
}

[[noreturn]] void raise_too_many(const ParamSpec& spec, Py_ssize_t given) {
    std::string message = full_name(spec);
    if (spec.required == spec.count) {
        message += " takes " + std::to_string(spec.count);
    } else {
        message += " takes from " + std::to_string(spec.required) + " to " + std::to_string(spec.count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message.c_str());
}

// Puts a keyword argument into its parameter's slot.
void place_keyword(const ParamSpec& spec, PyObject* keyword, PyObject* value, PyObject** out) {
    if (PyUnicode_Check(keyword)) {
        for (int i = 0; i < spec.count; ++i) {
            if (!PyUnicode_EqualToUTF8(keyword, spec.names[i])) continue;
            if (out[i] != nullptr) {
                raise(PyExc_TypeError,
                      (full_name(spec) + " got multiple values for argument '" + spec.names[i] + "'").c_str());
            }
            out[i] = value;
            return;
        }
    }
    raise(PyExc_TypeError, OwnedRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                                full_name(spec).c_str(), keyword)));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void check_missing(const ParamSpec& spec, PyObject* const* out) {
    int missing[max_parameters];
    int count = 0;
    for (int i = 0; i < spec.required; ++i) {
        if (out[i] == nullptr) missing[count++] = i;
    }
    if (count == 0) return;
    std::string message = full_name(spec) + " missing " + std::to_string(count) + " required positional " +
                          (count == 1 ? "argument" : "arguments") + ": ";
    for (int k = 0; k < count; ++k) {
        if (k > 0) message += count > 2 ? ", " : " ";
        if (k > 0 && k == count - 1) message += "and ";
        message += std::string("'") + spec.names[missing[k]] + "'";
    }
    raise(PyExc_TypeError, message.c_str());
}

}  // namespace

void parse_fastcall(const ParamSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out) {
    if (nargs > spec.count) raise_too_many(spec, nargs);
    for (int i = 0; i < spec.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) place_keyword(spec, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    if (nargs < spec.required) check_missing(spec, out);
}

void parse_tuple_dict(const ParamSpec& spec, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > spec.count) raise_too_many(spec, nargs);
    for (int i = 0; i < spec.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) place_keyword(spec, keyword, value, out);
    }
    if (nargs < spec.required) check_missing(spec, out);
}

}  // namespace quoranth::py
