#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "lib/hash_secret.hpp"

namespace quoranth {

// The text of a random version-4 UUID, 36 ASCII characters (8-4-4-4-12 lowercase
// hex digits). Held inline so that copying an order never allocates.
class OrderId {
public:
    static constexpr std::size_t length = 36;

    OrderId() { chars_.fill('0'); }
    // Exactly `length` characters of identifier text.
    explicit OrderId(std::string_view text) noexcept { std::memcpy(chars_.data(), text.data(), length); }
    // Characters left unset, for a caller that writes all of them at once
    // (formatting writes them where they stay, instead of over zeros).
    struct Unset {};
    explicit OrderId(Unset) noexcept {}

    std::string_view view() const noexcept { return {chars_.data(), length}; }
    const char* data() const noexcept { return chars_.data(); }
    char* data() noexcept { return chars_.data(); }

    bool equals(std::string_view text) const noexcept {
        return text.size() == length && std::memcmp(chars_.data(), text.data(), length) == 0;
    }
    friend bool operator==(const OrderId& a, const OrderId& b) noexcept {
        return std::memcmp(a.chars_.data(), b.chars_.data(), length) == 0;
    }

private:
    std::array<char, length> chars_;
};

// Mints a new identifier from the OS random source; an internal failure if the
// source fails.
OrderId new_order_id();

// Formats 16 UUID bytes as identifier text (no version or variant stamping).
OrderId order_id_from_bytes(const std::uint8_t (&bytes)[16]) noexcept;

// The 16 UUID bytes of canonical identifier text (8-4-4-4-12 lowercase hex
// digits); false for any other text.
bool order_id_bytes(std::string_view text, std::uint8_t (&bytes)[16]) noexcept;
// The version and variant bits that every minted identifier carries.
inline bool is_version4(const std::uint8_t (&bytes)[16]) noexcept {
    return (bytes[6] & 0xF0) == 0x40 && (bytes[8] & 0xC0) == 0x80;
}

// The process's random secret for hashing identifiers, drawn on first use.
inline std::uint64_t order_id_hash_secret() noexcept {
    static const std::uint64_t secret = hash_secret() ^ 0x2545F4914F6CDD1Dull;  // apart from the key tables' use
    return secret;
}

// Hash of identifier text, keyed with the process's secret and mixing every
// character: identifiers restored from saved state are chosen by whoever
// wrote it, so no set of them may be crafted to collide. Two 64x64 -> 128-bit
// multiplies of independent words, folded.
inline std::uint64_t hash_order_id(std::string_view text) noexcept {
    const auto fold = [](std::uint64_t a, std::uint64_t b) noexcept {
        const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    const std::uint64_t secret = order_id_hash_secret();
    if (text.size() == OrderId::length) {
        // Word by word into registers (one 32-byte copy went through the stack).
        const auto word = [&](std::size_t at) noexcept {
            std::uint64_t w;
            std::memcpy(&w, text.data() + at, 8);
            return w;
        };
        std::uint32_t last;
        std::memcpy(&last, text.data() + 32, 4);
        const std::uint64_t a = fold(word(0) ^ secret, word(8) ^ 0x9E3779B97F4A7C15ull);
        const std::uint64_t b = fold(word(16) ^ (secret * 0xBF58476D1CE4E5B9ull), word(24) ^ last ^ 0x94D049BB133111EBull);
        return fold(a ^ 0xD6E8FEB86659FD93ull, b ^ secret);
    }
    std::uint64_t h = 1469598103934665603ull ^ secret;
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

}  // namespace quoranth
