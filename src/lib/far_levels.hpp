#pragma once
#include <algorithm>
#include <cassert>
#include <iterator>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "lib/level.hpp"

namespace quoranth {

// The price levels of one side that lie outside its ladder window, in price
// order. Levels sit in sorted blocks of up to 64 (prices in one array, levels
// in another), and each block owns a range of prices: from its key up to the
// next block's key. Keys sit in one sorted array (a block per 16 to 64
// levels, so mostly in cache), and the first key is the lowest price there
// is, so that every price has one block to go to. A lookup halves its way
// through the keys, then through one block's prices: a few cache misses
// where a tree with a node per level takes one per step down.
//
// Invariants: every block holds at least one level; keys rise with the
// blocks; a block's prices rise and lie in its range; no two neighbouring
// blocks hold 32 levels or fewer between them (so a block holds 16 levels on
// average at least, and memory stays proportional to the levels held).
//
// Costs (n levels, b = n / 16 blocks at most): find, insert and erase
// O(log n), plus moving up to 64 entries of one block; the block and the
// position found last are tried first, since a level is mostly found absent
// and then created, or found (to reach its queue) and then erased.
// Splitting a full block or dropping an emptied one moves the keys after it,
// up to b, once per 31 insertions or erasures at least. The best levels are
// the ones most often removed (sweeps, cancels near the market), so each
// side keeps its best end last, where dropping a block moves no key: a sell
// side stores each price's complement (~price, which reverses the order), a
// buy side the price itself. Removing levels in price order from the worst
// end pays the moves most (about twice what a tree cost, at 2,000,000 far
// levels). A long run of levels in one gap (the ladder moving out) fills
// whole blocks, put in with one move of the keys: O(run + b). reserve()
// readies the blocks and the room for their keys beforehand, so that
// insertions cannot fail.
class FarLevels {
public:
    static constexpr std::size_t block_levels = 64;

    // Levels kept in falling price order if `falling` (a sell side).
    explicit FarLevels(bool falling) noexcept : flip_(falling ? ~std::int64_t{0} : 0) {}
    bool falling() const noexcept { return flip_ != 0; }

    bool empty() const noexcept { return count_ == 0; }
    std::size_t size() const noexcept { return count_; }

    // The non-const lookup remembers the block it found (see block_of); the
    // const one writes nothing, so readers may share the book.
    Level* find(std::int64_t price) noexcept;
    const Level* find(std::int64_t price) const noexcept;
    // Finds the block that would hold `price` and starts loading its prices;
    // the set must not be empty.
    void prefetch(std::int64_t price) noexcept { prefetch_prices(*blocks_[block_of(stored(price))]); }

    // Makes sure that the next `inserts` insertions cannot fail: one level by
    // insert(), or a run by insert_run(). May throw (memory); changes no level.
    void reserve(std::size_t inserts);
    // Gives back blocks readied and not used, but one.
    void release_spares() noexcept;
    // Adds the empty level at `price`, which must be absent; reserved beforehand.
    Level& insert(std::int64_t price) noexcept;
    // Removes the level at `price`, which must be present.
    void erase(std::int64_t price) noexcept;
    // Adds `count` levels priced from `low` to `high`, with no level held
    // between them: next(price, level) yields each in turn (and returns true
    // for each of the `count`), in rising price, or falling if falling().
    // Reserved beforehand for their count.
    template <typename Next>
    void insert_run(std::int64_t low, std::int64_t high, std::size_t count, Next&& next) noexcept {
        if (falling()) std::swap(low, high);
        low = stored(low);
        high = stored(high);
        std::int64_t price = 0;
        Level level;
        const auto take_next = [&] {
            [[maybe_unused]] const bool yielded = next(price, level);
            assert(yielded);
        };
        if (count <= block_levels / 2) {
            // A short run is not worth splitting a block for.
            open_gap(low, high, false);
            for (std::size_t i = 0; i < count; ++i) {
                take_next();
                insert(price) = level;
            }
            return;
        }
        // A long run fills the block the gap ends, then whole blocks put in
        // after it with one move of the keys above: O(run + blocks).
        open_gap(low, high, true);
        const std::size_t at = blocks_.empty() ? 0 : block_of(low) + 1;
        std::size_t left = count;
        const auto fill = [&](Block& block) {
            for (; left > 0 && block.count < block_levels; --left) {
                take_next();
                block.prices[block.count] = stored(price);
                block.levels[block.count] = level;
                ++block.count;
            }
        };
        if (at > 0) fill(*blocks_[at - 1]);
        const std::size_t fresh = (left + block_levels - 1) / block_levels;
        assert(spares_.size() >= fresh && keys_.capacity() - keys_.size() >= fresh && blocks_.capacity() - blocks_.size() >= fresh);
        const auto spares = static_cast<std::ptrdiff_t>(spares_.size());
        const auto where = static_cast<std::ptrdiff_t>(at);
        blocks_.insert(blocks_.begin() + where, std::make_move_iterator(spares_.begin() + (spares - static_cast<std::ptrdiff_t>(fresh))),
                       std::make_move_iterator(spares_.end()));
        spares_.resize(spares_.size() - fresh);
        keys_.insert(keys_.begin() + where, fresh, std::int64_t{0});
        for (std::size_t i = at; i < at + fresh; ++i) {
            blocks_[i]->count = 0;
            fill(*blocks_[i]);
            keys_[i] = i == 0 ? lowest_key : blocks_[i]->prices[0];
        }
        count_ += count;
        // The blocks the run went into, and the one split off at the gap.
        settle(std::min(block_of(high) + 1, blocks_.size() - 1));
        settle(block_of(high));
        settle(block_of(low));
    }

    // The lowest and the highest level, with their prices; the set must not be empty.
    std::pair<std::int64_t, Level*> lowest() noexcept { return falling() ? last() : first(); }
    std::pair<std::int64_t, Level*> highest() noexcept { return falling() ? first() : last(); }

    // Calls visit(price, level) on each level in ascending (descending)
    // price while it returns true; returns false if visit stopped it.
    template <typename Visit>
    bool ascending(Visit&& visit) const {
        return falling() ? backward(visit) : forward(visit);
    }
    template <typename Visit>
    bool descending(Visit&& visit) const {
        return falling() ? forward(visit) : backward(visit);
    }

    // Removes every level priced in [from, to), handing each to
    // take(price, level).
    template <typename Take>
    void take(std::int64_t from, std::int64_t to, Take&& take) noexcept {
        if (count_ == 0 || from >= to) return;
        // The same range as stored, bounds included: [low, high].
        std::int64_t low = stored(from), high = stored(to - 1);
        if (falling()) std::swap(low, high);
        // The blocks the range empties are neighbours: they go in one step.
        std::size_t emptied_first = blocks_.size(), emptied_last = 0;
        for (std::size_t b = block_of(low); b < blocks_.size() && keys_[b] <= high; ++b) {
            Block& block = *blocks_[b];
            const std::size_t first = lower_bound(block, low);
            const std::size_t last = upper_bound(block, high);
            for (std::size_t i = first; i < last; ++i) take(stored(block.prices[i]), block.levels[i]);
            remove_entries(block, first, last);
            if (block.count == 0) {
                emptied_first = std::min(emptied_first, b);
                emptied_last = b + 1;
            }
        }
        if (emptied_first < emptied_last) drop_blocks(emptied_first, emptied_last);
        // Only the blocks either side of the cut can have shrunk.
        if (count_ != 0) settle(block_of(low));
        if (count_ != 0) settle(block_of(high));
    }

private:
    struct Block {
        std::uint32_t count = 0;
        std::int64_t prices[block_levels];  // as stored, rising
        Level levels[block_levels];
    };
    static constexpr std::int64_t lowest_key = std::numeric_limits<std::int64_t>::min();

    // A price as stored, or a stored one as a price (the map is its own inverse).
    std::int64_t stored(std::int64_t price) const noexcept { return price ^ flip_; }
    std::pair<std::int64_t, Level*> first() noexcept {
        Block& block = *blocks_.front();
        return {stored(block.prices[0]), &block.levels[0]};
    }
    std::pair<std::int64_t, Level*> last() noexcept {
        Block& block = *blocks_.back();
        return {stored(block.prices[block.count - 1]), &block.levels[block.count - 1]};
    }
    template <typename Visit>
    bool forward(Visit& visit) const {
        for (const auto& block : blocks_) {
            for (std::size_t i = 0; i < block->count; ++i) {
                if (!visit(stored(block->prices[i]), block->levels[i])) return false;
            }
        }
        return true;
    }
    template <typename Visit>
    bool backward(Visit& visit) const {
        for (std::size_t b = blocks_.size(); b-- > 0;) {
            const Block& block = *blocks_[b];
            for (std::size_t i = block.count; i-- > 0;) {
                if (!visit(stored(block.prices[i]), block.levels[i])) return false;
            }
        }
        return true;
    }

    // The block whose range holds the stored price `key`; the set must not be empty.
    std::size_t search_block(std::int64_t key) const noexcept;
    // The same, trying the block found last first.
    std::size_t block_of(std::int64_t key) noexcept;
    // Asks for every line of the block's prices at once.
    static void prefetch_prices(const Block& block) noexcept;
    // The level at position `at` of the block if its stored price is `key`.
    static Level* level_at(Block& block, std::size_t at, std::int64_t key) noexcept;
    // How many of the block's stored prices lie below `key` (not above it).
    static std::size_t lower_bound(const Block& block, std::int64_t key) noexcept;
    // lower_bound, trying the position the last lookup ended at first.
    std::size_t position_of(const Block& block, std::int64_t key) const noexcept;
    static std::size_t upper_bound(const Block& block, std::int64_t key) noexcept;
    // Takes entries [first, last) out of a block (which may empty).
    void remove_entries(Block& block, std::size_t first, std::size_t last) noexcept;
    // Moves the levels of block `b` from position `at` on to a readied block
    // after it.
    void split(std::size_t b, std::size_t at) noexcept;
    // Makes [low, high] (stored), which holds no level, part of one block's
    // range, and with `at_end` the end of that block.
    void open_gap(std::int64_t low, std::int64_t high, bool at_end) noexcept;
    // Merges block `b` into or with its neighbours while two neighbours hold
    // 32 levels or fewer between them.
    void settle(std::size_t b) noexcept;
    static void append(Block& to, Block& from) noexcept;
    // Takes blocks [first, last) out (their ranges join the one before),
    // keeping the first key lowest.
    void drop_blocks(std::size_t first, std::size_t last) noexcept;

    std::vector<std::int64_t> keys_;              // each block's range start, rising
    std::vector<std::unique_ptr<Block>> blocks_;  // in price order
    std::vector<std::unique_ptr<Block>> spares_;  // readied blocks
    std::size_t count_ = 0;
    std::int64_t flip_;           // all ones on a side kept falling, else zero
    std::size_t last_block_ = 0;  // the block block_of() found last (checked before use)
    std::size_t last_at_ = 0;     // where in its block the last lookup ended (likewise)
};

}  // namespace quoranth
