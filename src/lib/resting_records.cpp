#include "lib/resting_records.hpp"

namespace quoranth {

void RestingRecords::place(Handle entry, double quantity, Level& level) noexcept {
    Ref ref = entry;
    if (links_[entry].prev != vacant) {
        const Handle extra = extras_.acquire_reserved();
        const Handle newest = chains_.empty() ? no_handle : chains_.find(entry);
        extras_[extra] = ExtraRecord{QueueLinks{}, entry, no_handle, newest};
        if (newest != no_handle) extras_[newest].chain_prev = extra;
        chains_.set(entry, extra);
        ref = extra | extra_bit;
    }
    links(ref) = QueueLinks{quantity, level.tail, no_handle};
    if (level.tail != no_handle) links(level.tail).next = ref;
    else level.head = ref;
    level.tail = ref;
    ++counts_[static_cast<int>(entries_[entry].record.side)];
}

void RestingRecords::unlink(Ref ref, Level& level, OrderType side) noexcept {
    QueueLinks& place = links(ref);
    if (place.prev != no_handle) links(place.prev).next = place.next;
    else level.head = place.next;
    if (place.next != no_handle) links(place.next).prev = place.prev;
    else level.tail = place.prev;
    --counts_[static_cast<int>(side)];

    if (!(ref & extra_bit)) {
        place.prev = vacant;
        return;
    }
    const Handle extra = ref & ~extra_bit;
    const ExtraRecord& record = extras_[extra];
    if (record.chain_prev != no_handle) extras_[record.chain_prev].chain_next = record.chain_next;
    else if (record.chain_next != no_handle) chains_.set(record.entry, record.chain_next);
    else chains_.erase(record.entry);
    if (record.chain_next != no_handle) extras_[record.chain_next].chain_prev = record.chain_prev;
    extras_.release(extra);
}

void RestingRecords::unlink_extras(Handle entry, Level& level, OrderType side) noexcept {
    for (Handle extra = chains_.find(entry); extra != no_handle; extra = chains_.find(entry)) {
        unlink(extra | extra_bit, level, side);
        if (chains_.empty()) return;
    }
}

RestingRecords::Ref RestingRecords::oldest(Handle entry, const Level& level) const noexcept {
    if (chains_.empty() || chains_.find(entry) == no_handle) return entry;
    // Several records rest under this id, all in one level: the first one met
    // from the head is the oldest. Rare (an order added again while it rests),
    // so a walk is fine.
    Ref ref = level.head;
    while (entry_of(ref) != entry) ref = links(ref).next;
    return ref;
}

Order RestingRecords::resting_record(Ref ref) const noexcept {
    Order record = entries_[entry_of(ref)].record;
    record.quantity = links(ref).quantity;
    record.status = OrderStatus::Open;
    return record;
}

}  // namespace quoranth
