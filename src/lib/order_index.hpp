#pragma once
#include <cstdint>
#include <string_view>
#include <vector>

#include "lib/order.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// What the book knows of one identifier: the latest written copy of the order,
// and the first of the records resting under that identifier (usually one).
struct IndexEntry {
    Order record;
    std::uint32_t first_resting = SlotPool<int>::none;
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
