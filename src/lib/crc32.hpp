#pragma once
#include <cstdint>
#include <string_view>

namespace quoranth {

// CRC-32 (the polynomial and conventions of zlib's crc32, so Python's
// zlib.crc32 gives the same value), eight bytes a step.
std::uint32_t crc32(std::string_view data) noexcept;

}  // namespace quoranth
