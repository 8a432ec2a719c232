#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quoranth {

// The text of a random version-4 UUID, 36 ASCII characters (8-4-4-4-12 lowercase
// hex digits). Held inline so that copying an order never allocates.
class OrderId {
public:
    static constexpr std::size_t length = 36;

    OrderId() { chars_.fill('0'); }
    // Exactly `length` characters of identifier text.
    explicit OrderId(std::string_view text) noexcept { std::memcpy(chars_.data(), text.data(), length); }

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

// Hash of identifier text. Minted identifiers are random hex, so a few of their
// characters mixed together spread evenly; any other text hashes too.
inline std::uint64_t hash_order_id(std::string_view text) noexcept {
    if (text.size() == OrderId::length) {
        std::uint64_t head, tail;
        std::memcpy(&head, text.data(), 8);
        std::memcpy(&tail, text.data() + 28, 8);
        std::uint64_t h = (head ^ (tail * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
        return h ^ (h >> 31);
    }
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return h;
}

}  // namespace quoranth
