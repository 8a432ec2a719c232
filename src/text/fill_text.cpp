#include "lib/fill.hpp"
#include "text/number_forms.hpp"
#include "text/object_texts.hpp"

namespace quoranth::text {

std::string fill_text(const Fill& fill) {
    std::string out;
    out.reserve(128);
    out += '[';
    append_fixed(out, fill.quantity, 2);
    out += " @ ";
    append_fixed(out, fill.price, 2);
    out += "] Buy: ";
    out += fill.buy_id.view();
    out += ", Sell: ";
    out += fill.sell_id.view();
    out += ", Filled at ";
    append_uint(out, fill.timestamp);
    return out;
}

}  // namespace quoranth::text
