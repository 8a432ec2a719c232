#include "module/parameters.hpp"

#include <string>

namespace quoranth::py {

namespace {

std::string full_name(const Parameters& params) {
    return std::string(class_definition(params.owner).name) + "." + params.operation + "()";
}

[[noreturn]] void raise_too_many(const Parameters& params, Py_ssize_t given) {
    std::string message = full_name(params);
    if (params.required == params.count) {
        message += " takes " + std::to_string(params.count);
    } else {
        message += " takes from " + std::to_string(params.required) + " to " + std::to_string(params.count);
    }
    message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
    raise(PyExc_TypeError, message.c_str());
}

// Puts a keyword argument into its parameter's slot.
void place_keyword(const Parameters& params, PyObject* keyword, PyObject* value, PyObject** out) {
    if (PyUnicode_Check(keyword)) {
        for (int i = 0; i < params.count; ++i) {
            if (!PyUnicode_EqualToUTF8(keyword, params.names[i])) continue;
            if (out[i] != nullptr) {
                raise(PyExc_TypeError,
                      (full_name(params) + " got multiple values for argument '" + params.names[i] + "'").c_str());
            }
            out[i] = value;
            return;
        }
    }
    raise(PyExc_TypeError, OwnedRef::steal(PyUnicode_FromFormat("%s got an unexpected keyword argument '%S'",
                                                                full_name(params).c_str(), keyword)));
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
void check_missing(const Parameters& params, PyObject* const* out) {
    int missing[max_parameters];
    int count = 0;
    for (int i = 0; i < params.required; ++i) {
        if (out[i] == nullptr) missing[count++] = i;
    }
    if (count == 0) return;
    std::string message = full_name(params) + " missing " + std::to_string(count) + " required positional " +
                          (count == 1 ? "argument" : "arguments") + ": ";
    for (int k = 0; k < count; ++k) {
        if (k > 0) message += count > 2 ? ", " : " ";
        if (k > 0 && k == count - 1) message += "and ";
        message += std::string("'") + params.names[missing[k]] + "'";
    }
    raise(PyExc_TypeError, message.c_str());
}

}  // namespace

void parse_array(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out) {
    if (nargs > params.count) raise_too_many(params, nargs);
    for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) place_keyword(params, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], out);
    }
    if (nargs < params.required) check_missing(params, out);
}

void parse_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > params.count) raise_too_many(params, nargs);
    for (int i = 0; i < params.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* keyword;
        PyObject* value;
        while (PyDict_Next(kwargs, &position, &keyword, &value)) place_keyword(params, keyword, value, out);
    }
    if (nargs < params.required) check_missing(params, out);
}

}  // namespace quoranth::py
