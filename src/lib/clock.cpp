#include "lib/clock.hpp"

#include <string>

#include "lib/errors.hpp"
#include "lib/platform/wall_clock.hpp"

namespace quoranth {

std::uint64_t now_timestamp() {
    const std::optional<std::int64_t> reading = platform::wall_clock_100ns_since_unix_epoch();
    if (!reading) {
        fail_internal("Wall clock out of range: its reading does not fit in 64 bits of 100 ns intervals "
                      "since the Unix epoch");
    }
    const std::int64_t intervals = *reading;
    if (intervals < 0) {
        fail_internal("Time went backwards: the wall clock reads " + std::to_string(0 - static_cast<std::uint64_t>(intervals)) +
                      "00 ns before the Unix epoch");
    }
    // Whole seconds times 1e9 plus the rest times 100 is the count times 100;
    // it wraps past the year 2554, as unsigned arithmetic does.
    return static_cast<std::uint64_t>(intervals) * 100;
}

}  // namespace quoranth
