#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "lib/enums.hpp"
#include "lib/level_bitmap.hpp"
#include "lib/prefetch.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// One price level: the queue of the records resting at its price, oldest at
// the head. The links are record references of RestingRecords.
struct Level {
    std::uint32_t head = no_handle;
    std::uint32_t tail = no_handle;
    bool empty() const noexcept { return head == no_handle; }
};

// The price levels of one side. Levels near the market sit in a ladder: an
// array of slots, one per tick of a window [base, base + width), with a
// LevelBitmap of the occupied ones, so finding, creating and removing a level
// and finding the next one are O(1). Levels outside the window sit in an
// ordered map (O(log n)). See order_book.hpp for how the window moves and why
// no sequence of prices can make it costly.
class SideLevels {
public:
    explicit SideLevels(OrderType side) noexcept : bids_(side == OrderType::Buy) {}

    [[gnu::always_inline]] Level* find(std::int64_t price) noexcept {
        if (in_window(price)) {
            Level& slot = slots_[slot_of(price)];
            return slot.empty() ? nullptr : &slot;  // a level is never empty once its creator has filled it
        }
        return far_.empty() ? nullptr : find_far(price);
    }
    const Level* find(std::int64_t price) const noexcept { return const_cast<SideLevels*>(this)->find(price); }
    // Starts loading the ladder slot of `price`, if the window holds it.
    void prefetch(std::int64_t price) const noexcept {
        if (in_window(price)) quoranth::prefetch(&slots_[slot_of(price)]);
    }

    // Makes sure that create(price) cannot fail, moving or growing the window
    // or readying a map node; may throw (memory). Changes no level.
    void prepare(std::int64_t price);
    // Creates the empty level at `price`, which must be absent and prepared.
    Level& create(std::int64_t price) noexcept;
    // Removes the level at `price`, which must be present and empty.
    void erase(std::int64_t price) noexcept;

    bool empty() const noexcept { return count_ == 0; }
    std::size_t size() const noexcept { return count_; }

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
            for (std::size_t s = ladder_count_ != 0 ? best_slot_ : LevelBitmap::npos; s != LevelBitmap::npos;) {
                if (!visit(price_of(s), slots_[s])) return;
                if (bids_) s = s == 0 ? LevelBitmap::npos : occupied_.previous_from(s - 1);
                else s = occupied_.next_from(s + 1);
            }
            return;
        }
        if (bids_) descending(visit);
        else ascending(visit);
    }
    // Calls visit(price, level) on each level in ascending price, while it returns true.
    template <typename Visit>
    void ascending(Visit&& visit) const;

private:
    using FarLevels = std::map<std::int64_t, Level>;

    template <typename Visit>
    void descending(Visit&& visit) const;

    Level* find_far(std::int64_t price) noexcept;
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
    // in the ladder (all must fit), then pulls in the map's levels it covers.
    void rebuild(std::int64_t base, std::size_t width);
    void move_window(std::int64_t base) noexcept;
    void pull_far_levels() noexcept;
    // Moves every ladder level into the map so that the window can move.
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
    FarLevels spare_;          // holds one node while a map level is prepared
    std::size_t far_created_ = 0;  // map levels created since the window last moved
    std::size_t count_ = 0;
};

template <typename Visit>
void SideLevels::ascending(Visit&& visit) const {
    const auto split = far_.empty() ? far_.end() : far_.lower_bound(base_);
    for (auto it = far_.begin(); it != split; ++it) {
        if (!visit(it->first, it->second)) return;
    }
    for (std::size_t s = occupied_.lowest(); s != LevelBitmap::npos; s = occupied_.next_from(s + 1)) {
        if (!visit(price_of(s), slots_[s])) return;
    }
    for (auto it = split; it != far_.end(); ++it) {
        if (!visit(it->first, it->second)) return;
    }
}

template <typename Visit>
void SideLevels::descending(Visit&& visit) const {
    const auto split = far_.empty() ? far_.end() : far_.lower_bound(base_);
    for (auto it = far_.end(); it != split;) {
        --it;
        if (!visit(it->first, it->second)) return;
    }
    for (std::size_t s = occupied_.highest(); s != LevelBitmap::npos; s = s == 0 ? LevelBitmap::npos : occupied_.previous_from(s - 1)) {
        if (!visit(price_of(s), slots_[s])) return;
    }
    for (auto it = split; it != far_.begin();) {
        --it;
        if (!visit(it->first, it->second)) return;
    }
}

}  // namespace quoranth
