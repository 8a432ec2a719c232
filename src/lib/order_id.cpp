#include "lib/order_id.hpp"

#include <string>

#include "lib/errors.hpp"
#include "lib/platform/random_bytes.hpp"

namespace quoranth {

OrderId order_id_from_bytes(const std::uint8_t (&bytes)[16]) noexcept {
    static constexpr char hex[] = "0123456789abcdef";
    OrderId id;
    char* out = id.data();
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
        *out++ = hex[bytes[i] >> 4];
        *out++ = hex[bytes[i] & 0x0F];
    }
    return id;
}

OrderId new_order_id() {
    std::uint8_t bytes[16];
    if (const std::uint32_t error = platform::fill_random_bytes(bytes, sizeof bytes)) {
        fail_internal("could not retrieve random bytes for uuid: OS Error: " + std::to_string(error));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 9562 variant
    return order_id_from_bytes(bytes);
}

}  // namespace quoranth
