#pragma once
// The order book of one instrument, with price-time priority matching.
//
// Data structures
//   levels   one std::map per side, price_in_ticks -> Level, ascending. A Level
//            is an intrusive doubly linked FIFO of RestingNodes (head = oldest).
//   nodes    RestingNodes in a SlotPool (32 bytes each, recycled): remaining
//            quantity, queue links, the IndexEntry of its identifier, and links
//            to the other records resting under the same identifier (an order
//            added twice rests twice).
//   index    OrderIndex: identifier -> IndexEntry {latest copy of the order,
//            first resting node}. A resting record's id, side, price and
//            timestamp are those of its entry (they never change for an
//            identifier); its own state is its quantity, and it is Open.
//
// Costs (L = levels on a side, n = orders resting at one price)
//   add        O(1) expected per match + O(1) best-level lookup (map begin/end),
//              O(log L) to remove an emptied level or create a new one.
//   cancel     O(1) expected index lookup + O(log L) level lookup; unlinking a
//              record is O(1), never a scan of its level.
//   get_order, update_order   O(1) expected.
//   best_bid, best_ask, spread   O(1).
//   buy_orders, sell_orders, volumes, summary   O(orders on the side).
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lib/enums.hpp"
#include "lib/fill.hpp"
#include "lib/order.hpp"
#include "lib/order_index.hpp"
#include "lib/slot_pool.hpp"

namespace quoranth {

// The best price of a side and the quantity of the oldest order resting there.
struct Quote {
    std::int64_t price_in_ticks;
    double quantity;
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

    std::vector<Order> buy_orders() const { return side_orders(buys_); }
    std::vector<Order> sell_orders() const { return side_orders(sells_); }
    std::optional<Quote> best_bid() const;
    std::optional<Quote> best_ask() const;
    double buy_volume() const noexcept { return side_volume(buys_); }
    double sell_volume() const noexcept { return side_volume(sells_); }
    std::optional<double> spread() const noexcept;

    std::size_t resting_count() const noexcept { return nodes_.live(); }
    std::size_t index_size() const noexcept { return index_.size(); }

private:
    using Handle = std::uint32_t;
    static constexpr Handle none = SlotPool<int>::none;

    struct RestingNode {
        double quantity;
        Handle prev, next;            // neighbours in the level's queue
        Handle entry;                 // IndexEntry of this record's identifier
        Handle same_id_prev, same_id_next;
    };
    struct Level {
        Handle head = none, tail = none;
    };
    using Levels = std::map<std::int64_t, Level>;

    Levels& side_levels(OrderType side) noexcept { return side == OrderType::Buy ? buys_ : sells_; }
    Order resting_record(Handle node) const noexcept;
    void rest(const Order& remainder, Handle entry);
    // Takes a record out of its level queue and its identifier's chain and
    // frees it; the caller removes the level if it became empty.
    void remove_resting(Level& level, Handle node) noexcept;
    std::vector<Order> side_orders(const Levels& levels) const;
    double side_volume(const Levels& levels) const noexcept;
    std::optional<Quote> quote(const Levels::value_type& level) const noexcept;

    std::vector<Fill> fills_;  // reused by every add, so matching rarely allocates
    Levels buys_;
    Levels sells_;
    SlotPool<RestingNode> nodes_;
    OrderIndex index_;
    double tick_size_;
};

}  // namespace quoranth
