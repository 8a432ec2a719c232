#pragma once
// The one place that includes the CPython headers for the binding layer.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
