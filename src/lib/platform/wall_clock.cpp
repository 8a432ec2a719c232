#include "lib/platform/wall_clock.hpp"

#if defined(_WIN32)
#include <windows.h>

namespace quoranth::platform {

std::optional<std::int64_t> wall_clock_100ns_since_unix_epoch() noexcept {
    // FILETIME counts 100 ns intervals since 1601-01-01 UTC.
    constexpr std::int64_t unix_epoch_as_filetime = 116444736000000000;
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const auto intervals = static_cast<std::int64_t>(
        (static_cast<std::uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime);
    return intervals - unix_epoch_as_filetime;
}

}  // namespace quoranth::platform

#else
#include <ctime>

#include "lib/platform/counter_clock.hpp"

namespace quoranth::platform {

std::optional<std::int64_t> system_wall_clock_100ns() noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    // tv_nsec is always in [0, 1e9), so flooring to 100 ns keeps the sign of tv_sec.
    return intervals_from_timespec(static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec));
}

std::optional<std::int64_t> wall_clock_100ns_since_unix_epoch() noexcept {
#if defined(QUORANTH_HAS_COUNTER_CLOCK)
    return counter_clock_100ns();
#else
    return system_wall_clock_100ns();
#endif
}

}  // namespace quoranth::platform
#endif
