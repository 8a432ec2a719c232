#pragma once
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "lib/enums.hpp"
#include "lib/far_levels.hpp"
#include "lib/level.hpp"
#include "lib/level_bitmap.hpp"
#include "lib/prefetch.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// The price levels of one side. Levels near the market sit in a ladder: an
// array of slots, one per tick of a window [base, base + width), with a
// LevelBitmap of the occupied ones, so finding, creating and removing a level
// and finding the next one are O(1). Levels outside the window sit in
// FarLevels, sorted blocks (O(log n)). See order_book.hpp for how the window
// moves and what the worst arrangement of prices costs.
class SideLevels {
public:
    explicit SideLevels(OrderType side) noexcept : bids_(side == OrderType::Buy), far_(!bids_) {}

    [[gnu::always_inline]] Level* find(std::int64_t price) noexcept {
        if (in_window(price)) {
            Level& slot = slots_[slot_of(price)];
            return slot.empty() ? nullptr : &slot;  // a level is never empty once its creator has filled it
        }
        return far_.empty() ? nullptr : far_.find(price);
    }
    const Level* find(std::int64_t price) const noexcept {
        if (in_window(price)) {
            const Level& slot = slots_[slot_of(price)];
            return slot.empty() ? nullptr : &slot;
        }
        return far_.empty() ? nullptr : far_.find(price);
    }
    // Starts loading what a lookup of `price` reads: its ladder slot, or
    // the far block that would hold it (found now, and remembered for the
    // lookup), so that the misses overlap the caller's other work.
    void prefetch(std::int64_t price) noexcept {
        if (in_window(price)) {
            quoranth::prefetch(&slots_[slot_of(price)]);
        } else if (!far_.empty()) {
            far_.prefetch(price);
        }
    }

    // Makes sure that create(price) cannot fail for a price with no level,
    // moving or growing the window or readying a far block; may throw
    // (memory). Changes no level.
    void prepare(std::int64_t price);
    // Creates the empty level at `price`, which must be absent and prepared.
    Level& create(std::int64_t price) noexcept;
    // Removes the level at `price`, which must be present and empty.
    void erase(std::int64_t price) noexcept;

    bool empty() const noexcept { return count_ == 0; }
    std::size_t size() const noexcept { return count_; }
    // The ladder window: its first price and its width in ticks (0 before
    // the side's first level). Its rules are public, so anyone can know it.
    std::pair<std::int64_t, std::size_t> window() const noexcept { return {base_, width()}; }

    // The best level (highest bid, lowest ask) and its price.
    std::optional<std::pair<std::int64_t, Level*>> best() noexcept {
        if (!far_.empty()) return best_with_far();
        if (ladder_count_ == 0) return std::nullopt;
        return std::pair{price_of(best_slot_), &slots_[best_slot_]};
    }
    std::optional<std::pair<std::int64_t, const Level*>> best() const noexcept {
        const auto found = const_cast<SideLevels*>(this)->best();
        if (!found) return std::nullopt;
        return std::pair{found->first, static_cast<const Level*>(found->second)};
    }

    // Calls visit(price, level) on each level, best first, while it returns true.
    template <typename Visit>
    void from_best(Visit&& visit) const {
        if (far_.empty()) {
            // Ladder levels only: from the best slot, which is known.
            const std::size_t best = ladder_count_ != 0 ? best_slot_ : LevelBitmap::npos;
            if (bids_) ladder_down(best, visit);
            else ladder_up(best, visit);
            return;
        }
        if (bids_) descending(visit);
        else ascending(visit);
    }
    // Calls visit(price, level) on each level in ascending price, while it returns true.
    template <typename Visit>
    void ascending(Visit&& visit) const;

private:
    template <typename Visit>
    void descending(Visit&& visit) const;
    // The next occupied slot above (below) slot s, or LevelBitmap::npos.
    std::size_t slot_above(std::size_t s) const noexcept { return occupied_.next_from(s + 1); }
    std::size_t slot_below(std::size_t s) const noexcept {
        return s == 0 ? LevelBitmap::npos : occupied_.previous_from(s - 1);
    }
    // Calls visit(price, level) on the ladder levels from slot s up (down),
    // while it returns true; returns false if visit stopped it.
    template <typename Visit>
    bool ladder_up(std::size_t s, Visit& visit) const {
        for (; s != LevelBitmap::npos; s = slot_above(s)) {
            if (!visit(price_of(s), slots_[s])) return false;
        }
        return true;
    }
    template <typename Visit>
    bool ladder_down(std::size_t s, Visit& visit) const {
        for (; s != LevelBitmap::npos; s = slot_below(s)) {
            if (!visit(price_of(s), slots_[s])) return false;
        }
        return true;
    }

    std::optional<std::pair<std::int64_t, Level*>> best_with_far() noexcept;
    std::size_t width() const noexcept { return slots_.size(); }
    bool in_window(std::int64_t price) const noexcept {
        return static_cast<std::uint64_t>(price) - static_cast<std::uint64_t>(base_) < width();
    }
    std::size_t slot_of(std::int64_t price) const noexcept {
        return static_cast<std::size_t>(static_cast<std::uint64_t>(price) - static_cast<std::uint64_t>(base_));
    }
    std::int64_t price_of(std::size_t slot) const noexcept { return base_ + static_cast<std::int64_t>(slot); }
    // The largest width the number of levels justifies (memory stays
    // proportional to the levels).
    std::size_t width_allowed() const noexcept;
    // Makes `width` slots starting at `base` the window, keeping every level
    // in the ladder (all must fit), then pulls in the far levels it covers.
    void rebuild(std::int64_t base, std::size_t width);
    void move_window(std::int64_t base) noexcept;
    void pull_far_levels() noexcept;
    // Moves every ladder level to the far levels so that the window can move.
    void evict_ladder();
    void find_best_slot() noexcept { best_slot_ = bids_ ? occupied_.highest() : occupied_.lowest(); }
    static std::int64_t window_base(std::int64_t low, std::int64_t high, std::size_t width) noexcept;

    bool bids_;
    std::int64_t base_ = 0;
    std::vector<Level> slots_;  // the window; empty until the first level
    LevelBitmap occupied_;
    std::size_t ladder_count_ = 0;
    std::size_t best_slot_ = LevelBitmap::npos;  // the best occupied slot, while there is one
    FarLevels far_;
    std::size_t far_created_ = 0;  // far levels created since the window last moved
    std::size_t count_ = 0;
};

// The far levels in order, with the ladder's between those below the window
// and those above it.
template <typename Visit>
void SideLevels::ascending(Visit&& visit) const {
    bool ladder_done = false;
    const bool finished = far_.ascending([&](std::int64_t price, const Level& level) {
        if (!ladder_done && price >= base_) {
            ladder_done = true;
            if (!ladder_up(occupied_.lowest(), visit)) return false;
        }
        return visit(price, level);
    });
    if (finished && !ladder_done) ladder_up(occupied_.lowest(), visit);
}

template <typename Visit>
void SideLevels::descending(Visit&& visit) const {
    bool ladder_done = false;
    const bool finished = far_.descending([&](std::int64_t price, const Level& level) {
        if (!ladder_done && price < base_) {
            ladder_done = true;
            if (!ladder_down(occupied_.highest(), visit)) return false;
        }
        return visit(price, level);
    });
    if (finished && !ladder_done) ladder_down(occupied_.highest(), visit);
}

}  // namespace quoranth
