#pragma once
// Argument parsing against an operation's parameter list, with the
// interpreter-style messages.
#include <array>

#include "module/classes.hpp"

namespace quoranth::py {

constexpr int max_parameters = 6;

// The parameters of one operation: every one may be given by position or by
// keyword; the first `required` must be given. Messages name the operation
// as "<class>.<operation>()".
struct Parameters {
    ClassId owner;
    const char* operation;  // "__new__" for constructors
    int count;
    int required;
    std::array<const char*, max_parameters> names;
};

// Fill `out[0..params.count)` from a vectorcall's arguments; absent optional
// parameters are left null. Throws PythonError with a TypeError on a mismatch.
void parse_array(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** out);

// The same for a constructor slot's argument tuple and keyword dictionary.
void parse_tuple(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quoranth::py
