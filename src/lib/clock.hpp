#pragma once
#include <cstdint>

namespace quoranth {

// Nanoseconds since the Unix epoch from the wall clock, in whole 100 ns units.
// An internal failure if the clock reads before 1970.
std::uint64_t now_timestamp();

}  // namespace quoranth
