#pragma once
#include <cstdint>
#include <string_view>

#include "lib/handle_map.hpp"
#include "lib/id_table.hpp"
#include "lib/order.hpp"
#include "lib/prefetch.hpp"
#include "lib/side_levels.hpp"
#include "lib/slot_array.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// A record's place in its level's queue and what is left of it.
struct QueueLinks {
    double quantity = 0.0;
    std::uint32_t prev = no_handle;
    std::uint32_t next = no_handle;
};

// The index entry of an identifier that rests: the latest written copy of
// the order, one cache line. The record resting under it (its remaining
// quantity and queue links; its id, side, price and timestamp are the
// copy's, which never change for an id) sits in a parallel array under the
// same handle, so that a lookup, which compares the id and reads the copy,
// touches one line.
struct RestingEntry {
    Order record;
};
static_assert(sizeof(RestingEntry) == 64);

// The resting records of both sides and their identifiers' index entries.
// A queue element (Ref) is an entry handle, the record resting inline in that
// entry, or, with the top bit set, an extra record: an order added again while
// it still rests gets one per further copy, chained from its entry. Records
// are only ever placed at a level's tail and unlinked; the levels themselves
// belong to SideLevels and are passed in.
class RestingRecords {
public:
    using Handle = std::uint32_t;
    using Ref = std::uint32_t;

    Handle find(std::string_view id) const noexcept { return entries_.find(id); }
    // Every entry handle in use, and the next one add_resting_entry gives, is below this.
    std::size_t entry_bound() const noexcept { return entries_.handle_bound(); }
    Handle find(std::string_view id, std::uint64_t hash) const noexcept { return entries_.find(id, hash); }
    // locate, for an unlink soon after: the entry's own queue links load
    // while its identifier is compared, rather than after, and the bucket
    // found is where the entry's deletion starts.
    using Located = IdTable<RestingEntry>::Located;
    Located locate_to_unlink(std::string_view id, std::uint64_t hash) const noexcept {
        return entries_.locate(id, hash, [this](Handle h) noexcept { quoranth::prefetch(&links_[h]); });
    }
    // Where `id` is or would be indexed; see IdTable::locate.
    Located locate(std::string_view id, std::uint64_t hash) const noexcept { return entries_.locate(id, hash); }
    void prefetch(std::uint64_t hash) const noexcept { entries_.prefetch(hash); }
    Order& record(Handle entry) noexcept { return entries_[entry].record; }
    const Order& record(Handle entry) const noexcept { return entries_[entry].record; }

    std::size_t entry_count() const noexcept { return entries_.size(); }

    // Capacity for one add_resting_entry (or `count`), or for one place() on an entry that already rests.
    void reserve_entry(std::size_t count = 1) {
        entries_.reserve(count);
        links_.cover(entries_.handle_bound() + count);
    }
    void reserve_extra() {
        extras_.reserve(1);
        chains_.reserve_one();
    }

    // The empty bucket where an id that hashes to `hash` would be indexed
    // (after reserve_entry()); locate() gives it too, with its lookup.
    std::size_t free_bucket(std::uint64_t hash) const noexcept { return entries_.free_bucket(hash); }
    // A new entry holding `record` (whose id hashes to `hash`), indexed in
    // `bucket` (see free_bucket), its own record resting with `quantity` at
    // the tail of `level` (after reserve_entry()).
    Handle add_resting_entry(std::size_t bucket, const Order& record, std::uint64_t hash, double quantity,
                             Level& level) noexcept {
        const Handle entry = entries_.insert_at(bucket, RestingEntry{record}, hash);
        links_[entry] = QueueLinks{quantity, level.tail, no_handle};
        if (level.tail != no_handle) links(level.tail).next = entry;
        else level.head = entry;
        level.tail = entry;
        ++counts_[static_cast<int>(record.side)];
        return entry;
    }
    // Removes an entry that rests nowhere.
    void erase_entry(Handle entry, std::uint64_t hash) noexcept { entries_.erase(entry, hash); }
    // The same, for the entry that locate_to_unlink() just found in `bucket`.
    void erase_entry_at(std::size_t bucket) noexcept { entries_.erase_at(bucket); }

    // Rests a record of `entry` with `quantity` at the tail of `level`: inline
    // if the entry's own slot is free, else as an extra record (reserved).
    void place(Handle entry, double quantity, Level& level) noexcept;
    // Takes one record out of `level`, its queue on `side`; the caller removes an emptied level.
    void unlink(Ref ref, Level& level, OrderType side) noexcept;
    // Takes every record of `entry` out of `level`, where all of them rest.
    void unlink_all(Handle entry, Level& level, OrderType side) noexcept {
        if (links_[entry].prev != vacant) unlink(entry, level, side);
        if (!chains_.empty()) unlink_extras(entry, level, side);
    }
    bool rests(Handle entry) const noexcept {
        return links_[entry].prev != vacant || (!chains_.empty() && chains_.find(entry) != no_handle);
    }
    // The record of `entry` nearest the head of `level`, where it rests.
    Ref oldest(Handle entry, const Level& level) const noexcept;
    // Whether another record of the same entry rests besides `ref`.
    bool rests_besides(Ref ref) const noexcept {
        if (chains_.empty()) return false;
        if (!(ref & extra_bit)) return chains_.find(ref) != no_handle;
        const ExtraRecord& extra = extras_[ref & ~extra_bit];
        return links_[extra.entry].prev != vacant || extra.chain_prev != no_handle || extra.chain_next != no_handle;
    }

    Handle entry_of(Ref ref) const noexcept { return ref & extra_bit ? extras_[ref & ~extra_bit].entry : ref; }
    double quantity(Ref ref) const noexcept { return links(ref).quantity; }
    void set_quantity(Ref ref, double quantity) noexcept { links(ref).quantity = quantity; }
    Ref next(Ref ref) const noexcept { return links(ref).next; }
    // The record as it rests: its entry's copy with the record's own quantity, Open.
    Order resting_record(Ref ref) const noexcept;

    std::size_t count(OrderType side) const noexcept { return counts_[static_cast<int>(side)]; }

private:
    static constexpr Ref extra_bit = 0x80000000u;
    static constexpr std::uint32_t vacant = 0xFFFFFFFEu;  // never a Ref: pool handles stay below 2^31 - 1

    struct ExtraRecord {
        QueueLinks resting;
        Handle entry;
        Handle chain_prev, chain_next;  // the entry's other extra records
    };

    // Takes the extra records of `entry` (an order added again while it rested) out of `level`.
    void unlink_extras(Handle entry, Level& level, OrderType side) noexcept;

    QueueLinks& links(Ref ref) noexcept { return ref & extra_bit ? extras_[ref & ~extra_bit].resting : links_[ref]; }
    const QueueLinks& links(Ref ref) const noexcept {
        return ref & extra_bit ? extras_[ref & ~extra_bit].resting : links_[ref];
    }

    IdTable<RestingEntry> entries_;
    SlotArray<QueueLinks> links_;  // each entry's own record: links_[entry].prev == vacant when it rests nowhere
    SlotPool<ExtraRecord> extras_;
    HandleMap chains_;  // entry -> its newest extra record, for entries that have any
    std::size_t counts_[2] = {0, 0};  // records resting, by side
};

}  // namespace quoranth
