#pragma once
#include <cstdint>
#include <vector>

namespace quoranth {

struct PriceLevel;

// Hash map from price_in_ticks to the level at that price, beside each side's
// ordered map: resting an order at an existing price then costs one probe
// instead of a walk down the tree. Open addressing with linear probing and
// backward-shift deletion; levels never move, so plain pointers serve.
class LevelIndex {
public:
    PriceLevel* find(std::int64_t price) const noexcept {
        if (count_ == 0) return nullptr;
        for (std::size_t i = home(price);; i = (i + 1) & mask_) {
            const Slot& slot = slots_[i];
            if (slot.level == nullptr) return nullptr;
            if (slot.price == price) return slot.level;
        }
    }
    void insert(std::int64_t price, PriceLevel* level);  // price must be absent
    void erase(std::int64_t price) noexcept;             // price must be present

private:
    struct Slot {
        std::int64_t price;
        PriceLevel* level;  // null when the slot is empty
    };

    std::size_t home(std::int64_t price) const noexcept {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(price) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    void grow();

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t count_ = 0;
};

}  // namespace quoranth
