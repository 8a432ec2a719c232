#include "lib/hash_secret.hpp"

#include <chrono>

#include "lib/platform/random_bytes.hpp"

namespace quoranth {

std::uint64_t hash_secret() noexcept {
    static const std::uint64_t secret = [] {
        std::uint64_t drawn = 0;
        if (platform::fill_random_bytes(reinterpret_cast<std::uint8_t*>(&drawn), sizeof drawn) != 0) {
            // No random source: a clock reading still keeps keys from being
            // crafted ahead of time.
            drawn = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        }
        return drawn;
    }();
    return secret;
}

}  // namespace quoranth
