#pragma once
#include <cstddef>
#include <cstdint>

namespace quoranth::platform {

// Fills up to `size` bytes from the kernel's random source through the vDSO
// getrandom of Linux 6.11 and later: the same generator as the getrandom
// system call, run in the calling process, so that no system call is made.
// Returns how many bytes it wrote, or 0 where there is no vDSO getrandom (or
// its per-thread state could not be set up): the caller then uses the system
// call. A negative result is the call's -errno.
long vdso_getrandom(std::uint8_t* buffer, std::size_t size) noexcept;

}  // namespace quoranth::platform
