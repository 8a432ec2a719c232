#pragma once
#include <source_location>

#include "module/python.hpp"

namespace quoranth::py {

// Sets PanicException(message) after writing a diagnostic to standard error
// that names where the failure happened (when known).
void set_panic(const char* message, const std::source_location* where) noexcept;

}  // namespace quoranth::py
