#pragma once
#include <cmath>
#include <cstdint>
#include <optional>

#include "lib/enums.hpp"
#include "lib/fill.hpp"
#include "lib/order_id.hpp"

namespace quoranth {

class Clock;
class IdSource;

// A limit order: a plain 64-byte value, copied freely (the id is held inline).
struct Order {
    OrderId id;
    OrderType side = OrderType::Buy;
    OrderStatus status = OrderStatus::Open;
    std::int64_t price_in_ticks = 0;
    double quantity = 0.0;
    std::uint64_t timestamp = 0;

    // Validates price, then quantity (ValueError), then mints the id and reads
    // the clock (the system's, or the given sources). Non-finite quantities are
    // refused so that matching always ends.
    static Order create(OrderType side, std::int64_t price_in_ticks, double quantity);
    static Order create_from(OrderType side, std::int64_t price_in_ticks, double quantity, Clock& clock, IdSource& ids);
    // An order that only takes liquidity and is never seen again (a batch's
    // immediate-or-cancel order): no id of its own, no creation time.
    static Order stand_in(OrderType side, std::int64_t price_in_ticks, double quantity) noexcept {
        Order order;
        order.side = side;
        order.price_in_ticks = price_in_ticks;
        order.quantity = quantity;
        return order;
    }

    bool is_open() const noexcept { return status == OrderStatus::Open; }

    // Same sides never match; otherwise the buy price must reach the sell price.
    bool can_match(const Order& other) const noexcept;

    // Trades the smaller remaining quantity between this (receiving) order and
    // `incoming`, lowering both and marking each exhausted one Filled. Priced at
    // the sell order's ticks times `tick_size`, stamped from the wall clock.
    // Returns nothing, changing nothing, when the two do not cross.
    std::optional<Fill> fill(Order& incoming, double tick_size);

    // The arithmetic of fill: lowers both quantities by the smaller one (a NaN
    // on one side yields the other's), marks each exhausted order Filled and
    // returns the traded quantity. The sides and prices are not checked.
    double trade(Order& incoming) noexcept;
    // What a trade between quantities `receiving` and `incoming` takes from
    // each: the smaller one, or for a NaN on one side the other's.
    static double tradable(double receiving, double incoming) noexcept {
        if (std::isnan(receiving)) return incoming;
        if (std::isnan(incoming)) return receiving;
        return incoming < receiving ? incoming : receiving;
    }
    // The record of a trade of `traded` between this (receiving) order and `incoming`.
    Fill fill_record(const Order& incoming, double traded, double tick_size, std::uint64_t timestamp) const;
};

static_assert(sizeof(Order) == 64);

}  // namespace quoranth
