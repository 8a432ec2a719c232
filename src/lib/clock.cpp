#include "lib/clock.hpp"

#include <string>

#include "lib/errors.hpp"
#include "lib/platform/wall_clock.hpp"

namespace quoranth {

namespace {

// Out of line, so that reading the clock stays a short call.
[[noreturn, gnu::noinline, gnu::cold]] void fail_reading(const std::optional<std::int64_t>& reading) {
    if (!reading) {
        fail_internal("Wall clock out of range: its reading does not fit in 64 bits of 100 ns intervals "
                      "since the Unix epoch");
    }
    fail_internal("Time went backwards: the wall clock reads " + std::to_string(0 - static_cast<std::uint64_t>(*reading)) +
                  "00 ns before the Unix epoch");
}

}  // namespace

std::uint64_t now_timestamp() {
    const std::optional<std::int64_t> reading = platform::wall_clock_100ns_since_unix_epoch();
    if (!reading || *reading < 0) [[unlikely]] fail_reading(reading);
    // Whole seconds times 1e9 plus the rest times 100 is the count times 100;
    // it wraps past the year 2554, as unsigned arithmetic does.
    return static_cast<std::uint64_t>(*reading) * 100;
}

}  // namespace quoranth
