#pragma once
#include <cstddef>
#include <cstdint>

namespace quoranth::platform {

// Fills `size` bytes from the operating system's cryptographic random source.
// Returns 0 on success, otherwise the OS error code to report.
std::uint32_t fill_random_bytes(std::uint8_t* buffer, std::size_t size) noexcept;

// Runs `handler` in the child process after every fork (nothing on systems
// without fork).
void on_fork_in_child(void (*handler)()) noexcept;

}  // namespace quoranth::platform
