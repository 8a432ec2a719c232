// OrderBook: construction, create_order, add, cancel, lookup, update, the
// market views and the summary text.
#include "module/call_frame.hpp"
#include "text/object_texts.hpp"

namespace quoranth::py {

namespace {

constexpr Parameters new_params{"OrderBook", "__new__", 0, {"tick_size"}};
constexpr Parameters create_order_params{"OrderBook", "create_order", 3, {"side", "price", "quantity"}};
constexpr Parameters add_params{"OrderBook", "add", 1, {"incoming_order"}};
constexpr Parameters cancel_params{"OrderBook", "cancel", 1, {"order_id"}};
constexpr Parameters get_order_params{"OrderBook", "get_order", 1, {"order_id"}};
constexpr Parameters update_order_params{"OrderBook", "update_order", 1, {"order"}};
constexpr Parameters depth_params{"OrderBook", "depth", 0, {"levels"}};
constexpr Parameters reduce_params{"OrderBook", "reduce", 2, {"order_id", "quantity"}};
constexpr Parameters queue_position_params{"OrderBook", "queue_position", 1, {"order_id"}};

OrderBook make_book(const std::optional<double>& tick_size) { return OrderBook(tick_size.value_or(0.01)); }

Depth depth(const OrderBook& book, const std::optional<std::int64_t>& levels) { return book.depth(levels.value_or(10)); }

using Reader = Shared<OrderBook>;
using Writer = Exclusive<OrderBook>;

using Construct = Constructor<make_book, new_params, OptionalArg<DoubleArg>>;

std::vector<PyType_Slot> slots = {
    slot(Py_tp_new, Construct::from_tuple),
    slot(Py_tp_repr, unary<text::book_summary_text, Reader>),
    slot(Py_tp_dealloc, release_instance<OrderBook>),
    {0, nullptr},
};

PyMethodDef methods[] = {
    method_def<method<&OrderBook::create_order, create_order_params, Reader, EnumArg<OrderType>, DoubleArg, DoubleArg>>(
        "create_order",
        "create_order(self, side, price, quantity)\n--\n\n"
        "Creates an order (but does not add to the book) based off the book's tick size."),
    method_def<method<&OrderBook::add, add_params, Writer, OrderCopyArg>>(
        "add", "add(self, order)\n--\n\nAdds an order to the book, attempting to match it with resting orders."),
    method_def<method<&OrderBook::cancel, cancel_params, Writer, TextViewArg>>(
        "cancel", "cancel(self, order_id)\n--\n\nCancels an order by its ID."),
    method_def<method<&OrderBook::get_order, get_order_params, Reader, TextViewArg>>(
        "get_order",
        "get_order(self, order_id)\n--\n\nRetrieves an order by its ID. Returns None if the order is not found."),
    method_def<method<&OrderBook::update_order, update_order_params, Writer, SharedOrderArg>>(
        "update_order", "update_order($self, order)\n--\n\nHelper method to update an order in the `orders` map."),
    method_def<method<depth, depth_params, Reader, OptionalArg<CountArg>>>(
        "depth",
        "depth($self, levels=10)\n--\n\n"
        "The best `levels` price levels of each side, as (bids, asks): lists of\n"
        "(price_in_ticks, quantity, orders) tuples, best price first. `quantity` sums\n"
        "the level's resting quantities in queue order; `orders` counts them.\n"
        "Costs time in proportion to the levels and orders returned."),
    method_def<method<&OrderBook::reduce, reduce_params, Writer, TextViewArg, DoubleArg>>(
        "reduce",
        "reduce($self, order_id, quantity)\n--\n\n"
        "Takes `quantity` off a resting order in place, keeping its place in the queue.\n"
        "An order left with nothing is cancelled. Returns False if the order rests nowhere.\n"
        "For an order resting more than once, its oldest record is reduced."),
    method_def<method<&OrderBook::queue_position, queue_position_params, Reader, TextViewArg>>(
        "queue_position",
        "queue_position($self, order_id)\n--\n\n"
        "(orders_ahead, quantity_ahead): what rests ahead of the order (its oldest record)\n"
        "in its price level's queue; None if it rests nowhere.\n"
        "Costs time in proportion to the orders ahead."),
    no_arguments_def<no_arguments<&OrderBook::best_bid, Reader>>("best_bid",
                                                                "best_bid($self)\n--\n\nHelper method to get best bid"),
    no_arguments_def<no_arguments<&OrderBook::best_ask, Reader>>("best_ask",
                                                                "best_ask($self)\n--\n\nHelper method to get best ask"),
    no_arguments_def<no_arguments<&OrderBook::buy_volume, Reader>>(
        "buy_volume", "buy_volume($self)\n--\n\nHelper method to calculate total buy volume"),
    no_arguments_def<no_arguments<&OrderBook::sell_volume, Reader>>(
        "sell_volume", "sell_volume($self)\n--\n\nHelper method to calculate total sell volume"),
    no_arguments_def<no_arguments<&OrderBook::spread, Reader>>(
        "spread",
        "spread($self)\n--\n\nCalculate the current spread in the order book.\n"
        "Returns None if there are no orders on either side.\n"
        "The spread is returned in the same units as the prices (not ticks)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getsets[] = {
    getter_def<getter<&OrderBook::buy_orders, Reader>>("buy_orders", "Get a list of all buy orders"),
    getter_def<getter<&OrderBook::sell_orders, Reader>>("sell_orders", "Get a list of all sell orders"),
    getter_def<getter<&OrderBook::tick_size, Reader>>("tick_size", "Return the tick size for informational purposes"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern const ClassDefinition order_book_class{
    "OrderBook",
    "builtins.OrderBook",
    "Represents the main order book for matching buy and sell orders.",
    "(tick_size=0.01)",
    sizeof(Instance<OrderBook>),
    slots.data(),
    methods,
    getsets,
    nullptr,
    Construct::from_vector,
};

}  // namespace quoranth::py
