#include "lib/order_book.hpp"
#include "text/number_forms.hpp"
#include "text/object_texts.hpp"

namespace quoranth::text {

namespace {

// "<front quantity> @ <level price in price units>", or "None".
void append_quote(std::string& out, const std::optional<Quote>& quote, double tick_size) {
    if (!quote) {
        out += "None";
        return;
    }
    append_fixed(out, quote->quantity, 2);
    out += " @ ";
    append_plain(out, static_cast<double>(quote->price_in_ticks) * tick_size);
}

}  // namespace

std::string book_summary_text(const OrderBook& book) {
    std::string out;
    out.reserve(128);
    out += "Best Bid: ";
    append_quote(out, book.best_bid(), book.tick_size());
    out += ", Best Ask: ";
    append_quote(out, book.best_ask(), book.tick_size());
    out += " (Spread: ";
    if (const auto spread = book.spread()) append_fixed(out, *spread, 4);
    else out += "None";
    out += ")\nOpen Buy Volume: ";
    append_fixed(out, book.buy_volume(), 2);
    out += ", Open Sell Volume: ";
    append_fixed(out, book.sell_volume(), 2);
    return out;
}

}  // namespace quoranth::text
