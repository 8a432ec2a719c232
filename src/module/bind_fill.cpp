// Fill: construction from any five values, attributes, repr, pickle and copy.
#include "module/call_frame.hpp"
#include "module/snapshots.hpp"
#include "text/object_texts.hpp"

namespace quoranth::py {

namespace {

// The identifiers are borrowed for the call and copied once, into the record.
Fill make_fill(double quantity, double price, std::string_view buy_id, std::string_view sell_id,
               std::uint64_t timestamp) {
    return Fill{quantity, price, SmallText(buy_id), SmallText(sell_id), timestamp};
}

}  // namespace

const ClassDefinition fill_class{
    .name = "Fill",
    .doc = "Represents a match (fill) between two orders.\n"
           "Tracks details such as the quantity, price, and the involved order IDs.",
    .text_signature = "(quantity, price, buy_id, sell_id, timestamp)",
    .layout = layout_of<Fill>,
    .construct = constructor<make_fill, Arg<"quantity", Double>, Arg<"price", Double>, Arg<"buy_id", Text>,
                             Arg<"sell_id", Text>, Arg<"timestamp", UInt64>>,
    .repr = unary_slot<text::fill_text, Fill>,
    .methods = {reduce_row<Fill>(), copy_row<Fill>(), deep_copy_row<Fill>()},
    .attributes = {
        attribute<&Fill::quantity>("quantity", "Getter for the quantity filled."),
        attribute<&Fill::price>("price", "Getter for the fill price."),
        attribute<&Fill::buy_id>("buy_id", "Getter for the buy order ID."),
        attribute<&Fill::sell_id>("sell_id", "Getter for the sell order ID."),
        attribute<&Fill::timestamp>("timestamp", "Getter for the fill timestamp."),
    },
};

}  // namespace quoranth::py
