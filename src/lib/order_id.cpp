#include "lib/order_id.hpp"

#include <array>
#include <bit>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>

#include "lib/chacha20.hpp"
#include "lib/errors.hpp"
#include "lib/platform/random_bytes.hpp"

namespace quoranth {

namespace {

// Four bytes as eight lowercase hex digits, high nibble first, all in one
// 64-bit word: each byte is spread to 16 bits, its two nibbles put into
// adjacent bytes, and each nibble turned into '0'-'9' or 'a'-'f' at once
// (adding 6 carries into bit 4 exactly for the nibbles 10 to 15). The
// word's bytes, stored in memory, are the digits in text order.
std::uint64_t hex_digits(std::uint32_t four_bytes) noexcept {
    std::uint64_t x = four_bytes;
    x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
    x = (x | (x << 8)) & 0x00FF00FF00FF00FFull;
    const std::uint64_t nibbles = ((x >> 4) & 0x000F000F000F000Full) | ((x & 0x000F000F000F000Full) << 8);
    const std::uint64_t letters = ((nibbles + 0x0606060606060606ull) >> 4) & 0x0101010101010101ull;
    return nibbles + 0x3030303030303030ull + letters * ('a' - '0' - 10);
}

std::uint64_t hex_word(const std::uint8_t* bytes) noexcept {
    std::uint32_t four;  // bytes[0] in the lowest byte
    std::memcpy(&four, bytes, 4);
    if constexpr (std::endian::native == std::endian::big) four = __builtin_bswap32(four);
    const std::uint64_t digits = hex_digits(four);  // first digit in the lowest byte
    if constexpr (std::endian::native == std::endian::big) return __builtin_bswap64(digits);
    return digits;
}

}  // namespace

OrderId order_id_from_bytes(const std::uint8_t (&bytes)[16]) noexcept {
    // 8-4-4-4-12 digits: bytes 0-3, 4-5, 6-7, 8-9 and 10-15, each group
    // written once from the words of four bytes.
    const std::uint64_t words[4] = {hex_word(bytes), hex_word(bytes + 4), hex_word(bytes + 8), hex_word(bytes + 12)};
    OrderId id{OrderId::Unset{}};  // returned in place: the text is written once, where the caller keeps it
    char* out = id.data();
    std::memcpy(out, &words[0], 8);
    out[8] = '-';
    std::memcpy(out + 9, &words[1], 4);
    out[13] = '-';
    std::memcpy(out + 14, reinterpret_cast<const char*>(&words[1]) + 4, 4);
    out[18] = '-';
    std::memcpy(out + 19, &words[2], 4);
    out[23] = '-';
    std::memcpy(out + 24, reinterpret_cast<const char*>(&words[2]) + 4, 4);
    std::memcpy(out + 28, &words[3], 8);
    return id;
}

namespace {

// Eight hex digit characters, the first in the lowest byte, as the four
// bytes they spell (the first digit pair in the lowest byte); false unless
// every character is 0-9 or a-f. Each byte is tested against the four
// bounds at once: with every byte below 0x80, adding 0x80 - bound sets its
// top bit exactly when the byte is at or above the bound, and no carry
// crosses into the next byte.
bool hex_word_value(std::uint64_t chars, std::uint32_t& value) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101ull, tops = 0x8080808080808080ull;
    if (chars & tops) return false;
    const auto at_least = [&](unsigned bound) noexcept { return (chars + (0x80 - bound) * ones) & tops; };
    const std::uint64_t digits = at_least('0') & ~at_least('9' + 1);
    const std::uint64_t letters = at_least('a') & ~at_least('f' + 1);
    if ((digits | letters) != tops) return false;
    // A digit's nibble is its low four bits; a letter's is those plus 9.
    const std::uint64_t nibbles = (chars & 0x0F0F0F0F0F0F0F0Full) + ((chars >> 6) & ones) * 9;
    std::uint64_t pairs = ((nibbles << 4) | (nibbles >> 8)) & 0x00FF00FF00FF00FFull;
    pairs = (pairs | (pairs >> 8)) & 0x0000FFFF0000FFFFull;
    value = static_cast<std::uint32_t>(pairs | (pairs >> 16));
    return true;
}

std::uint64_t load_chars(const char* text, std::size_t size) noexcept {
    std::uint64_t word = 0;
    std::memcpy(&word, text, size);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word) >> (64 - 8 * size);
    return word;
}

}  // namespace

bool order_id_bytes(std::string_view text, std::uint8_t (&bytes)[16]) noexcept {
    if (text.size() != OrderId::length) return false;
    const char* t = text.data();
    if (t[8] != '-' || t[13] != '-' || t[18] != '-' || t[23] != '-') return false;
    // Digits 0-7, 9-12 with 14-17, 19-22 with 24-27, and 28-35.
    const std::uint64_t words[4] = {
        load_chars(t, 8),
        load_chars(t + 9, 4) | load_chars(t + 14, 4) << 32,
        load_chars(t + 19, 4) | load_chars(t + 24, 4) << 32,
        load_chars(t + 28, 8),
    };
    for (int w = 0; w < 4; ++w) {
        std::uint32_t value;
        if (!hex_word_value(words[w], value)) return false;
        for (int b = 0; b < 4; ++b) bytes[4 * w + b] = static_cast<std::uint8_t>(value >> (8 * b));
    }
    return true;
}

namespace {

// Random bytes for identifiers, made a batch at a time per thread (256
// identifiers). Drawing them all from the OS would cost more than the rest of
// creating an order: its generator runs at 1.4 ns a byte. So each batch is
// the ChaCha20 keystream under a fresh 32-byte key from the OS, a standard
// cryptographically secure generator (the kernel's own is built the same
// way), at 0.4 to 0.7 ns a byte. The key serves one batch and is cleared
// then (copies the compiler keeps in registers or on the stack are not), and
// each byte is cleared once handed out. A forked child must not reuse its
// parent's unused bytes (the two would mint the same identifiers): a fork
// bumps the generation, which empties every batch.
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
        std::uint8_t key[32];
        if (const std::uint32_t error = platform::fill_random_bytes(key, sizeof key)) {
            used_ = sizeof bytes_;
            fail_internal("could not retrieve random bytes for uuid: OS Error: " + std::to_string(error));
        }
        constexpr std::uint8_t nonce[12] = {};  // every key serves one batch only
        chacha20_keystream(key, nonce, 0, bytes_, sizeof bytes_ / chacha20_block_bytes);
        clear_secret(key, sizeof key);
        used_ = 0;
        generation_ = generation;
    }

    std::uint8_t bytes_[16 * 256];  // a whole number of keystream blocks
    std::size_t used_ = sizeof bytes_;
    std::uint64_t generation_ = 0;
};

}  // namespace

OrderId new_order_id() {
    // The batch lives on the heap: the module's thread-local block must stay
    // small, or the loader cannot place it in static TLS and every
    // thread-local access in the module (the access flags' count included)
    // becomes a call through the dynamic TLS path.
    thread_local std::unique_ptr<RandomBatch> batch;
    if (!batch) [[unlikely]] batch = std::make_unique<RandomBatch>();
    std::uint8_t bytes[16];
    batch->take(bytes);
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 9562 variant
    return order_id_from_bytes(bytes);
}

}  // namespace quoranth
