#pragma once
#include <cstdint>
#include <optional>

namespace quoranth::platform {

// The system wall clock as signed 100-nanosecond intervals since the Unix
// epoch (negative when the clock reads before 1970), or nothing when the
// reading does not fit in 64 bits (the clock set tens of millennia away).
std::optional<std::int64_t> wall_clock_100ns_since_unix_epoch() noexcept;

// A POSIX clock reading (whole seconds, nanoseconds in [0, 1e9)) as 100 ns
// intervals, floored; nothing if the count overflows signed 64 bits.
inline std::optional<std::int64_t> intervals_from_timespec(std::int64_t seconds, std::int64_t nanoseconds) noexcept {
    constexpr std::int64_t per_second = 10'000'000;
    if (seconds > INT64_MAX / per_second || seconds < INT64_MIN / per_second) return std::nullopt;
    const std::int64_t whole = seconds * per_second;
    const std::int64_t part = nanoseconds / 100;
    if (whole > INT64_MAX - part) return std::nullopt;
    return whole + part;
}

}  // namespace quoranth::platform
