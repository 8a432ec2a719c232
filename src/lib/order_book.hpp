#pragma once
// The order book of one instrument, with price-time priority matching.
//
// Data structures
//   levels   one std::map per side, price_in_ticks -> PriceLevel, ascending, for
//            the best price and ordered views, plus a LevelIndex (hash) per side
//            to reach a level by price without walking the tree. A PriceLevel
//            is an intrusive doubly linked FIFO of resting records (head =
//            oldest); each record knows its level.
//   index    OrderIndex: identifier -> IndexEntry, which holds the latest copy
//            of the order and, inline, the record resting under it: its
//            remaining quantity and queue links (its id, side, price and
//            timestamp are the entry's, which never change for an id). So a
//            match or a cancel reads one entry, not an entry and a node.
//   overflow a rarely used pool for the extra records of an order added again
//            while it still rests, chained from its entry.
//
// Costs (L = levels on a side)
//   add        O(1) best-level lookup (map begin/end) and O(1) expected index
//              work per match; resting at an existing price O(1) expected;
//              O(log L) to create a level or remove an emptied one.
//   cancel     O(1) expected: index lookup, then unlinking its records, never a
//              scan of their level; O(log L) if the level empties.
//   get_order, update_order   O(1) expected.
//   best_bid, best_ask, spread   O(1).
//   buy_orders, sell_orders, volumes, summary   O(orders on the side).
//   depth(n)   O(n levels + the orders resting in them).
//   reduce     O(1) expected (as cancel when it empties the order).
//   queue_position   O(orders ahead of it in its level).
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lib/enums.hpp"
#include "lib/fill.hpp"
#include "lib/level_index.hpp"
#include "lib/order.hpp"
#include "lib/order_index.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// The resting records at one price of one side, oldest first.
struct PriceLevel {
    std::uint32_t head = SlotPool<int>::none;
    std::uint32_t tail = SlotPool<int>::none;
};

// The best price of a side and the quantity of the oldest order resting there.
struct Quote {
    std::int64_t price_in_ticks;
    double quantity;
};

// One price level of a depth view: its price, the sum of its resting
// quantities in queue order, and how many records rest there.
struct DepthLevel {
    std::int64_t price_in_ticks;
    double quantity;
    std::uint64_t orders;
};

// The best levels of each side, best price first.
struct Depth {
    std::vector<DepthLevel> bids;
    std::vector<DepthLevel> asks;
};

// What rests ahead of an order in its level's queue.
struct QueuePosition {
    std::uint64_t orders_ahead;
    double quantity_ahead;
};

class OrderBook {
public:
    explicit OrderBook(double tick_size = 0.01) noexcept : tick_size_(tick_size) {}

    double tick_size() const noexcept { return tick_size_; }

    // An order priced in ticks from a decimal price; the book is not touched.
    Order create_order(OrderType side, double price, double quantity) const;

    // Matches a copy of `incoming` against the opposite side, rests what is
    // left, records every touched order in the index; returns the fills in
    // match order. The fills live in the book until its next add.
    std::span<const Fill> add(const Order& incoming);

    // Removes the order's resting records and its index entry.
    bool cancel(std::string_view order_id);
    std::optional<Order> get_order(std::string_view order_id) const;
    // Overwrites (or creates) the index entry only; the levels are untouched.
    void update_order(const Order& order);
    // Takes `quantity` off the order's oldest resting record where it stands
    // in its queue; an order left with nothing is cancelled. False if the id
    // rests nowhere. `quantity` must be finite and positive (ValueError).
    bool reduce(std::string_view order_id, double quantity);
    std::optional<QueuePosition> queue_position(std::string_view order_id) const;

    std::vector<Order> buy_orders() const { return side_orders(buys_); }
    std::vector<Order> sell_orders() const { return side_orders(sells_); }
    std::optional<Quote> best_bid() const;
    std::optional<Quote> best_ask() const;
    double buy_volume() const noexcept { return side_volume(buys_); }
    double sell_volume() const noexcept { return side_volume(sells_); }
    std::optional<double> spread() const noexcept;
    // At most `levels` (> 0, else ValueError) levels per side.
    Depth depth(std::int64_t levels) const;

    std::size_t resting_count() const noexcept { return resting_counts_[0] + resting_counts_[1]; }

private:
    using Handle = std::uint32_t;
    // A queue element: an entry handle (the record resting inline in that
    // entry) or, with the top bit set, an overflow record.
    using Ref = std::uint32_t;
    static constexpr Handle none = SlotPool<int>::none;
    static constexpr Ref overflow_bit = 0x80000000u;

    struct OverflowRecord {
        RestingLinks links;
        Handle entry;  // the identifier's index entry
        Handle chain_prev, chain_next;
    };
    using Levels = std::map<std::int64_t, PriceLevel>;

    Levels& side_levels(OrderType side) noexcept { return side == OrderType::Buy ? buys_ : sells_; }
    LevelIndex& side_lookup(OrderType side) noexcept { return side == OrderType::Buy ? buy_lookup_ : sell_lookup_; }
    // The level at `price` on `side`, created empty if there is none.
    PriceLevel& level_at(OrderType side, std::int64_t price);
    // Drops an emptied level from both the ordered map and the lookup.
    void remove_level(OrderType side, std::int64_t price) noexcept;
    RestingLinks& links(Ref ref) noexcept {
        return ref & overflow_bit ? overflow_[ref & ~overflow_bit].links : index_[ref].resting;
    }
    const RestingLinks& links(Ref ref) const noexcept {
        return ref & overflow_bit ? overflow_[ref & ~overflow_bit].links : index_[ref].resting;
    }
    Handle entry_of(Ref ref) const noexcept { return ref & overflow_bit ? overflow_[ref & ~overflow_bit].entry : ref; }
    Order resting_record(Ref ref) const noexcept;
    // The record under `entry` nearest the head of its level, if any rests.
    std::optional<Ref> oldest_resting(Handle entry) const noexcept;
    DepthLevel depth_level(std::int64_t price, const PriceLevel& level) const noexcept;
    void rest(const Order& remainder, Handle entry);
    // Takes a record out of its level's queue (and its overflow chain); the
    // caller removes the level if it became empty.
    void unlink(Ref ref) noexcept;
    std::vector<Order> side_orders(const Levels& levels) const;
    double side_volume(const Levels& levels) const noexcept;
    std::optional<Quote> quote(const Levels::value_type& level) const noexcept;

    std::vector<Fill> fills_;  // reused by every add, so matching rarely allocates
    Levels buys_;
    Levels sells_;
    LevelIndex buy_lookup_;
    LevelIndex sell_lookup_;
    OrderIndex index_;
    SlotPool<OverflowRecord> overflow_;
    std::size_t resting_counts_[2] = {0, 0};  // by side, so side lists allocate once
    double tick_size_;
};

}  // namespace quoranth
