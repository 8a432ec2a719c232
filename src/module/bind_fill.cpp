// Fill: construction from any five values, attributes, repr.
#include "module/call_frame.hpp"
#include "text/object_texts.hpp"

namespace quoranth::py {

namespace {

constexpr Parameters new_params{"Fill", "__new__", 5, {"quantity", "price", "buy_id", "sell_id", "timestamp"}};

// The identifiers are borrowed for the call and copied once, into the record.
Fill make_fill(double quantity, double price, std::string_view buy_id, std::string_view sell_id,
               std::uint64_t timestamp) {
    return Fill{quantity, price, SmallText(buy_id), SmallText(sell_id), timestamp};
}

double fill_quantity(const Fill& fill) { return fill.quantity; }
double fill_price(const Fill& fill) { return fill.price; }
std::string_view fill_buy_id(const Fill& fill) { return fill.buy_id; }
std::string_view fill_sell_id(const Fill& fill) { return fill.sell_id; }
std::uint64_t fill_timestamp(const Fill& fill) { return fill.timestamp; }

using Construct = Constructor<make_fill, new_params, DoubleArg, DoubleArg, TextViewArg, TextViewArg, UInt64Arg>;

std::vector<PyType_Slot> slots = {
    slot(Py_tp_new, Construct::from_tuple),
    slot(Py_tp_repr, unary<text::fill_text, Shared<Fill>>),
    slot(Py_tp_dealloc, release_instance<Fill>),
    {0, nullptr},
};

PyGetSetDef getsets[] = {
    getter_def<getter<fill_quantity, Shared<Fill>>>("quantity", "Getter for the quantity filled."),
    getter_def<getter<fill_price, Shared<Fill>>>("price", "Getter for the fill price."),
    getter_def<getter<fill_buy_id, Shared<Fill>>>("buy_id", "Getter for the buy order ID."),
    getter_def<getter<fill_sell_id, Shared<Fill>>>("sell_id", "Getter for the sell order ID."),
    getter_def<getter<fill_timestamp, Shared<Fill>>>("timestamp", "Getter for the fill timestamp."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

extern const ClassDefinition fill_class{
    "Fill",
    "builtins.Fill",
    "Represents a match (fill) between two orders.\n"
    "Tracks details such as the quantity, price, and the involved order IDs.",
    "(quantity, price, buy_id, sell_id, timestamp)",
    sizeof(Instance<Fill>),
    slots.data(),
    nullptr,
    getsets,
    nullptr,
    Construct::from_vector,
};

}  // namespace quoranth::py
