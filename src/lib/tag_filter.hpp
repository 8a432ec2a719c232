#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "lib/platform/memory.hpp"
#include "lib/prefetch.hpp"

namespace quoranth {

// A small summary of the hash tags an IdTable holds, so that a lookup of an
// absent identifier (the usual case for a store of filled orders: every new
// order is checked against it) is settled by one bit test in a structure an
// eighth of the bucket array's size, which stays in cache where the buckets
// do not. A Bloom filter of two bits per tag, both in one 64-bit word, with 4
// bits per bucket (8 or more per entry at load 1/2): about 5 % of absent
// tags still reach the table. Bits are never cleared one by one, since
// another tag may share them; the filter is rebuilt from the buckets when it
// grows with its table, or once erasures since the last rebuild reach a
// quarter of the buckets (amortized O(1) per erasure).
class TagFilter {
public:
    bool may_hold(std::uint32_t tag) const noexcept {
        const std::uint64_t bits = bits_of(tag);
        return (words_[word_of(tag)] & bits) == bits;
    }
    void prefetch(std::uint32_t tag) const noexcept { quoranth::prefetch(words_.data() + word_of(tag)); }
    void add(std::uint32_t tag) noexcept { words_[word_of(tag)] |= bits_of(tag); }

    // An empty filter sized for a table of `buckets` buckets (a power of two,
    // at least 64). Throws, changing nothing, if memory runs out.
    void resize(std::size_t buckets) {
        const std::size_t words = buckets / words_per_bucket_inverse;
        if (words_.size() != words) {
            words_ = platform::LargePageVector<std::uint64_t, advice>(words);
            mask_ = words - 1;
        }
        clear();
    }
    void clear() noexcept {
        std::fill(words_.begin(), words_.end(), 0);
        erased_ = 0;
    }
    // Counts one erasure; true when the caller should rebuild (clear, then add every tag).
    bool erased_enough() noexcept { return ++erased_ * 4 >= words_.size() * words_per_bucket_inverse; }

private:
    // Only the store of filled orders keeps a filter, and it grows with
    // every fill: its memory is not advised to use large pages (platform/memory.hpp).
    static constexpr platform::Advice advice = platform::Advice::none;
    static constexpr std::size_t words_per_bucket_inverse = 16;  // 64 bits per 16 buckets

    // The word comes from the tag's low bits, the two bit positions from its
    // top twelve; they overlap only past 2^20 words (2^24 buckets), where
    // the filter merely gets coarser.
    std::size_t word_of(std::uint32_t tag) const noexcept { return tag & mask_; }
    static std::uint64_t bits_of(std::uint32_t tag) noexcept {
        return (std::uint64_t{1} << ((tag >> 20) & 63)) | (std::uint64_t{1} << (tag >> 26));
    }

    platform::LargePageVector<std::uint64_t, advice> words_;
    std::size_t mask_ = 0;
    std::size_t erased_ = 0;
};

}  // namespace quoranth
