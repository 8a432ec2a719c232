// Order: construction, attributes, can_match, fill, is_open, repr, pickle and copy.
#include "module/call_frame.hpp"
#include "module/snapshots.hpp"
#include "text/object_texts.hpp"

namespace quoranth::py {

const ClassDefinition order_class{
    .name = "Order",
    .doc = "Represents a single order in the order book.\n"
           "Contains details such as price, quantity, side (Buy/Sell), and status.",
    .text_signature = "(side, price_in_ticks, quantity)",
    .layout = layout_of<Order>,
    .construct = constructor<Order::create, Arg<"side", Member<OrderType>>, Arg<"price_in_ticks", Int64>,
                             Arg<"quantity", Double>>,
    .repr = unary_slot<text::order_text, Order>,
    .methods = {
        method<"can_match", &Order::can_match, Read<Order>, Arg<"other", Read<Order>>>(
            "(self, other)",
            "Determines whether this order can match with another order.\n\n"
            "# Arguments\n- `other`: The other order to match against.\n\n"
            "# Returns\n- `true` if the orders are on opposite sides and the prices are compatible."),
        method<"fill", &Order::fill, Write<Order>, Arg<"incoming", Write<Order>>, Arg<"tick_size", Double>>(
            "($self, incoming, tick_size)",
            "Attempts to fill this order with another incoming order.\n"
            "Updates the quantities and statuses of both orders."),
        method<"is_open", &Order::is_open, Read<Order>>("($self)", "Checks if the order is still open."),
        reduce_row<Order>(), copy_row<Order>(), deep_copy_row<Order>(),
    },
    .attributes = {
        attribute<&Order::id>("id", "Getter for the order ID."),
        attribute<&Order::side>("side", "Getter for the order side."),
        attribute<&Order::price_in_ticks>("price_in_ticks", "Getter for the price in ticks."),
        attribute<&Order::quantity>("quantity", "Getter for the quantity."),
        attribute<&Order::status>("status", "Getter for the order status."),
        attribute<&Order::timestamp>("timestamp", "Getter for the timestamp."),
    },
};

}  // namespace quoranth::py
