// Order: construction, attributes, can_match, fill, is_open, repr.
#include "module/call_frame.hpp"
#include "text/object_texts.hpp"

namespace quoranth::py {

namespace {

constexpr Parameters new_params{"Order", "__new__", 3, {"side", "price_in_ticks", "quantity"}};
constexpr Parameters can_match_params{"Order", "can_match", 1, {"other"}};
constexpr Parameters fill_params{"Order", "fill", 2, {"incoming", "tick_size"}};

const OrderId& order_id(const Order& order) { return order.id; }
OrderType order_side(const Order& order) { return order.side; }
std::int64_t order_price(const Order& order) { return order.price_in_ticks; }
double order_quantity(const Order& order) { return order.quantity; }
OrderStatus order_status(const Order& order) { return order.status; }
std::uint64_t order_timestamp(const Order& order) { return order.timestamp; }

bool can_match(const Order& self, const Order& other) { return self.can_match(other); }
std::optional<Fill> fill(Order& self, Order& incoming, double tick_size) { return self.fill(incoming, tick_size); }
bool is_open(const Order& self) { return self.is_open(); }

using Construct = Constructor<Order::create, new_params, EnumArg<OrderType>, Int64Arg, DoubleArg>;

std::vector<PyType_Slot> slots = {
    slot(Py_tp_new, Construct::from_tuple),
    slot(Py_tp_repr, unary<text::order_text, Shared<Order>>),
    slot(Py_tp_dealloc, release_instance<Order>),
    {0, nullptr},
};

PyMethodDef methods[] = {
    method_def<method<can_match, can_match_params, Shared<Order>, SharedOrderArg>>(
        "can_match",
        "can_match(self, other)\n--\n\nDetermines whether this order can match with another order.\n\n"
        "# Arguments\n- `other`: The other order to match against.\n\n"
        "# Returns\n- `true` if the orders are on opposite sides and the prices are compatible."),
    method_def<method<fill, fill_params, Exclusive<Order>, ExclusiveOrderArg, DoubleArg>>(
        "fill",
        "fill($self, incoming, tick_size)\n--\n\nAttempts to fill this order with another incoming order.\n"
        "Updates the quantities and statuses of both orders."),
    no_arguments_def<no_arguments<is_open, Shared<Order>>>("is_open",
                                                           "is_open($self)\n--\n\nChecks if the order is still open."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    getter_def<getter<order_id, Shared<Order>>>("id", "Getter for the order ID."),
    getter_def<getter<order_side, Shared<Order>>>("side", "Getter for the order side."),
    getter_def<getter<order_price, Shared<Order>>>("price_in_ticks", "Getter for the price in ticks."),
    getter_def<getter<order_quantity, Shared<Order>>>("quantity", "Getter for the quantity."),
    getter_def<getter<order_status, Shared<Order>>>("status", "Getter for the order status."),
    getter_def<getter<order_timestamp, Shared<Order>>>("timestamp", "Getter for the timestamp."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern const ClassDefinition order_class{
    "Order",
    "builtins.Order",
    "Represents a single order in the order book.\n"
    "Contains details such as price, quantity, side (Buy/Sell), and status.",
    "(side, price_in_ticks, quantity)",
    sizeof(Instance<Order>),
    slots.data(),
    methods,
    getsets,
    nullptr,
    Construct::from_vector,
};

}  // namespace quoranth::py
