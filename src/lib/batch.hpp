#pragma once
// Events applied to a book in one call, as columns, for replays and
// simulations that drive millions of orders. Orders are named by the caller's
// 64-bit integer keys; they are ordinary orders of the book (minted ids,
// timestamps, visible to every view and per-call method).
//
// Operations (one per event):
//   0 Nothing
//   1 Add             a new limit order (side, price, quantity) under `key`
//                     (not negative: -1 means "no key" in the fill columns);
//                     it matches and rests like OrderBook::add. A key in use
//                     is moved to the new order.
//   2 Reduce          takes `quantity` off the order under `key` in place
//                     (OrderBook::reduce); cancels it at nothing left.
//   3 Cancel          cancels the order under `key` (OrderBook::cancel).
//   4 Take            an order (side, price, quantity) that matches like Add
//                     and whose remainder is then dropped (immediate or
//                     cancel): it neither rests nor stays in the index. Its
//                     key may name the order it is expected to meet.
//   5 TakeThenCancel  Take, then Cancel the order under `key` (a trade that
//                     used up the order it names).
// Reduce and Cancel of a key that names no order do nothing.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lib/errors.hpp"
#include "lib/key_table.hpp"
#include "lib/order_id.hpp"
#include "lib/prefetch.hpp"

namespace quoranth {

enum class BatchOperation : std::int8_t { Nothing = 0, Add = 1, Reduce = 2, Cancel = 3, Take = 4, TakeThenCancel = 5 };

// The events, as columns of one length; `sides` are 0 (Buy) or 1 (Sell).
struct BatchEvents {
    std::span<const std::int8_t> operations;
    std::span<const std::int64_t> keys;
    std::span<const std::int8_t> sides;
    std::span<const std::int64_t> prices_in_ticks;
    std::span<const double> quantities;
};

// The fills, in order: the event that caused each, the keys of its buy and
// sell orders (-1 for an order without a key), price in ticks and quantity;
// and whether it is a take (4, 5) that traded its whole quantity, in this one
// fill, with the very order its key names (a replay's test of whether its own
// matching met the order the exchange reported). `events_applied` counts the
// events applied: all of them, unless the batch stopped on a failure (each
// event is all or nothing, so the book then holds exactly the events before
// the one that failed, and these columns their fills).
struct BatchFills {
    std::size_t events_applied = 0;
    std::vector<std::int64_t> events;
    std::vector<std::int64_t> buy_keys;
    std::vector<std::int64_t> sell_keys;
    std::vector<std::int64_t> prices_in_ticks;
    std::vector<double> quantities;
    std::vector<std::int8_t> on_named;
};

// The best level of each side after every event: price in ticks and the
// level's total quantity (summed in queue order); 0 and 0.0 for an empty side.
struct BatchTops {
    std::vector<std::int64_t> bid_prices;
    std::vector<double> bid_quantities;
    std::vector<std::int64_t> ask_prices;
    std::vector<double> ask_quantities;
};

constexpr std::int64_t no_key = -1;

// An event that passed the check before the batch began but not when it came
// to be applied: its column was written meanwhile (by another thread). The
// events before it stay applied (BatchFills::events_applied).
class BatchEventChanged : public ValueError {
public:
    using ValueError::ValueError;
};

// The caller's keys of the orders a batch added: key -> id, and the key of
// each index entry (hot and cold, by handle), for the fills (read where
// matching meets the order, so no id is hashed) and for the calls that remove
// an order, so that its key goes with it whichever call removes it: a key
// names an id only while the book's index holds it. A hot entry's key is
// exact (fills report it as it is); a cold entry's may be stale (its key
// moved on, or its handle was reused) and counts only while the key still
// names the entry's id. Books that never run a batch hold nothing here.
class KeyedOrders {
public:
    const OrderId* id_of(std::int64_t key) const noexcept { return ids_.find(key); }
    void prefetch(std::int64_t key) const noexcept { ids_.prefetch(key); }
    // Names `id` by `key`; any order the key named loses it.
    void bind(std::int64_t key, const OrderId& id) { ids_.put(key, id); }
    void unbind(std::int64_t key) noexcept { ids_.erase(key); }
    // `key` if it names `id`, else no_key.
    std::int64_t key_naming(std::int64_t key, std::string_view id) const noexcept {
        if (key == no_key) return no_key;
        const OrderId* named = ids_.find(key);
        return named != nullptr && named->equals(id) ? key : no_key;
    }
    // Unbinds `key` if it names `id` (the order `id` leaves the index).
    void unbind_if_naming(std::int64_t key, std::string_view id) noexcept {
        if (key_naming(key, id) != no_key) ids_.erase(key);
    }
    // Room for `count` more keys, made at once rather than by doubling.
    void reserve_keys(std::size_t count) { ids_.reserve(count); }
    // After a batch: adds that came and went under few keys must not leave
    // the book holding a table sized for them all.
    void shrink_keys() noexcept { ids_.shrink(); }
    // Calls visit(key, id) for every key that names an order.
    template <typename Visit>
    void for_each_key(Visit&& visit) const { ids_.for_each(visit); }
    // Whether a batch has added orders: only then are entries' keys kept.
    bool in_use() const noexcept { return !entry_keys_.empty(); }

    std::int64_t key_of_entry(std::uint32_t entry) const noexcept { return at(entry_keys_, entry); }
    void prefetch_entry_key(std::uint32_t entry) const noexcept {
        if (entry < entry_keys_.size()) quoranth::prefetch(&entry_keys_[entry]);
    }
    // Room for a key for every entry handle below `bound`.
    void reserve_entries(std::size_t bound) { grow_to(entry_keys_, bound); }
    // After reserve_entries (a handle past the room reserved keeps no key).
    void set_entry_key(std::uint32_t entry, std::int64_t key) noexcept { put(entry_keys_, entry, key); }
    // A new hot entry starts without a key (its handle may have had one).
    void forget_entry(std::uint32_t entry) noexcept { put(entry_keys_, entry, no_key); }

    // The same for the cold store's entries (filled orders), by cold handle.
    std::int64_t key_of_cold(std::uint32_t cold) const noexcept { return at(cold_keys_, cold); }
    void reserve_cold(std::size_t bound) { grow_to(cold_keys_, bound); }
    // After reserve_cold (likewise).
    void set_cold_key(std::uint32_t cold, std::int64_t key) noexcept { put(cold_keys_, cold, key); }

private:
    // A handle past the room kept has no key.
    static std::int64_t at(const std::vector<std::int64_t>& keys, std::uint32_t handle) noexcept {
        return handle < keys.size() ? keys[handle] : no_key;
    }
    static void put(std::vector<std::int64_t>& keys, std::uint32_t handle, std::int64_t key) noexcept {
        if (handle < keys.size()) keys[handle] = key;
    }
    static void grow_to(std::vector<std::int64_t>& keys, std::size_t bound) {
        if (keys.size() < bound) keys.resize(std::max(bound, 2 * keys.size()), no_key);
    }

    KeyTable<OrderId> ids_;
    std::vector<std::int64_t> entry_keys_;
    std::vector<std::int64_t> cold_keys_;
};

}  // namespace quoranth
