#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/linear_probing.hpp"
#include "lib/order_id.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// Records keyed by order identifier: a SlotPool of `Entry` (which must have an
// `Order record` member holding the identifier) and an open-addressing table of
// (hash tag, handle) buckets with linear probing. A lookup touches one bucket
// line and then only the entry whose tag matches; growing rehashes from the
// stored tags without reading an entry. Identifiers are minted from random
// bytes and never chosen by a caller, so an unkeyed hash spreads them evenly.
template <typename Entry>
class IdTable {
public:
    using Handle = std::uint32_t;

    Handle find(std::string_view id) const noexcept {
        if (count_ == 0) return no_handle;
        const std::uint32_t tag = tag_of(id);
        for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
            const Bucket& b = buckets_[i];
            if (b.entry == no_handle) return no_handle;
            if (b.tag == tag && entries_[b.entry].record.id.equals(id)) return b.entry;
        }
    }

    // Makes sure the next `count` inserts allocate nothing (and so cannot fail).
    void reserve(std::size_t count) {
        if (count == 0) return;
        entries_.reserve(count);
        std::size_t capacity = buckets_.empty() ? 64 : buckets_.size();
        while ((count_ + count) * 4 > capacity * 3) capacity *= 2;  // load at most 3/4: probes stay short
        if (capacity != buckets_.size()) rehash(capacity);
    }

    // Adds `entry`, whose identifier must be absent; cannot fail after reserve().
    Handle insert(const Entry& entry) {
        reserve(1);
        return insert_reserved(entry);
    }
    Handle insert_reserved(const Entry& entry) noexcept {
        const Handle h = entries_.acquire_reserved();
        entries_[h] = entry;
        const std::uint32_t tag = tag_of(entry.record.id.view());
        buckets_[free_position(buckets_, mask_, tag & mask_, is_empty)] = Bucket{tag, h};
        ++count_;
        return h;
    }

    void erase(Handle h) noexcept {
        std::size_t i = tag_of(entries_[h].record.id.view()) & mask_;
        while (buckets_[i].entry != h) i = (i + 1) & mask_;
        i = close_hole(buckets_, mask_, i, is_empty, [this](const Bucket& b) { return b.tag & mask_; });
        buckets_[i] = Bucket{0, no_handle};
        entries_.release(h);
        --count_;
    }

    Entry& operator[](Handle h) noexcept { return entries_[h]; }
    const Entry& operator[](Handle h) const noexcept { return entries_[h]; }
    std::size_t size() const noexcept { return count_; }

private:
    struct Bucket {
        std::uint32_t tag;
        Handle entry;  // no_handle when the bucket is empty
    };
    static constexpr auto is_empty = [](const Bucket& b) { return b.entry == no_handle; };

    // The low half of the identifier's hash; it also gives the home bucket.
    static std::uint32_t tag_of(std::string_view id) noexcept { return static_cast<std::uint32_t>(hash_order_id(id)); }

    void rehash(std::size_t capacity) {
        std::vector<Bucket> old(capacity, Bucket{0, no_handle});
        old.swap(buckets_);
        mask_ = capacity - 1;
        reinsert(old, buckets_, mask_, is_empty, [this](const Bucket& b) { return b.tag & mask_; });
    }

    SlotPool<Entry> entries_;
    std::vector<Bucket> buckets_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quoranth
