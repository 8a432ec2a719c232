#pragma once
// The wall clock read the way the system reads it: the last system reading
// plus the CPU's time-stamp counter since then.
//
// A system reading (clock_gettime) costs about 22 ns here, two and a half
// times a counter read, and matching reads the clock once per fill. So each
// thread keeps its last system reading with the counter value when it was
// made, and for 2 µs after that a reading is that anchor plus the elapsed
// ticks at a rate measured against the raw monotonic clock (over at least
// 10 ms, during which the wall clock must keep pace with the raw one). Later,
// or if the counter went back (another CPU), it reads the system clock again,
// and that reading anchors only if the last one, carried forward by the
// counter, agrees with it to within 60 ns: a clock stepped, frozen or set to
// run at another pace (as time-faking tools do) is read from the system until
// its rate has been measured again. A reading thus lies within a few tens of
// nanoseconds of the system clock's, and follows a change of the system clock
// within 2 µs.
//
// Used only where the kernel itself keeps the wall clock from the counter (its
// clock source is "tsc": counters invariant and in step across CPUs) and the
// process may read the counter; elsewhere every reading is a system reading.
#include <cstdint>
#include <optional>

#if defined(__linux__) && defined(__x86_64__)
#define QUORANTH_HAS_COUNTER_CLOCK 1
#endif

namespace quoranth::platform {

// One clock_gettime(CLOCK_REALTIME) as 100 ns intervals since the epoch.
std::optional<std::int64_t> system_wall_clock_100ns() noexcept;

#if defined(QUORANTH_HAS_COUNTER_CLOCK)
// The wall clock as above, in 100 ns intervals since the epoch.
std::optional<std::int64_t> counter_clock_100ns() noexcept;
#endif

}  // namespace quoranth::platform
