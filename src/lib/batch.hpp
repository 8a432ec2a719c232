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

#include "lib/key_table.hpp"
#include "lib/order_id.hpp"

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

// The caller's keys of the orders a batch added: key -> id, for the events
// that name a key, and the key of each resting order by its hot index entry,
// for the fills (read where matching meets the order, so no id is hashed).
// Books that never run a batch hold nothing here.
class KeyedOrders {
public:
    const OrderId* id_of(std::int64_t key) const noexcept { return ids_.find(key); }
    void prefetch(std::int64_t key) const noexcept { ids_.prefetch(key); }
    // Names `id` by `key`; any order the key named loses it.
    void bind(std::int64_t key, const OrderId& id) { ids_.put(key, id); }
    void unbind(std::int64_t key) noexcept { ids_.erase(key); }
    void reserve_keys(std::size_t count) { ids_.reserve(count); }
    // Calls visit(key, id) for every key that names an order.
    template <typename Visit>
    void for_each_key(Visit&& visit) const { ids_.for_each(visit); }

    std::int64_t key_of_entry(std::uint32_t entry) const noexcept {
        return entry < entry_keys_.size() ? entry_keys_[entry] : no_key;
    }
    // Room for a key for every entry handle below `bound`.
    void reserve_entries(std::size_t bound) {
        if (entry_keys_.size() < bound) entry_keys_.resize(std::max(bound, 2 * entry_keys_.size()), no_key);
    }
    // After reserve_entries.
    void set_entry_key(std::uint32_t entry, std::int64_t key) noexcept { entry_keys_[entry] = key; }
    // A new hot entry starts without a key (its handle may have had one).
    void forget_entry(std::uint32_t entry) noexcept {
        if (entry < entry_keys_.size()) entry_keys_[entry] = no_key;
    }

private:
    KeyTable<OrderId> ids_;
    std::vector<std::int64_t> entry_keys_;
};

}  // namespace quoranth
