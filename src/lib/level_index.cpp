#include "lib/level_index.hpp"

#include "lib/linear_probing.hpp"

namespace quoranth {

namespace {
constexpr auto is_empty = [](const auto& slot) { return slot.level == nullptr; };
}  // namespace

void LevelIndex::insert(std::int64_t price, PriceLevel* level) {
    if ((count_ + 1) * 2 > slots_.size()) grow();  // load at most 1/2: probes stay short
    slots_[free_position(slots_, mask_, home(price), is_empty)] = Slot{price, level};
    ++count_;
}

void LevelIndex::erase(std::int64_t price) noexcept {
    std::size_t i = home(price);
    while (slots_[i].price != price || slots_[i].level == nullptr) i = (i + 1) & mask_;
    i = close_hole(slots_, mask_, i, is_empty, [this](const Slot& slot) { return home(slot.price); });
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
    reinsert(old, slots_, mask_, is_empty, [this](const Slot& slot) { return home(slot.price); });
}

}  // namespace quoranth
