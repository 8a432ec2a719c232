#pragma once
#include <string>

namespace quoranth {
struct Order;
struct Fill;
class OrderBook;
}  // namespace quoranth

namespace quoranth::text {

// "[Buy 10 @ 10050] [<id>, placed at <timestamp>]"
std::string order_text(const Order& order);
// "[3.00 @ 1.00] Buy: <buy_id>, Sell: <sell_id>, Filled at <timestamp>"
std::string fill_text(const Fill& fill);
// Two lines: best bid, best ask and spread; then the open volume of each side.
std::string book_summary_text(const OrderBook& book);

}  // namespace quoranth::text
