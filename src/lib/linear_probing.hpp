#pragma once
#include <cstddef>
#include <vector>

namespace quoranth {

// Helpers shared by the open-addressing tables (power-of-two sizes, linear
// probing, no tombstones).

// The first free position at or after `home`.
template <typename Slots, typename IsEmpty>
std::size_t free_position(const Slots& slots, std::size_t mask, std::size_t home, IsEmpty is_empty) {
    std::size_t i = home;
    while (!is_empty(slots[i])) i = (i + 1) & mask;
    return i;
}

// Puts every occupied slot of `old` into `slots` (empty, same slot type),
// as growing a table does.
template <typename Slots, typename IsEmpty, typename HomeOf>
void reinsert(const Slots& old, Slots& slots, std::size_t mask, IsEmpty is_empty, HomeOf home_of) {
    for (const auto& slot : old) {
        if (!is_empty(slot)) slots[free_position(slots, mask, home_of(slot), is_empty)] = slot;
    }
}

// Backward-shift deletion: the slot at `hole` is being removed; later members
// of its probe run move back into the hole unless their home lies cyclically
// in (hole, j]. Returns the position left free at the end, for the caller to
// mark empty.
template <typename Slots, typename IsEmpty, typename HomeOf>
std::size_t close_hole(Slots& slots, std::size_t mask, std::size_t hole, IsEmpty is_empty,
                       HomeOf home_of) {
    for (std::size_t j = (hole + 1) & mask;; j = (j + 1) & mask) {
        const auto& slot = slots[j];
        if (is_empty(slot)) return hole;
        const std::size_t want = home_of(slot);
        const bool stays = hole <= j ? (hole < want && want <= j) : (hole < want || want <= j);
        if (!stays) {
            slots[hole] = slot;
            hole = j;
        }
    }
}

}  // namespace quoranth
