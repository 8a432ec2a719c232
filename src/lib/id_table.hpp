#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/order_id.hpp"
#include "lib/platform/memory.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// Records keyed by order identifier: a SlotPool of `Entry` (which must have an
// `Order record` member holding the identifier) and an open-addressing table
// with linear probing. Beside each (hash tag, handle) bucket sits a one-byte
// mark (empty, or 7 more bits of the hash) in an array an eighth the size, so
// that looking up an identifier that is absent, as every new order is, mostly
// reads only marks; only a matching mark leads to the bucket, and only a
// matching tag to the entry. Growing rehashes from the stored tags and marks
// without reading an entry. Identifiers restored from saved state may be
// chosen by anyone, so their hash is keyed with the process's secret.
template <typename Entry>
class IdTable {
public:
    using Handle = std::uint32_t;

    // Callers that look one identifier up several times hash it once (hash_order_id).
    Handle find(std::string_view id) const noexcept { return find(id, hash_order_id(id)); }
    Handle find(std::string_view id, std::uint64_t hash) const noexcept {
        if (count_ == 0) return no_handle;
        const std::uint8_t mark = mark_of(hash);
        const auto tag = static_cast<std::uint32_t>(hash);
        for (std::size_t i = tag & mask_;; i = (i + 1) & mask_) {
            if (marks_[i] == empty) return no_handle;
            if (marks_[i] == mark) {
                const Bucket& b = buckets_[i];
                if (b.tag == tag && entries_[b.entry].record.id.equals(id)) return b.entry;
            }
        }
    }

    // Starts loading the buckets where `hash` is looked up, for a find soon after.
    void prefetch(std::uint64_t hash) const noexcept {
        if (marks_.empty()) return;
        const std::size_t home = static_cast<std::uint32_t>(hash) & mask_;
        __builtin_prefetch(&marks_[home]);
        __builtin_prefetch(&buckets_[home]);
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
        return insert_reserved(entry, hash_order_id(entry.record.id.view()));
    }
    Handle insert_reserved(const Entry& entry, std::uint64_t hash) noexcept {
        const Handle h = entries_.acquire_reserved();
        entries_[h] = entry;
        place(static_cast<std::uint32_t>(hash), mark_of(hash), h);
        ++count_;
        return h;
    }

    void erase(Handle h) noexcept { erase(h, hash_order_id(entries_[h].record.id.view())); }
    void erase(Handle h, std::uint64_t hash) noexcept {
        std::size_t hole = static_cast<std::uint32_t>(hash) & mask_;
        while (buckets_[hole].entry != h || marks_[hole] == empty) hole = (hole + 1) & mask_;
        // Backward-shift deletion: later members of the probe run move back
        // into the hole unless their home lies cyclically in (hole, j].
        for (std::size_t j = (hole + 1) & mask_; marks_[j] != empty; j = (j + 1) & mask_) {
            const std::size_t home = buckets_[j].tag & mask_;
            const bool stays = hole <= j ? (hole < home && home <= j) : (hole < home || home <= j);
            if (!stays) {
                buckets_[hole] = buckets_[j];
                marks_[hole] = marks_[j];
                hole = j;
            }
        }
        marks_[hole] = empty;
        entries_.release(h);
        --count_;
    }

    Entry& operator[](Handle h) noexcept { return entries_[h]; }
    const Entry& operator[](Handle h) const noexcept { return entries_[h]; }
    std::size_t size() const noexcept { return count_; }
    // Calls visit(entry) for every entry, in no meaningful order.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (std::size_t i = 0; i < marks_.size(); ++i) {
            if (marks_[i] != empty) visit(entries_[buckets_[i].entry]);
        }
    }
    std::size_t handle_bound() const noexcept { return entries_.handle_bound(); }

private:
    struct Bucket {
        std::uint32_t tag;  // the low half of the hash; it also gives the home bucket
        Handle entry;
    };
    static constexpr std::uint8_t empty = 0;
    static std::uint8_t mark_of(std::uint64_t hash) noexcept { return static_cast<std::uint8_t>(0x80 | (hash >> 57)); }

    void place(std::uint32_t tag, std::uint8_t mark, Handle h) noexcept {
        std::size_t i = tag & mask_;
        while (marks_[i] != empty) i = (i + 1) & mask_;
        marks_[i] = mark;
        buckets_[i] = Bucket{tag, h};
    }

    void rehash(std::size_t capacity) {
        std::vector<Bucket> buckets(capacity);
        std::vector<std::uint8_t> marks(capacity, empty);
        platform::advise_large_pages(buckets.data(), capacity * sizeof(Bucket));  // a table this large is read at random
        buckets.swap(buckets_);
        marks.swap(marks_);
        mask_ = capacity - 1;
        for (std::size_t i = 0; i < marks.size(); ++i) {
            if (marks[i] != empty) place(buckets[i].tag, marks[i], buckets[i].entry);
        }
    }

    SlotPool<Entry> entries_;
    std::vector<Bucket> buckets_;
    std::vector<std::uint8_t> marks_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quoranth
