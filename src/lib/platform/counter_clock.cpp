#include "lib/platform/counter_clock.hpp"

#if defined(QUORANTH_HAS_COUNTER_CLOCK)
#include <sys/prctl.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/platform/wall_clock.hpp"

namespace quoranth::platform {

namespace {

constexpr std::int64_t anchor_lifetime_ns = 2'000;
constexpr std::int64_t calibration_span_ns = 10'000'000;
// A system reading anchors only if the counters read just before and just
// after it lie this close: otherwise the thread was interrupted in between.
constexpr std::int64_t anchor_bracket_ns = 60;

// True when the kernel keeps its clocks from the time-stamp counter and this
// process may read the counter (a process can be made to fault on it).
bool counter_is_trusted() noexcept {
    int mode = 0;
    if (prctl(PR_GET_TSC, &mode, 0, 0, 0) != 0 || mode != PR_TSC_ENABLE) return false;
    std::FILE* const source = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "re");
    if (source == nullptr) return false;
    char name[16] = {};
    const bool read = std::fgets(name, sizeof name, source) != nullptr;
    std::fclose(source);
    return read && std::strcmp(name, "tsc\n") == 0;
}

// The raw monotonic clock in nanoseconds, and the counter just after it.
struct RawReading {
    std::int64_t ns;
    std::uint64_t counter;
};

RawReading raw_monotonic() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    const std::uint64_t counter = __rdtsc();
    return {static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec, counter};
}

struct CounterClock {
    // The anchor: a system reading, and the counter when it was made (midway
    // between counters read around it).
    std::uint64_t anchor_counter = 0;
    std::int64_t anchor_intervals = 0;
    std::uint64_t anchor_rest_ns = 0;  // the reading's nanoseconds past anchor_intervals
    // Ticks an anchor serves for; 0 until the rate is known (every reading is
    // then a system reading).
    std::uint64_t anchor_ticks = 0;
    std::uint64_t bracket_ticks = 0;
    std::uint64_t ns_per_tick_q32 = 0;  // nanoseconds per tick, times 2^32

    enum class Rate : std::uint8_t { unchecked, measuring, known, unusable };
    Rate rate = Rate::unchecked;
    // The rate's measurement: the counter, the raw clock and the wall clock at its start.
    std::uint64_t start_counter = 0;
    std::int64_t start_raw_ns = 0;
    std::int64_t start_intervals = 0;

    std::optional<std::int64_t> read_system() noexcept {
        const std::uint64_t before = __rdtsc();
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const std::uint64_t counter = __rdtsc();
        const std::optional<std::int64_t> intervals =
            intervals_from_timespec(static_cast<std::int64_t>(now.tv_sec), static_cast<std::int64_t>(now.tv_nsec));
        // Only a reading well inside the range anchors: one before the epoch
        // or near the end of the range is reported as it is, every time.
        if (!intervals || *intervals < 0 || *intervals > INT64_MAX / 2) {
            anchor_counter = counter - anchor_ticks;  // expired
            return intervals;
        }
        if (rate == Rate::known && counter - before > bracket_ticks) {  // interrupted: no anchor
            anchor_counter = counter - anchor_ticks;
            return intervals;
        }
        anchor_counter = before + (counter - before) / 2;  // when the system read its clock, near enough
        anchor_intervals = *intervals;
        anchor_rest_ns = static_cast<std::uint64_t>(now.tv_nsec % 100);
        if (rate != Rate::known && rate != Rate::unusable) measure_rate(counter, *intervals);
        return intervals;
    }

    // Starts the rate's measurement, then ends it once 10 ms have passed: the
    // wall clock says when to look, the raw clock (never stepped or slewed)
    // gives the span.
    void measure_rate(std::uint64_t counter, std::int64_t intervals) noexcept {
        static const bool trusted = counter_is_trusted();
        if (!trusted) {
            rate = Rate::unusable;
            return;
        }
        if (rate == Rate::unchecked) {
            const RawReading start = raw_monotonic();
            start_raw_ns = start.ns;
            start_counter = start.counter;
            start_intervals = intervals;
            rate = Rate::measuring;
            return;
        }
        // A counter or wall clock that went back starts the measurement again.
        if (counter - start_counter > (std::uint64_t{1} << 62) || intervals < start_intervals) {
            rate = Rate::unchecked;
            return;
        }
        if (intervals - start_intervals < calibration_span_ns / 100) return;
        const RawReading end = raw_monotonic();
        const std::uint64_t ticks = end.counter - start_counter;
        const std::int64_t elapsed_ns = end.ns - start_raw_ns;
        if (elapsed_ns < calibration_span_ns || ticks == 0) return;
        // The wall clock must have kept pace with the raw one (slewing moves
        // it by 0.05% at most): if it was stepped, or is made to run at
        // another pace or stand still (as time-faking test tools do),
        // interpolating would not follow it.
        const std::int64_t wall_ns = (intervals - start_intervals) * 100;
        if (wall_ns - elapsed_ns > elapsed_ns / 1000 + 200 || elapsed_ns - wall_ns > elapsed_ns / 1000 + 200) {
            rate = Rate::unchecked;
            return;
        }
        const auto rate_q32 = (static_cast<unsigned __int128>(elapsed_ns) << 32) / ticks;
        // Counters run between 100 MHz and 20 GHz; anything else is a broken measurement.
        if (rate_q32 > (unsigned __int128){10} << 32 || rate_q32 < ((unsigned __int128){1} << 32) / 20) {
            rate = Rate::unusable;
            return;
        }
        ns_per_tick_q32 = static_cast<std::uint64_t>(rate_q32);
        anchor_ticks = (static_cast<std::uint64_t>(anchor_lifetime_ns) << 32) / ns_per_tick_q32;
        bracket_ticks = (static_cast<std::uint64_t>(anchor_bracket_ns) << 32) / ns_per_tick_q32;
        anchor_counter = end.counter - anchor_ticks;  // the anchor was never checked: expired
        rate = Rate::known;
    }

    std::optional<std::int64_t> read() noexcept {
        const std::uint64_t elapsed = __rdtsc() - anchor_counter;
        if (elapsed < anchor_ticks) [[likely]] {
            const std::uint64_t ns = anchor_rest_ns + ((elapsed * ns_per_tick_q32) >> 32);
            return anchor_intervals + static_cast<std::int64_t>(ns / 100);
        }
        return read_system();
    }
};

thread_local CounterClock counter_clock;

}  // namespace

std::optional<std::int64_t> counter_clock_100ns() noexcept { return counter_clock.read(); }

}  // namespace quoranth::platform

#endif
