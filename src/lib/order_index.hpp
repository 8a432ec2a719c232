#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/order.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

struct PriceLevel;  // a queue of resting records, owned by the book

// One resting record's place in its level's queue, and what is left of it.
// Its identifier, side, price and timestamp are those of its index entry:
// they never change for an identifier.
struct RestingLinks {
    double quantity = 0.0;
    std::uint32_t prev = SlotPool<int>::none;
    std::uint32_t next = SlotPool<int>::none;
    PriceLevel* level = nullptr;  // null when this slot rests nowhere
};

// What the book knows of one identifier: the latest written copy of the order
// and, in the same cache lines, the record resting under it (if any), so that
// matching and cancelling touch one place. An order added again while it still
// rests gets further records in the book's overflow pool, chained from here.
struct IndexEntry {
    Order record;
    RestingLinks resting;
    std::uint32_t overflow = SlotPool<int>::none;
};

// Hash map from identifier text to IndexEntry. Open addressing with linear
// probing over 32-bit entry handles plus a hash tag, so a lookup touches one
// cache line of the table and then the entry itself. Entries live in a
// SlotPool and never move, so handles stay valid while the table grows.
class OrderIndex {
public:
    using Handle = SlotPool<IndexEntry>::Handle;
    static constexpr Handle none = SlotPool<IndexEntry>::none;

    Handle find(std::string_view id) const noexcept;
    // The entry for `record.id`, created holding `record` if there was none.
    Handle find_or_insert(const Order& record);
    void erase(Handle entry) noexcept;

    IndexEntry& operator[](Handle h) noexcept { return entries_[h]; }
    const IndexEntry& operator[](Handle h) const noexcept { return entries_[h]; }
    std::size_t size() const noexcept { return count_; }

private:
    struct Bucket {
        std::uint32_t tag;
        Handle entry;  // `none` when the bucket is empty
    };

    // The tag is the low half of the hash and also gives the home bucket, so
    // growing and deleting never need to hash an identifier again.
    static std::uint32_t tag_of(std::uint64_t hash) noexcept { return static_cast<std::uint32_t>(hash); }
    std::size_t home(std::uint32_t tag) const noexcept { return tag & mask_; }
    void grow();

    SlotPool<IndexEntry> entries_;
    std::vector<Bucket> buckets_;
    std::size_t mask_ = 0;
    std::size_t count_ = 0;
};

}  // namespace quoranth
