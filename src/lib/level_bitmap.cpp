#include "lib/level_bitmap.hpp"

#include <bit>

namespace quoranth {

void LevelBitmap::reset(std::size_t size) {
    std::array<std::size_t, max_layers + 1> starts{};
    std::size_t layers = 0;
    for (std::size_t bits = size;; bits = (bits + 63) / 64) {
        const std::size_t words = (bits + 63) / 64;
        starts[layers + 1] = starts[layers] + words;
        ++layers;
        if (words == 1) break;
    }
    std::vector<std::uint64_t> words(starts[layers], 0);
    words_.swap(words);
    starts_ = starts;
    layers_ = layers;
    size_ = size;
}

void LevelBitmap::set(std::size_t i) noexcept {
    for (std::size_t layer = 0; layer < layers_; ++layer, i >>= 6) {
        std::uint64_t& w = word(layer, i >> 6);
        const bool was_empty = w == 0;
        w |= std::uint64_t{1} << (i & 63);
        if (!was_empty) return;  // the layers above already know
    }
}

void LevelBitmap::clear(std::size_t i) noexcept {
    for (std::size_t layer = 0; layer < layers_; ++layer, i >>= 6) {
        std::uint64_t& w = word(layer, i >> 6);
        w &= ~(std::uint64_t{1} << (i & 63));
        if (w != 0) return;
    }
}

// From the top word down, following the lowest (highest) set bit of each layer.
std::size_t LevelBitmap::lowest() const noexcept {
    if (size_ == 0 || words_.back() == 0) return npos;
    std::size_t found = 0;
    for (std::size_t layer = layers_; layer-- > 0;) {
        found = (found << 6) | static_cast<std::size_t>(std::countr_zero(word(layer, found)));
    }
    return found;
}

std::size_t LevelBitmap::highest() const noexcept {
    if (size_ == 0 || words_.back() == 0) return npos;
    std::size_t found = 0;
    for (std::size_t layer = layers_; layer-- > 0;) {
        found = (found << 6) | static_cast<std::size_t>(63 - std::countl_zero(word(layer, found)));
    }
    return found;
}

std::size_t LevelBitmap::next_beyond_word(std::size_t i) const noexcept {
    if (i >= size_) return npos;
    for (std::size_t layer = 0; layer < layers_; ++layer) {
        const std::size_t w = i >> 6;
        const std::uint64_t bits = word(layer, w) & (~std::uint64_t{0} << (i & 63));
        if (bits != 0) {
            std::size_t found = (w << 6) | static_cast<std::size_t>(std::countr_zero(bits));
            while (layer-- > 0) found = (found << 6) | static_cast<std::size_t>(std::countr_zero(word(layer, found)));
            return found;
        }
        i = w + 1;  // the next word of this layer is the next bit of the one above
        if (i >= layer_words(layer)) return npos;
    }
    return npos;
}

std::size_t LevelBitmap::previous_beyond_word(std::size_t i) const noexcept {
    if (size_ == 0) return npos;
    if (i >= size_) i = size_ - 1;
    for (std::size_t layer = 0; layer < layers_; ++layer) {
        const std::size_t w = i >> 6;
        const std::uint64_t bits = word(layer, w) & (~std::uint64_t{0} >> (63 - (i & 63)));
        if (bits != 0) {
            std::size_t found = (w << 6) | static_cast<std::size_t>(63 - std::countl_zero(bits));
            while (layer-- > 0) {
                found = (found << 6) | static_cast<std::size_t>(63 - std::countl_zero(word(layer, found)));
            }
            return found;
        }
        if (w == 0) return npos;
        i = w - 1;
    }
    return npos;
}

}  // namespace quoranth
