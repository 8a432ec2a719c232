#include "lib/order_id.hpp"

#include <array>
#include <atomic>
#include <cstring>
#include <string>

#include "lib/errors.hpp"
#include "lib/platform/random_bytes.hpp"

namespace quoranth {

namespace {

// "00" to "ff": two hex digits per byte in one copy.
constexpr auto hex_pairs = [] {
    constexpr char hex[] = "0123456789abcdef";
    std::array<char, 512> pairs{};
    for (int b = 0; b < 256; ++b) {
        pairs[2 * b] = hex[b >> 4];
        pairs[2 * b + 1] = hex[b & 0x0F];
    }
    return pairs;
}();

}  // namespace

OrderId order_id_from_bytes(const std::uint8_t (&bytes)[16]) noexcept {
    OrderId id;
    char* out = id.data();
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) *out++ = '-';
        std::memcpy(out, &hex_pairs[2 * bytes[i]], 2);
        out += 2;
    }
    return id;
}

namespace {

// A system call per identifier would cost more than the rest of creating an
// order, so random bytes are drawn from the OS in batches per thread. A forked
// child must not reuse its parent's unused bytes (the two would mint the same
// identifiers): a fork bumps the generation, which empties every batch.
std::atomic<std::uint64_t> fork_generation{0};

class RandomBatch {
public:
    void take(std::uint8_t (&out)[16]) {
        const std::uint64_t generation = fork_generation.load(std::memory_order_relaxed);
        if (used_ == sizeof bytes_ || generation != generation_) refill(generation);
        std::memcpy(out, bytes_ + used_, 16);
        std::memset(bytes_ + used_, 0, 16);  // handed out once, then gone
        used_ += 16;
    }

private:
    void refill(std::uint64_t generation) {
        static const bool registered = [] {
            platform::on_fork_in_child([] { fork_generation.fetch_add(1, std::memory_order_relaxed); });
            return true;
        }();
        (void)registered;
        if (const std::uint32_t error = platform::fill_random_bytes(bytes_, sizeof bytes_)) {
            used_ = sizeof bytes_;
            fail_internal("could not retrieve random bytes for uuid: OS Error: " + std::to_string(error));
        }
        used_ = 0;
        generation_ = generation;
    }

    std::uint8_t bytes_[16 * 64];
    std::size_t used_ = sizeof bytes_;
    std::uint64_t generation_ = 0;
};

}  // namespace

OrderId new_order_id() {
    thread_local RandomBatch batch;
    std::uint8_t bytes[16];
    batch.take(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 9562 variant
    return order_id_from_bytes(bytes);
}

}  // namespace quoranth
