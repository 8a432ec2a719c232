#include "lib/order_state.hpp"

#include <cmath>

#include "lib/errors.hpp"

namespace quoranth {

namespace {

constexpr const char* bad_id = "order id must be the 36-character text of a version-4 UUID";

}  // namespace

OrderType side_from_value(std::int64_t value) {
    if (value != 0 && value != 1) throw ValueError("side must be 0 (Buy) or 1 (Sell)");
    return static_cast<OrderType>(value);
}

OrderStatus status_from_value(std::int64_t value) {
    if (value != 0 && value != 1) throw ValueError("status must be 0 (Open) or 1 (Filled)");
    return static_cast<OrderStatus>(value);
}

void check_order_values(std::int64_t price_in_ticks, double quantity, OrderStatus status) {
    if (price_in_ticks <= 0) throw ValueError("price_in_ticks must be positive");
    if (status == OrderStatus::Filled) {
        // Matching marks an order Filled exactly when it has nothing left.
        if (quantity != 0.0 || std::signbit(quantity)) throw ValueError("a filled order's quantity must be 0");
        return;
    }
    if (!(quantity > 0.0)) throw ValueError("quantity must be positive");  // NaN included
    if (std::isinf(quantity)) throw ValueError("quantity must be finite");
}

OrderId order_id_of(const std::uint8_t (&bytes)[16]) {
    if (!is_version4(bytes)) throw ValueError(bad_id);
    return order_id_from_bytes(bytes);
}

Order restore_order(std::string_view id, std::int64_t side, std::int64_t price_in_ticks, double quantity,
                    std::int64_t status, std::uint64_t timestamp) {
    std::uint8_t bytes[16];
    if (!order_id_bytes(id, bytes)) throw ValueError(bad_id);
    Order order;
    order.id = order_id_of(bytes);
    order.side = side_from_value(side);
    order.status = status_from_value(status);
    check_order_values(price_in_ticks, quantity, order.status);
    order.price_in_ticks = price_in_ticks;
    order.quantity = quantity;
    order.timestamp = timestamp;
    return order;
}

}  // namespace quoranth
