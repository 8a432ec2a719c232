#pragma once
// What an order record can hold, checked for records rebuilt from saved state
// (a pickled Order, a book snapshot): everything that construction, matching
// and the book guarantee for the orders they make. An Open order has a
// positive, finite quantity; a Filled one has none left; the book never keeps
// a Canceled one; prices are positive; ids are version-4 UUID text.
#include <cstdint>
#include <string_view>

#include "lib/order.hpp"

namespace quoranth {

// The side or status with this integer value; ValueError for any other.
OrderType side_from_value(std::int64_t value);
OrderStatus status_from_value(std::int64_t value);  // Open or Filled

// ValueError unless an order could hold this price, quantity and status.
void check_order_values(std::int64_t price_in_ticks, double quantity, OrderStatus status);

// The id whose UUID bytes these are; ValueError unless version 4.
OrderId order_id_of(const std::uint8_t (&bytes)[16]);

// An order from its six fields, each checked as above; the id must be the
// canonical text of a version-4 UUID.
Order restore_order(std::string_view id, std::int64_t side, std::int64_t price_in_ticks, double quantity,
                    std::int64_t status, std::uint64_t timestamp);

}  // namespace quoranth
