#pragma once
#include <cstddef>
#include <array>
#include <bit>
#include <cstdint>
#include <vector>

namespace quoranth {

// A set of positions in [0, size) as a hierarchy of 64-bit words: bit i of
// layer k+1 says whether word i of layer k has any bit set. Finding the next
// set position from any point reads at most two words per layer, and a window
// of 2^22 positions has four layers, so every operation is constant time.
class LevelBitmap {
public:
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // All positions clear; `size` is a power of two, at least 64 and at most 64^4.
    void reset(std::size_t size);

    void set(std::size_t i) noexcept;
    void clear(std::size_t i) noexcept;

    // The lowest set position at or above `i`, or npos. Inline when it lies
    // in the same leaf word, as neighbouring levels usually do.
    std::size_t next_from(std::size_t i) const noexcept {
        if (i < size_) {
            const std::uint64_t bits = words_[i >> 6] & (~std::uint64_t{0} << (i & 63));
            if (bits != 0) return (i & ~std::size_t{63}) | static_cast<std::size_t>(std::countr_zero(bits));
        }
        return next_beyond_word(i);
    }
    // The highest set position at or below `i`, or npos.
    std::size_t previous_from(std::size_t i) const noexcept {
        if (i < size_) {
            const std::uint64_t bits = words_[i >> 6] & (~std::uint64_t{0} >> (63 - (i & 63)));
            if (bits != 0) return (i & ~std::size_t{63}) | static_cast<std::size_t>(63 - std::countl_zero(bits));
        }
        return previous_beyond_word(i);
    }
    std::size_t lowest() const noexcept;
    std::size_t highest() const noexcept;

private:
    std::size_t next_beyond_word(std::size_t i) const noexcept;
    std::size_t previous_beyond_word(std::size_t i) const noexcept;

    // 64^4 positions at most (the ladder's 2^22 slots need four layers).
    static constexpr std::size_t max_layers = 4;

    std::uint64_t& word(std::size_t layer, std::size_t i) noexcept { return words_[starts_[layer] + i]; }
    std::uint64_t word(std::size_t layer, std::size_t i) const noexcept { return words_[starts_[layer] + i]; }
    std::size_t layer_words(std::size_t layer) const noexcept { return starts_[layer + 1] - starts_[layer]; }

    std::vector<std::uint64_t> words_;  // every layer, leaves first
    std::array<std::size_t, max_layers + 1> starts_{};  // first word of each layer, then the total
    std::size_t layers_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quoranth
