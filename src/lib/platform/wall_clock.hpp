#pragma once
#include <cstdint>

namespace quoranth::platform {

// The system wall clock as signed 100-nanosecond intervals since the Unix
// epoch; negative when the clock reads before 1970.
std::int64_t wall_clock_100ns_since_unix_epoch() noexcept;

}  // namespace quoranth::platform
