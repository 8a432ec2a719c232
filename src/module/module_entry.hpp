#pragma once
// What module_entry.cpp offers the rest of the binding: the tables of private
// module functions it registers, and the module's attributes.
#include "module/py_ref.hpp"

namespace quoranth::py {

// Private, underscore-named module functions outside __all__, each table
// ended by a null row: the replay package's (bind_lobster.cpp) and the
// reconstructors that pickle calls (bind_snapshots.cpp).
extern PyMethodDef lobster_functions[];
extern PyMethodDef snapshot_functions[];

// The module's attribute `name` (a new reference); throws PythonError if it
// has none.
OwnedRef module_attribute(const char* name);

// Makes, once, what reporting a stopped batch needs besides the count
// (bind_order_book.cpp), so that the report takes no memory for it later.
void prepare_batch_stops();

}  // namespace quoranth::py
