#include "lib/order.hpp"

#include <cmath>
#include <utility>

#include "lib/clock.hpp"
#include "lib/errors.hpp"
#include "lib/sources.hpp"

namespace quoranth {

Order Order::create(OrderType side, std::int64_t price_in_ticks, double quantity) {
    return create_from(side, price_in_ticks, quantity, system_clock(), system_ids());
}

Order Order::create_from(OrderType side, std::int64_t price_in_ticks, double quantity, Clock& clock, IdSource& ids) {
    if (price_in_ticks <= 0) throw ValueError("price_in_ticks must be positive");
    if (!(quantity > 0.0)) throw ValueError("quantity must be positive");  // NaN included
    if (std::isinf(quantity)) throw ValueError("quantity must be finite");
    // Built in place, members in order: the id is minted straight into the
    // record (copying its text out of a temporary made the processor wait for
    // the stores that had just written it), then the clock is read.
    return Order{ids.next(), side, OrderStatus::Open, price_in_ticks, quantity, clock.now()};
}

bool Order::can_match(const Order& other) const noexcept {
    if (side == other.side) return false;
    if (side == OrderType::Buy) return price_in_ticks >= other.price_in_ticks;
    return other.price_in_ticks >= price_in_ticks;
}

double Order::trade(Order& incoming) noexcept {
    const double traded = tradable(quantity, incoming.quantity);
    quantity -= traded;
    incoming.quantity -= traded;
    if (quantity <= 0.0) status = OrderStatus::Filled;
    if (incoming.quantity <= 0.0) incoming.status = OrderStatus::Filled;
    return traded;
}

Fill Order::fill_record(const Order& incoming, double traded, double tick_size, std::uint64_t timestamp) const {
    const bool receiving_sells = side == OrderType::Sell;
    const Order& buyer = receiving_sells ? incoming : *this;
    const Order& seller = receiving_sells ? *this : incoming;
    return Fill{traded, static_cast<double>(seller.price_in_ticks) * tick_size, SmallText(buyer.id.view()),
                SmallText(seller.id.view()), timestamp};
}

std::optional<Fill> Order::fill(Order& incoming, double tick_size) {
    if (!can_match(incoming)) return std::nullopt;
    const double traded = trade(incoming);
    // Read the clock only after both orders are updated: if it fails, the
    // updates stand and no fill results.
    return fill_record(incoming, traded, tick_size, now_timestamp());
}

}  // namespace quoranth
