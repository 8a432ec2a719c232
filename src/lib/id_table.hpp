#pragma once
#include <cstdint>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/linear_probing.hpp"
#include "lib/order_id.hpp"
#include "lib/platform/memory.hpp"
#include "lib/prefetch.hpp"
#include "lib/slot_pool.hpp"
#include "lib/tag_filter.hpp"

namespace quoranth {

// Records keyed by order identifier: a SlotPool of `Entry` (which must have an
// `Order record` member holding the identifier) and an open-addressing table
// of 8-byte buckets (the low half of the hash, and the entry's handle plus
// one, 0 for an empty bucket) with linear probing and backward-shift
// deletion. A lookup reads consecutive buckets, eight to a cache line, and
// usually one line: the 32-bit tag settles almost every other bucket it meets
// without touching an entry, and its run ends at the first empty bucket.
// Growing rehashes from the stored tags without reading an entry. Identifiers
// restored from saved state may be chosen by anyone, so their hash is keyed
// with the process's secret. A `Filtered` table also keeps a TagFilter, for
// a table that is mostly asked about identifiers it does not hold (the store
// of filled orders, which grows with every fill: its memory is the one a
// book does not advise to use large pages, see platform/memory.hpp).
template <typename Entry, bool Filtered = false>
class IdTable {
public:
    using Handle = std::uint32_t;

    // Callers that look one identifier up several times hash it once (hash_order_id).
    Handle find(std::string_view id) const noexcept { return find(id, hash_order_id(id)); }
    Handle find(std::string_view id, std::uint64_t hash) const noexcept {
        return find(id, hash, [](Handle) noexcept {});
    }
    // As find, calling `candidate(handle)` for each entry whose tag matches,
    // before its identifier is compared: a caller about to read other data
    // kept under the handle starts loading it while the compare waits.
    template <typename Candidate>
    Handle find(std::string_view id, std::uint64_t hash, Candidate&& candidate) const noexcept {
        return locate(id, hash, std::forward<Candidate>(candidate)).handle;
    }

    // Where a lookup ended: the entry's handle and its bucket, or no_handle
    // and the empty bucket where an insertion of the identifier would go. The
    // bucket stays valid until the table next changes, so that the erase or
    // insertion that follows need not probe again.
    struct Located {
        Handle handle;
        std::size_t bucket;
    };
    // As find. A table without buckets (nothing reserved yet) gives no bucket to insert into.
    // Inlined: the hot paths (rest, cancel) use it once each.
    template <typename Candidate>
    [[gnu::always_inline]] Located locate(std::string_view id, std::uint64_t hash,
                                          Candidate&& candidate) const noexcept {
        if (mask_ == 0) return {no_handle, 0};
        const auto tag = static_cast<std::uint32_t>(hash);
        if constexpr (Filtered) {
            if (!filter_.may_hold(tag)) return {no_handle, 0};
        }
        for (std::size_t i = home(tag);; i = (i + 1) & mask_) {
            const Bucket b = buckets_[i];
            if (b.stored == 0) return {no_handle, i};
            if (b.tag != tag) continue;
            candidate(b.stored - 1);
            if (entries_[b.stored - 1].record.id.equals(id)) return {b.stored - 1, i};
        }
    }
    Located locate(std::string_view id, std::uint64_t hash) const noexcept {
        return locate(id, hash, [](Handle) noexcept {});
    }

    // Starts loading the bucket where `hash` is looked up or inserted (and its
    // filter word), for a find or insert soon after.
    void prefetch(std::uint64_t hash) const noexcept {
        // An empty table has no data and mask 0 (its filter too): the addresses are null then.
        quoranth::prefetch(buckets_.data() + home(static_cast<std::uint32_t>(hash)));
        if constexpr (Filtered) filter_.prefetch(static_cast<std::uint32_t>(hash));
    }

    // Makes sure the next `count` inserts allocate nothing (and so cannot fail).
    void reserve(std::size_t count) {
        if (count == 0) return;
        entries_.reserve(count);
        if (count_ + count > limit_) [[unlikely]] grow(count);
    }

    // Adds `entry`, whose identifier must be absent; cannot fail after reserve().
    Handle insert(const Entry& entry) { return insert(entry, hash_order_id(entry.record.id.view())); }
    Handle insert(const Entry& entry, std::uint64_t hash) {
        reserve(1);
        return insert_reserved(entry, hash);
    }
    Handle insert_reserved(const Entry& entry, std::uint64_t hash) noexcept {
        return insert_into(free_bucket(hash), entry, hash);
    }
    // The empty bucket where an identifier that hashes to `hash` would be
    // inserted (the table must have buckets), for insert_at.
    std::size_t free_bucket(std::uint64_t hash) const noexcept {
        return free_position(buckets_, mask_, home(static_cast<std::uint32_t>(hash)), is_empty);
    }
    // insert_reserved into `bucket`: the empty bucket that locate() or
    // free_bucket() just gave for the entry's identifier (after reserve(),
    // with no change to the table since).
    Handle insert_at(std::size_t bucket, const Entry& entry, std::uint64_t hash) noexcept {
        static_assert(!Filtered, "a filtered table's locate() may answer from its filter, with no bucket");
        return insert_into(bucket, entry, hash);
    }

    void erase(Handle h) noexcept { erase(h, hash_order_id(entries_[h].record.id.view())); }
    void erase(Handle h, std::uint64_t hash) noexcept {
        std::size_t hole = home(static_cast<std::uint32_t>(hash));
        while (buckets_[hole].stored != h + 1) hole = (hole + 1) & mask_;
        erase_at(hole);
    }
    // Removes the entry that locate() just found in `bucket`.
    void erase_at(std::size_t bucket) noexcept {
        const Handle h = buckets_[bucket].stored - 1;
        buckets_[close_hole(buckets_, mask_, bucket, is_empty, [this](const Bucket& b) { return home(b.tag); })] =
            Bucket{};
        entries_.release(h);
        --count_;
        if constexpr (Filtered) {
            if (filter_.erased_enough()) rebuild_filter();
        }
    }

    Entry& operator[](Handle h) noexcept { return entries_[h]; }
    const Entry& operator[](Handle h) const noexcept { return entries_[h]; }
    std::size_t size() const noexcept { return count_; }
    // Calls visit(handle, entry) for every entry, in no meaningful order.
    template <typename Visit>
    void for_each(Visit&& visit) const {
        for (const Bucket& b : buckets_) {
            if (b.stored != 0) visit(b.stored - 1, entries_[b.stored - 1]);
        }
    }
    std::size_t handle_bound() const noexcept { return entries_.handle_bound(); }

private:
    // Load at most 1/4 up to 16,384 buckets (128 KB), then 1/2. Linear
    // probing's runs, and so the buckets that an absent lookup, an insertion
    // or a deletion reads, lengthen quickly with the load: about two and a
    // half for an absent id at 1/2, under one and a half at 1/4. A small
    // book whose size hovers just under a doubling point would otherwise
    // spend its life near 1/2; its table stays in cache either way. Past
    // that size a bigger table costs cache misses, which outweigh the
    // shorter runs, and memory per entry, so large tables keep to 1/2.
    static constexpr std::size_t sparse_up_to = std::size_t{1} << 14;  // buckets
    static constexpr std::size_t max_load(std::size_t buckets) noexcept {
        return buckets <= sparse_up_to ? buckets / 4 : buckets / 2;
    }

    // A filtered table (the store of filled orders, which only grows while
    // orders trade) grows fourfold until its buckets take 2 MB, so that each
    // entry is moved a third as often; past that, and other tables always,
    // twofold, so that a large table wastes little memory.
    static constexpr std::size_t growth(std::size_t buckets) noexcept {
        return Filtered && buckets < (std::size_t{1} << 18) ? 4 : 2;
    }

    static constexpr platform::Advice advice = Filtered ? platform::Advice::none : platform::Advice::large_pages;

    struct Bucket {
        std::uint32_t tag = 0;     // the low half of the hash; it also gives the home bucket
        std::uint32_t stored = 0;  // the entry's handle plus one; 0: empty
    };

    static bool is_empty(const Bucket& b) noexcept { return b.stored == 0; }
    std::size_t home(std::uint32_t tag) const noexcept { return tag & mask_; }
    Handle insert_into(std::size_t bucket, const Entry& entry, std::uint64_t hash) noexcept {
        const Handle h = entries_.acquire_reserved();
        entries_[h] = entry;
        buckets_[bucket] = Bucket{static_cast<std::uint32_t>(hash), h + 1};
        if constexpr (Filtered) filter_.add(static_cast<std::uint32_t>(hash));
        ++count_;
        return h;
    }
    void place(Bucket bucket) noexcept { buckets_[free_position(buckets_, mask_, home(bucket.tag), is_empty)] = bucket; }

    // Out of line: the common reserve() is two compares, inlined into its callers.
    [[gnu::noinline]] void grow(std::size_t count) {
        std::size_t capacity = buckets_.empty() ? 64 : buckets_.size();
        while (count_ + count > max_load(capacity)) capacity *= growth(capacity);
        rehash(capacity);
    }

    void rehash(std::size_t capacity) {
        platform::LargePageVector<Bucket, advice> buckets(capacity);
        if constexpr (Filtered) filter_.resize(capacity);  // the last step that can fail
        buckets.swap(buckets_);
        mask_ = capacity - 1;
        limit_ = max_load(capacity);
        for (const Bucket& b : buckets) {
            if (b.stored == 0) continue;
            place(b);
            if constexpr (Filtered) filter_.add(b.tag);
        }
    }

    void rebuild_filter() noexcept {
        filter_.clear();
        for (const Bucket& b : buckets_) {
            if (b.stored != 0) filter_.add(b.tag);
        }
    }

    SlotPool<Entry, advice> entries_;
    platform::LargePageVector<Bucket, advice> buckets_;
    std::size_t mask_ = 0;
    std::size_t limit_ = 0;  // entries the buckets take before growing
    std::size_t count_ = 0;
    struct NoFilter {};
    [[no_unique_address]] std::conditional_t<Filtered, TagFilter, NoFilter> filter_;
};

}  // namespace quoranth
