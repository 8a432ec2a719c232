#include "lib/side_levels.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace quoranth {

namespace {

constexpr std::size_t min_width = 64;
constexpr std::size_t max_width = std::size_t{1} << 22;
// The window may hold this many slots per level of the side at most, so the
// ladder costs at most 32 x 8 bytes per level however far apart prices are.
constexpr std::size_t slots_per_level = 32;

}  // namespace

std::size_t SideLevels::width_allowed() const noexcept {
    const std::size_t by_levels = std::bit_floor(slots_per_level * (count_ + 1));
    return std::clamp(by_levels, min_width, max_width);
}

std::int64_t SideLevels::window_base(std::int64_t low, std::int64_t high, std::size_t width) noexcept {
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t highest = std::numeric_limits<std::int64_t>::max();
    const std::uint64_t span = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low) + 1;
    const auto slack = static_cast<std::int64_t>(span < width ? (width - span) / 2 : 0);
    std::int64_t base = low < lowest + slack ? lowest : low - slack;
    // base + width stays representable, so the window's end is a valid price bound.
    if (base > highest - static_cast<std::int64_t>(width)) base = highest - static_cast<std::int64_t>(width);
    return base;
}

void SideLevels::prepare(std::int64_t price) {
    if (in_window(price)) return;
    if (ladder_count_ == 0) {
        // Nothing to carry over: the window jumps to the new price.
        if (slots_.empty()) rebuild(window_base(price, price, min_width), min_width);
        else move_window(window_base(price, price, width()));
        far_created_ = 0;
    } else {
        const std::int64_t low = std::min(price, price_of(occupied_.lowest()));
        const std::int64_t high = std::max(price, price_of(occupied_.highest()));
        const std::uint64_t distance = static_cast<std::uint64_t>(high) - static_cast<std::uint64_t>(low);
        const std::size_t wanted = distance < max_width / 2 ? std::bit_ceil(2 * (distance + 1)) : max_width + 1;
        if (wanted > width() && wanted <= width_allowed()) {
            // Grow, with room to drift either way. Widths double, so all the
            // growing a side ever does costs at most twice its widest window.
            rebuild(window_base(low, high, wanted), wanted);
        } else if (far_created_ >= 2 * ladder_count_) {
            // Trading has moved away from the window: the far levels have taken
            // twice as many new ones as the ladder holds since the window last moved.
            // Moving it costs O(ladder levels), paid for by those creations.
            evict_ladder();
            move_window(window_base(price, price, width()));
            far_created_ = 0;
        }
    }
    if (!in_window(price)) far_.reserve(1);
}

Level& SideLevels::create(std::int64_t price) noexcept {
    ++count_;
    if (in_window(price)) {
        const std::size_t s = slot_of(price);
        occupied_.set(s);
        if (ladder_count_++ == 0 || (bids_ ? s > best_slot_ : s < best_slot_)) best_slot_ = s;
        return slots_[s];
    }
    ++far_created_;
    return far_.insert(price);
}

void SideLevels::erase(std::int64_t price) noexcept {
    --count_;
    if (in_window(price)) {
        const std::size_t s = slot_of(price);
        slots_[s] = Level{};
        occupied_.clear(s);
        --ladder_count_;
        if (s == best_slot_) best_slot_ = bids_ ? slot_below(s) : slot_above(s);
        return;
    }
    far_.erase(price);
}

std::optional<std::pair<std::int64_t, Level*>> SideLevels::best_with_far() noexcept {
    // Far levels beyond the window on the better side beat every ladder level.
    const auto edge = bids_ ? far_.highest() : far_.lowest();
    const bool beyond = bids_ ? edge.first >= base_ + static_cast<std::int64_t>(width()) : edge.first < base_;
    if (beyond || ladder_count_ == 0) return edge;
    return std::pair{price_of(best_slot_), &slots_[best_slot_]};
}

void SideLevels::rebuild(std::int64_t base, std::size_t width) {
    std::vector<Level> slots(width);
    LevelBitmap occupied;
    occupied.reset(width);
    // Allocation done; nothing below can fail.
    for (std::size_t s = occupied_.lowest(); s != LevelBitmap::npos; s = slot_above(s)) {
        const auto t = static_cast<std::size_t>(static_cast<std::uint64_t>(price_of(s)) - static_cast<std::uint64_t>(base));
        slots[t] = slots_[s];
        occupied.set(t);
    }
    slots_.swap(slots);
    occupied_ = std::move(occupied);
    base_ = base;
    pull_far_levels();
    find_best_slot();
}

void SideLevels::move_window(std::int64_t base) noexcept {
    base_ = base;
    pull_far_levels();
    find_best_slot();
}

void SideLevels::pull_far_levels() noexcept {
    far_.take(base_, base_ + static_cast<std::int64_t>(width()), [&](std::int64_t price, const Level& level) {
        const std::size_t s = slot_of(price);
        slots_[s] = level;
        occupied_.set(s);
        ++ladder_count_;
    });
}

void SideLevels::evict_ladder() {
    far_.reserve(ladder_count_);
    // Nothing below can fail. No far level lies in the window, so the
    // ladder's levels are one run between two neighbouring far levels,
    // handed over in the far levels' order.
    const bool falling = far_.falling();
    std::size_t next = falling ? occupied_.highest() : occupied_.lowest();
    far_.insert_run(price_of(occupied_.lowest()), price_of(occupied_.highest()), ladder_count_,
                    [&](std::int64_t& price, Level& level) {
                        if (next == LevelBitmap::npos) return false;
                        price = price_of(next);
                        level = slots_[next];
                        next = falling ? slot_below(next) : slot_above(next);
                        return true;
                    });
    far_.release_spares();
    for (std::size_t s = occupied_.lowest(); s != LevelBitmap::npos; s = slot_above(s)) {
        slots_[s] = Level{};
        occupied_.clear(s);
    }
    ladder_count_ = 0;
    best_slot_ = LevelBitmap::npos;
}

}  // namespace quoranth
