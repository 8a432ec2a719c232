#include "lib/crc32.hpp"

#include <array>
#include <cstring>

namespace quoranth {

namespace {

// tables[k][b]: the CRC of byte b followed by k zero bytes (slicing by 8).
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_tables() {
    std::array<std::array<std::uint32_t, 256>, 8> tables{};
    for (std::uint32_t b = 0; b < 256; ++b) {
        std::uint32_t crc = b;
        for (int bit = 0; bit < 8; ++bit) crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        tables[0][b] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::uint32_t b = 0; b < 256; ++b) tables[k][b] = (tables[k - 1][b] >> 8) ^ tables[0][tables[k - 1][b] & 0xFF];
    }
    return tables;
}

constexpr auto tables = make_tables();

}  // namespace

std::uint32_t crc32(std::string_view data) noexcept {
    std::uint32_t crc = 0xFFFFFFFFu;
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    std::size_t left = data.size();
    for (; left >= 8; left -= 8, p += 8) {
        // Bytes in stream order, independent of the machine's byte order.
        const std::uint32_t low = (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24) ^ crc;
        crc = tables[7][low & 0xFF] ^ tables[6][(low >> 8) & 0xFF] ^ tables[5][(low >> 16) & 0xFF] ^ tables[4][low >> 24] ^
              tables[3][p[4]] ^ tables[2][p[5]] ^ tables[1][p[6]] ^ tables[0][p[7]];
    }
    for (; left > 0; --left, ++p) crc = (crc >> 8) ^ tables[0][(crc ^ *p) & 0xFF];
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace quoranth
