#include "lib/order_index.hpp"

#include "lib/linear_probing.hpp"

namespace quoranth {

namespace {
constexpr auto is_empty = [](const auto& bucket) { return bucket.entry == OrderIndex::none; };
}  // namespace

OrderIndex::Handle OrderIndex::find(std::string_view id) const noexcept {
    if (count_ == 0) return none;
    const std::uint64_t hash = hash_order_id(id);
    const std::uint32_t tag = tag_of(hash);
    for (std::size_t i = home(tag);; i = (i + 1) & mask_) {
        const Bucket& b = buckets_[i];
        if (b.entry == none) return none;
        if (b.tag == tag && entries_[b.entry].record.id.equals(id)) return b.entry;
    }
}

OrderIndex::Handle OrderIndex::find_or_insert(const Order& record) {
    // Keep the load at or below 3/4 so probe runs stay short.
    if ((count_ + 1) * 4 > buckets_.size() * 3) grow();
    const std::uint64_t hash = hash_order_id(record.id.view());
    const std::uint32_t tag = tag_of(hash);
    std::size_t i = home(tag);
    for (;; i = (i + 1) & mask_) {
        const Bucket& b = buckets_[i];
        if (b.entry == none) break;
        if (b.tag == tag && entries_[b.entry].record.id == record.id) return b.entry;
    }
    const Handle h = entries_.acquire();
    entries_[h] = IndexEntry{record, RestingLinks{}, SlotPool<int>::none};
    buckets_[i] = Bucket{tag, h};
    ++count_;
    return h;
}

void OrderIndex::erase(Handle entry) noexcept {
    std::size_t i = home(tag_of(hash_order_id(entries_[entry].record.id.view())));
    while (buckets_[i].entry != entry) i = (i + 1) & mask_;
    i = close_hole(buckets_, mask_, i, is_empty, [this](const Bucket& b) { return home(b.tag); });
    buckets_[i] = Bucket{0, none};
    entries_.release(entry);
    --count_;
}

void OrderIndex::grow() {
    const std::size_t capacity = buckets_.empty() ? 64 : buckets_.size() * 2;
    std::vector<Bucket> old(capacity, Bucket{0, none});
    old.swap(buckets_);
    mask_ = capacity - 1;
    reinsert(old, buckets_, mask_, is_empty, [this](const Bucket& b) { return home(b.tag); });
}

}  // namespace quoranth
