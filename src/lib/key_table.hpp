#pragma once
// A hash map from caller-chosen 64-bit integer keys to small values. Keys come
// from outside (files, callers), so the hash is keyed with a random secret
// drawn once per process: no set of keys can be crafted to collide. Open
// addressing with linear probing and backward-shift deletion; load at most 1/2.
#include <cstdint>
#include <new>
#include <vector>

#include "lib/hash_secret.hpp"
#include "lib/linear_probing.hpp"
#include "lib/platform/memory.hpp"
#include "lib/prefetch.hpp"

namespace quoranth {

template <typename Value>
class KeyTable {
public:
    Value* find(std::int64_t key) noexcept {
        if (count_ == 0) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & mask_) {
            Slot& slot = slots_[i];
            if (!slot.used) return nullptr;
            if (slot.key == key) return &slot.value;
        }
    }
    const Value* find(std::int64_t key) const noexcept { return const_cast<KeyTable*>(this)->find(key); }

    // Starts loading the slot where `key` is looked up, for a find soon after.
    void prefetch(std::int64_t key) const noexcept {
        // An empty table has no data and mask 0: the address is null then.
        quoranth::prefetch(slots_.data() + home(key));
    }

    // Makes sure the next `count` insertions allocate nothing.
    void reserve(std::size_t count) {
        std::size_t capacity = slots_.empty() ? 16 : slots_.size();
        while ((count_ + count) * 2 > capacity) capacity *= 2;
        if (capacity != slots_.size()) rehash(capacity);
    }

    // Gives back room that a burst of insertions left unused: a table more
    // than four times the size its keys need shrinks to that size. Stays as
    // it is if memory for the smaller table cannot be had.
    void shrink() noexcept {
        std::size_t capacity = 16;
        while (count_ * 2 > capacity) capacity *= 2;
        if (slots_.size() <= 4 * capacity) return;
        try {
            rehash(capacity);
        } catch (const std::bad_alloc&) {
        }
    }

    // Sets the value under `key`, adding the key if it is absent.
    Value& put(std::int64_t key, const Value& value) {
        reserve(1);
        std::size_t i = home(key);
        while (slots_[i].used && slots_[i].key != key) i = (i + 1) & mask_;
        Slot& slot = slots_[i];
        if (!slot.used) ++count_;
        // Field by field: a whole-slot copy from a temporary read it back
        // across its fields' separate stores and waited for them.
        slot.key = key;
        slot.value = value;
        slot.used = true;
        return slot.value;
    }

    bool erase(std::int64_t key) noexcept {
        if (count_ == 0) return false;
        std::size_t hole = home(key);
        while (slots_[hole].used && slots_[hole].key != key) hole = (hole + 1) & mask_;
        if (!slots_[hole].used) return false;
        slots_[close_hole(slots_, mask_, hole, is_empty, home_of())].used = false;
        --count_;
        return true;
    }

    std::size_t size() const noexcept { return count_; }

    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (const Slot& slot : slots_) {
            if (slot.used) visit(slot.key, slot.value);
        }
    }

private:
    struct Slot {
        std::int64_t key = 0;
        Value value{};
        bool used = false;
    };

    std::size_t home(std::int64_t key) const noexcept {
        std::uint64_t h = static_cast<std::uint64_t>(key) + secret_;
        h = (h ^ (h >> 30)) * 0xBF58476D1CE4E5B9ull;
        h = (h ^ (h >> 27)) * 0x94D049BB133111EBull;
        return static_cast<std::size_t>(h ^ (h >> 31)) & mask_;
    }

    void rehash(std::size_t capacity) {
        platform::LargePageVector<Slot> old(capacity);
        old.swap(slots_);
        mask_ = capacity - 1;
        reinsert(old, slots_, mask_, is_empty, home_of());
    }

    static constexpr auto is_empty = [](const Slot& slot) { return !slot.used; };
    auto home_of() const noexcept {
        return [this](const Slot& slot) { return home(slot.key); };
    }

    platform::LargePageVector<Slot> slots_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
    std::uint64_t secret_ = hash_secret();
};

}  // namespace quoranth
