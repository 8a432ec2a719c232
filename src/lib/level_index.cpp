#include "lib/level_index.hpp"

namespace quoranth {

void LevelIndex::insert(std::int64_t price, PriceLevel* level) {
    if ((count_ + 1) * 2 > slots_.size()) grow();  // load at most 1/2: probes stay short
    std::size_t i = home(price);
    while (slots_[i].level != nullptr) i = (i + 1) & mask_;
    slots_[i] = Slot{price, level};
    ++count_;
}

void LevelIndex::erase(std::int64_t price) noexcept {
    std::size_t i = home(price);
    while (slots_[i].price != price || slots_[i].level == nullptr) i = (i + 1) & mask_;
    // Pull later members of the probe run into the hole, unless their home
    // lies cyclically in (hole, j].
    for (std::size_t j = (i + 1) & mask_;; j = (j + 1) & mask_) {
        const Slot& slot = slots_[j];
        if (slot.level == nullptr) break;
        const std::size_t want = home(slot.price);
        const bool stays = i <= j ? (i < want && want <= j) : (i < want || want <= j);
        if (!stays) {
            slots_[i] = slot;
            i = j;
        }
    }
    slots_[i] = Slot{0, nullptr};
    --count_;
}

void LevelIndex::grow() {
    const std::size_t capacity = slots_.empty() ? 16 : slots_.size() * 2;
    std::vector<Slot> old(capacity, Slot{0, nullptr});
    old.swap(slots_);
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) --shift_;
    for (const Slot& slot : old) {
        if (slot.level == nullptr) continue;
        std::size_t i = home(slot.price);
        while (slots_[i].level != nullptr) i = (i + 1) & mask_;
        slots_[i] = slot;
    }
}

}  // namespace quoranth
