#include "lib/order.hpp"
#include "text/number_forms.hpp"
#include "text/object_texts.hpp"

namespace quoranth::text {

std::string order_text(const Order& order) {
    std::string out;
    out.reserve(96);
    out += '[';
    out += side_name(order.side);
    out += ' ';
    append_plain(out, order.quantity);
    out += " @ ";
    append_int(out, order.price_in_ticks);
    out += "] [";
    out += order.id.view();
    out += ", placed at ";
    append_uint(out, order.timestamp);
    out += ']';
    return out;
}

}  // namespace quoranth::text
