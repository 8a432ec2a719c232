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
constexpr std::int64_t rate_span_ns = 10'000'000;
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

// A reading of a system clock, and the counter when it was made: midway
// between counters read just before and just after it.
struct Bracketed {
    timespec time;
    std::uint64_t counter;
    std::uint64_t bracket;  // ticks between those two counters
};

Bracketed read_bracketed(clockid_t clock) noexcept {
    const std::uint64_t before = __rdtsc();
    timespec time{};
    clock_gettime(clock, &time);
    const std::uint64_t after = __rdtsc();
    return {time, before + (after - before) / 2, after - before};
}

// The raw monotonic clock (never stepped or slewed), the best of three
// readings: one the thread was interrupted in would throw the rate off.
Bracketed read_raw() noexcept {
    Bracketed best = read_bracketed(CLOCK_MONOTONIC_RAW);
    for (int i = 0; i < 2; ++i) {
        const Bracketed next = read_bracketed(CLOCK_MONOTONIC_RAW);
        if (next.bracket < best.bracket) best = next;
    }
    return best;
}

// A raw reading in nanoseconds, wrapping rather than overflowing for a clock set anywhere.
std::uint64_t nanoseconds(const timespec& time) noexcept {
    return static_cast<std::uint64_t>(time.tv_sec) * 1'000'000'000 + static_cast<std::uint64_t>(time.tv_nsec);
}

// Wall readings the counter may carry forward: after the epoch and below half
// the range, so that spans between them fit. Others are reported as they are.
bool carried(const std::optional<std::int64_t>& intervals) noexcept {
    return intervals && *intervals >= 0 && *intervals <= INT64_MAX / 2;
}

class CounterClock {
public:
    std::optional<std::int64_t> read() noexcept {
        const std::uint64_t elapsed = __rdtsc() - anchor_counter_;
        if (elapsed < anchor_ticks_) [[likely]] {
            const std::uint64_t ns = anchor_rest_ns_ + ((elapsed * ns_per_tick_q32_) >> 32);
            return anchor_intervals_ + static_cast<std::int64_t>(ns / 100);
        }
        return read_system();
    }

private:
    enum class Rate : std::uint8_t { unchecked, measuring, known, unusable };

    // A system reading, which becomes the next anchor if it can.
    std::optional<std::int64_t> read_system() noexcept {
        anchor_ticks_ = 0;  // no anchor until this reading makes one
        const Bracketed now = read_bracketed(CLOCK_REALTIME);
        const std::optional<std::int64_t> intervals = intervals_from_timespec(
            static_cast<std::int64_t>(now.time.tv_sec), static_cast<std::int64_t>(now.time.tv_nsec));
        if (!carried(intervals) || rate_ == Rate::unusable) return intervals;
        const std::uint64_t counter = now.counter;
        const auto rest_ns = static_cast<std::uint64_t>(now.time.tv_nsec % 100);
        if (rate_ != Rate::known) {
            measure_rate(counter, *intervals);
        } else if (now.bracket > bracket_ticks_) {
            return intervals;  // interrupted: neither an anchor nor a reference for the next reading
        } else if (keeps_pace(counter, *intervals, rest_ns)) {
            anchor_ticks_ = lifetime_ticks_;
        } else {
            rate_ = Rate::unchecked;  // stepped, or running at another pace: measure again
        }
        anchor_counter_ = counter;
        anchor_intervals_ = *intervals;
        anchor_rest_ns_ = rest_ns;
        return intervals;
    }

    // Whether a new reading agrees with the last uninterrupted system reading
    // carried forward by the counter: within 60 ns (each reading's counter is
    // known to within half of its 60 ns bracket) and 0.1% of the time between
    // them (the system slews its clock by 0.05% at most). A clock stepped,
    // frozen or made to run at another pace (as time-faking tools do), a
    // counter that went back, or a rate measured wrongly, disagree as soon as
    // carrying forward would put a reading off by more than that.
    bool keeps_pace(std::uint64_t counter, std::int64_t intervals, std::uint64_t rest_ns) const noexcept {
        const auto ticks = static_cast<std::int64_t>(counter - anchor_counter_);
        if (ticks < 0) return false;
        const auto predicted = static_cast<__int128>((static_cast<unsigned __int128>(ticks) * ns_per_tick_q32_) >> 32);
        const __int128 actual = static_cast<__int128>(intervals - anchor_intervals_) * 100 +
                                static_cast<__int128>(rest_ns) - static_cast<__int128>(anchor_rest_ns_);
        const __int128 off = actual > predicted ? actual - predicted : predicted - actual;
        return off <= anchor_bracket_ns + predicted / 1000;
    }

    // Starts measuring the rate, and ends it once 10 ms have passed on the
    // wall clock, which must have kept pace with the raw one meanwhile.
    void measure_rate(std::uint64_t counter, std::int64_t intervals) noexcept {
        static const bool trusted = counter_is_trusted();
        if (!trusted) {
            rate_ = Rate::unusable;
            return;
        }
        // The wall clock is read again after the raw one, at each end of the
        // measurement (the check of the counter above may read a file).
        if (rate_ == Rate::unchecked) {
            start_raw_ = read_raw();
            const std::optional<std::int64_t> wall = system_wall_clock_100ns();
            if (!carried(wall)) return;
            start_wall_ = *wall;
            rate_ = Rate::measuring;
            return;
        }
        if (counter - start_raw_.counter > (std::uint64_t{1} << 62) || intervals < start_wall_) {
            rate_ = Rate::unchecked;  // the counter or the wall clock went back: start again
            return;
        }
        if (intervals - start_wall_ < rate_span_ns / 100) return;
        const Bracketed end = read_raw();
        const std::optional<std::int64_t> wall = system_wall_clock_100ns();
        rate_ = Rate::unchecked;  // unless the measurement holds
        if (!wall || *wall < start_wall_) return;
        const std::uint64_t ticks = end.counter - start_raw_.counter;
        const std::uint64_t raw_ns = nanoseconds(end.time) - nanoseconds(start_raw_.time);
        // In 100 ns intervals, the raw span and the wall one (below 2^63 as
        // both readings are), which may differ by slewing.
        const auto raw_span = static_cast<std::int64_t>(raw_ns / 100);
        const std::int64_t wall_span = *wall - start_wall_, allowed = raw_span / 1000 + 2;
        // (The raw span may fall short of the wall one: the system slews its
        // wall clock to correct a counter that runs slow.)
        if (raw_ns < static_cast<std::uint64_t>(rate_span_ns / 2) || raw_ns > (std::uint64_t{1} << 62) || ticks == 0 ||
            wall_span - raw_span > allowed || raw_span - wall_span > allowed) {
            return;
        }
        const auto rate_q32 = (static_cast<unsigned __int128>(raw_ns) << 32) / ticks;
        // Counters run between 100 MHz and 20 GHz; anything else is a broken measurement.
        if (rate_q32 > (static_cast<unsigned __int128>(10) << 32) || rate_q32 < (std::uint64_t{1} << 32) / 20) {
            rate_ = Rate::unusable;
            return;
        }
        ns_per_tick_q32_ = static_cast<std::uint64_t>(rate_q32);
        lifetime_ticks_ = (static_cast<std::uint64_t>(anchor_lifetime_ns) << 32) / ns_per_tick_q32_;
        bracket_ticks_ = (static_cast<std::uint64_t>(anchor_bracket_ns) << 32) / ns_per_tick_q32_;
        rate_ = Rate::known;  // the reading at hand was not checked: the next one anchors
    }

    // The anchor: a system reading, and the counter when it was made. It
    // serves for anchor_ticks_ ticks: 0 while there is none.
    std::uint64_t anchor_counter_ = 0;
    std::uint64_t anchor_ticks_ = 0;
    std::int64_t anchor_intervals_ = 0;  // 100 ns intervals since the epoch
    std::uint64_t anchor_rest_ns_ = 0;   // and the reading's nanoseconds past them
    std::uint64_t ns_per_tick_q32_ = 0;  // nanoseconds per tick, times 2^32
    std::uint64_t lifetime_ticks_ = 0;
    std::uint64_t bracket_ticks_ = 0;

    Rate rate_ = Rate::unchecked;
    Bracketed start_raw_{};      // the rate's measurement began here,
    std::int64_t start_wall_ = 0;  // and here on the wall clock (100 ns intervals)
};

thread_local CounterClock counter_clock;

}  // namespace

std::optional<std::int64_t> counter_clock_100ns() noexcept { return counter_clock.read(); }

}  // namespace quoranth::platform

#endif
