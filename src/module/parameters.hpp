#pragma once
#include <array>
#include <initializer_list>

#include "module/python.hpp"

namespace quoranth::py {

constexpr int max_parameters = 5;

// The parameters of one operation: every one may be given by position or by
// keyword; the first `required` must be given.
struct Parameters {
    const char* class_name;
    const char* operation;  // "__new__" for constructors
    int required;
    int count = 0;
    std::array<const char*, max_parameters> names{};

    consteval Parameters(const char* class_name_, const char* operation_, int required_,
                        std::initializer_list<const char*> names_)
        : class_name(class_name_), operation(operation_), required(required_) {
        for (const char* name : names_) names[count++] = name;
    }
};

// Fill `out[0..params.count)` from a vectorcall (fast call with keywords);
// absent optional parameters are left null. Throws PythonError with the
// interpreter-style TypeError on a mismatch.
void parse_fastcall(const Parameters& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** out);

// The same for a constructor's argument tuple and keyword dictionary.
void parse_tuple_dict(const Parameters& params, PyObject* args, PyObject* kwargs, PyObject** out);

}  // namespace quoranth::py
