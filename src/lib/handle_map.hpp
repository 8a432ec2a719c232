#pragma once
#include <cstdint>
#include <vector>

#include "lib/linear_probing.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// A small map from one handle to another: open addressing, linear probing.
// Keys are the book's own handles, never caller-chosen.
class HandleMap {
public:
    std::uint32_t find(std::uint32_t key) const noexcept {
        if (count_ == 0) return no_handle;
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            if (slots_[i].key == no_handle) return no_handle;
            if (slots_[i].key == key) return slots_[i].value;
        }
    }

    // Makes sure the next insert cannot fail.
    void reserve_one() {
        if ((count_ + 1) * 2 <= slots_.size()) return;  // load at most 1/2
        std::vector<Slot> old(slots_.empty() ? 16 : slots_.size() * 2, Slot{no_handle, no_handle});
        old.swap(slots_);
        mask_ = slots_.size() - 1;
        reinsert(old, slots_, mask_, is_empty, [this](const Slot& s) { return home(s.key); });
    }

    // Sets the value of `key`, adding it if absent (after reserve_one()).
    void set(std::uint32_t key, std::uint32_t value) noexcept {
        std::size_t i = home(key);
        while (slots_[i].key != no_handle && slots_[i].key != key) i = (i + 1) & mask_;
        if (slots_[i].key == no_handle) ++count_;
        slots_[i] = Slot{key, value};
    }

    void erase(std::uint32_t key) noexcept {
        std::size_t i = home(key);
        while (slots_[i].key != key) i = (i + 1) & mask_;
        i = close_hole(slots_, mask_, i, is_empty, [this](const Slot& s) { return home(s.key); });
        slots_[i] = Slot{no_handle, no_handle};
        --count_;
    }

    bool empty() const noexcept { return count_ == 0; }

private:
    struct Slot {
        std::uint32_t key;  // no_handle when the slot is empty
        std::uint32_t value;
    };
    static constexpr auto is_empty = [](const Slot& s) { return s.key == no_handle; };
    std::size_t home(std::uint32_t key) const noexcept {
        return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & mask_;
    }

    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quoranth
