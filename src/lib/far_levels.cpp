#include "lib/far_levels.hpp"

#include <algorithm>
#include <cassert>

#include "lib/prefetch.hpp"

namespace quoranth {

namespace {

constexpr std::size_t half_block = FarLevels::block_levels / 2;
// Spare blocks kept after erasing, so that churn at one place allocates nothing.
constexpr std::size_t kept_spares = 2;

// The number of leading values in sorted values[0, count) below `value`
// (or not above it), halving without branches: the compares are
// unpredictable.
template <bool below_or_equal>
std::size_t partition_point(const std::int64_t* values, std::size_t count, std::int64_t value) noexcept {
    if (count == 0) return 0;
    const std::int64_t* base = values;
    while (count > 1) {
        const std::size_t half = count / 2;
        base = (below_or_equal ? base[half] <= value : base[half] < value) ? base + half : base;
        count -= half;
    }
    return static_cast<std::size_t>(base - values) + ((below_or_equal ? *base <= value : *base < value) ? 1 : 0);
}

}  // namespace

std::size_t FarLevels::search_block(std::int64_t key) const noexcept {
    // The last block key not above it; the first block key is the lowest there is.
    return partition_point<true>(keys_.data(), keys_.size(), key) - 1;
}

std::size_t FarLevels::block_of(std::int64_t key) noexcept {
    // A level is mostly looked up several times in a row (found absent, then
    // created; found, then erased): the last block found is tried first.
    const std::size_t last = last_block_;
    if (last < keys_.size() && keys_[last] <= key && (last + 1 == keys_.size() || key < keys_[last + 1])) return last;
    last_block_ = search_block(key);
    return last_block_;
}

std::size_t FarLevels::lower_bound(const Block& block, std::int64_t key) noexcept {
    return partition_point<false>(block.prices, block.count, key);
}

std::size_t FarLevels::upper_bound(const Block& block, std::int64_t key) noexcept {
    return partition_point<true>(block.prices, block.count, key);
}

void FarLevels::prefetch_prices(const Block& block) noexcept {
    // The halving reads up to four lines of the prices one after another; far
    // levels are many, so those reads mostly miss the nearer caches. Asking
    // for all of them at once overlaps the misses.
    const char* const start = reinterpret_cast<const char*>(&block);
    const char* const end = reinterpret_cast<const char*>(block.prices + block_levels);
    for (const char* line = start; line < end; line += 64) quoranth::prefetch(line);
}

Level* FarLevels::find(std::int64_t price) noexcept {
    if (count_ == 0) return nullptr;
    const std::int64_t key = stored(price);
    Block& block = *blocks_[block_of(key)];
    last_at_ = position_of(block, key);
    return level_at(block, last_at_, key);
}

const Level* FarLevels::find(std::int64_t price) const noexcept {
    if (count_ == 0) return nullptr;
    const std::int64_t key = stored(price);
    Block& block = *blocks_[search_block(key)];
    return level_at(block, position_of(block, key), key);
}

Level* FarLevels::level_at(Block& block, std::size_t at, std::int64_t key) noexcept {
    return at < block.count && block.prices[at] == key ? &block.levels[at] : nullptr;
}

std::size_t FarLevels::position_of(const Block& block, std::int64_t key) const noexcept {
    // Like the block, the position is mostly where the last lookup ended: a
    // level is found absent and then created, or found (to reach its queue)
    // and then erased. The check holds for any block: it is the definition.
    const std::size_t at = last_at_;
    if (at <= block.count && (at == block.count || key <= block.prices[at]) && (at == 0 || block.prices[at - 1] < key)) {
        return at;
    }
    prefetch_prices(block);
    return lower_bound(block, key);
}

void FarLevels::reserve(std::size_t inserts) {
    if (inserts == 0) return;
    // One insertion splits one block at most. A short run goes into one
    // block (open_gap), which it splits at once at most if full, then once
    // per 31 levels at most, since a split leaves the half it goes on in
    // with 33. A long one splits a block at the gap, then takes a fresh
    // block per 64 levels.
    const std::size_t needed = inserts == 1 ? 1 : 2 + inserts / (half_block - 1);
    if (keys_.capacity() < keys_.size() + needed) {
        keys_.reserve(std::max(keys_.size() + needed, 2 * keys_.capacity()));
        blocks_.reserve(keys_.capacity());
    } else if (blocks_.capacity() < keys_.capacity()) {
        blocks_.reserve(keys_.capacity());
    }
    if (spares_.size() >= needed) return;
    spares_.reserve(std::max(needed, kept_spares));
    while (spares_.size() < needed) spares_.push_back(std::make_unique<Block>());
}

void FarLevels::release_spares() noexcept {
    while (spares_.size() > 1) spares_.pop_back();
}

Level& FarLevels::insert(std::int64_t price) noexcept {
    const std::int64_t key = stored(price);
    if (blocks_.empty()) {
        assert(!spares_.empty());
        keys_.push_back(lowest_key);
        blocks_.push_back(std::move(spares_.back()));
        spares_.pop_back();
        blocks_.back()->count = 0;
    }
    std::size_t b = block_of(key);
    if (blocks_[b]->count == block_levels) {
        split(b, half_block);
        if (key >= keys_[b + 1]) ++b;
    }
    Block& block = *blocks_[b];
    const std::size_t at = position_of(block, key);
    std::move_backward(block.prices + at, block.prices + block.count, block.prices + block.count + 1);
    std::move_backward(block.levels + at, block.levels + block.count, block.levels + block.count + 1);
    block.prices[at] = key;
    block.levels[at] = Level{};
    ++block.count;
    ++count_;
    return block.levels[at];
}

void FarLevels::split(std::size_t b, std::size_t at) noexcept {
    assert(!spares_.empty() && keys_.size() < keys_.capacity() && blocks_.size() < blocks_.capacity());
    Block& lower = *blocks_[b];
    std::unique_ptr<Block> upper = std::move(spares_.back());
    spares_.pop_back();
    upper->count = static_cast<std::uint32_t>(lower.count - at);
    std::copy(lower.prices + at, lower.prices + lower.count, upper->prices);
    std::copy(lower.levels + at, lower.levels + lower.count, upper->levels);
    lower.count = static_cast<std::uint32_t>(at);
    // The upper part's range starts at its lowest price, above every price left below.
    keys_.insert(keys_.begin() + static_cast<std::ptrdiff_t>(b + 1), upper->prices[0]);
    blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(b + 1), std::move(upper));
}

void FarLevels::open_gap(std::int64_t low, std::int64_t high, bool at_end) noexcept {
    if (count_ == 0) return;
    const std::size_t b = block_of(low);
    // A range starting inside the gap starts at its first level instead (no
    // level lies in the gap), so the gap belongs to block b alone.
    if (b + 1 < keys_.size() && keys_[b + 1] <= high) keys_[b + 1] = blocks_[b + 1]->prices[0];
    if (!at_end) return;
    // Block b's levels above the gap go to a block of their own. Block b may
    // be left empty for a moment: the run's first level goes into it.
    const std::size_t at = lower_bound(*blocks_[b], low);
    if (at < blocks_[b]->count) split(b, at);
}

void FarLevels::erase(std::int64_t price) noexcept {
    const std::int64_t key = stored(price);
    const std::size_t b = block_of(key);
    const std::size_t at = position_of(*blocks_[b], key);
    assert(at < blocks_[b]->count && blocks_[b]->prices[at] == key);
    remove_entries(*blocks_[b], at, at + 1);
    if (blocks_[b]->count != 0) {
        settle(b);
        return;
    }
    drop_blocks(b, b + 1);
    // The blocks either side of the dropped one are neighbours now.
    if (count_ != 0) settle(b == 0 ? 0 : b - 1);
}

void FarLevels::remove_entries(Block& block, std::size_t first, std::size_t last) noexcept {
    std::move(block.prices + last, block.prices + block.count, block.prices + first);
    std::move(block.levels + last, block.levels + block.count, block.levels + first);
    block.count -= static_cast<std::uint32_t>(last - first);
    count_ -= last - first;
}

void FarLevels::settle(std::size_t b) noexcept {
    for (;;) {
        if (b + 1 < blocks_.size() && blocks_[b]->count + blocks_[b + 1]->count <= half_block) {
            append(*blocks_[b], *blocks_[b + 1]);
            drop_blocks(b + 1, b + 2);
            continue;
        }
        if (b > 0 && blocks_[b - 1]->count + blocks_[b]->count <= half_block) {
            append(*blocks_[b - 1], *blocks_[b]);
            drop_blocks(b, b + 1);
            --b;
            continue;
        }
        return;
    }
}

void FarLevels::append(Block& to, Block& from) noexcept {
    std::copy(from.prices, from.prices + from.count, to.prices + to.count);
    std::copy(from.levels, from.levels + from.count, to.levels + to.count);
    to.count += from.count;
    from.count = 0;
}

void FarLevels::drop_blocks(std::size_t first, std::size_t last) noexcept {
    const auto from = static_cast<std::ptrdiff_t>(first), to = static_cast<std::ptrdiff_t>(last);
    // Kept for the next split if there is room without allocating; freed otherwise.
    for (std::size_t b = first; b < last; ++b) {
        if (spares_.size() < kept_spares && spares_.size() < spares_.capacity()) spares_.push_back(std::move(blocks_[b]));
    }
    blocks_.erase(blocks_.begin() + from, blocks_.begin() + to);
    keys_.erase(keys_.begin() + from, keys_.begin() + to);
    // The new first block's range reaches down to the lowest price.
    if (first == 0 && !keys_.empty()) keys_[0] = lowest_key;
}

}  // namespace quoranth
