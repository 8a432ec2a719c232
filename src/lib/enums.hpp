#pragma once
#include <cstdint>

namespace quoranth {

// One-byte values stored in every order record; the integer values are public.
enum class OrderType : std::uint8_t { Buy = 0, Sell = 1 };
enum class OrderStatus : std::uint8_t { Open = 0, Filled = 1, Canceled = 2 };

constexpr const char* side_name(OrderType side) { return side == OrderType::Buy ? "Buy" : "Sell"; }

}  // namespace quoranth
