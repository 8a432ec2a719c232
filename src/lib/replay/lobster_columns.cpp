#include "lib/replay/lobster_columns.hpp"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace quoranth::replay {

namespace {

constexpr std::int64_t price_units_per_cent = 100;
// Sizes become the book's quantities, doubles, exact up to 2^53.
constexpr std::int64_t max_exact_size = std::int64_t{1} << 53;
// LOBSTER's placeholders for an empty level in orderbook files.
constexpr std::int64_t no_ask = 9'999'999'999;
constexpr std::int64_t no_bid = -9'999'999'999;

constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A cursor over lines that all end in "\n", reading one field at a time.
// Every digit run stops at a comma or a line end before the buffer's last
// "\n", so the readers need no bounds checks: only line_end() steps over a
// "\n", and the caller stops at the end of the buffer. Each reader accepts
// only the plain form and fails on anything else (spaces, signs other than a
// leading minus, exponents), leaving the judgement to the careful reader.
class Fields {
public:
    explicit Fields(std::string_view lines) : at_(lines.data()), end_(lines.data() + lines.size()) {}

    bool done() const noexcept { return at_ == end_; }

    // "-"? digits, within the signed 64-bit range.
    bool integer(std::int64_t& value) noexcept {
        const char* p = at_;
        const bool negative = *p == '-';
        p += negative;
        const char* digits = p;
        std::uint64_t magnitude = 0;
        for (unsigned digit; (digit = static_cast<unsigned>(*p - '0')) < 10; ++p) magnitude = magnitude * 10 + digit;
        if (p == digits) return false;
        // Up to 19 digits fit 64 unsigned bits; longer ones are read again, checked.
        if (p - digits > 19 && std::from_chars(digits, p, magnitude).ec != std::errc()) return false;
        if (magnitude > (std::uint64_t{1} << 63) - (negative ? 0 : 1)) return false;
        value = negative ? static_cast<std::int64_t>(0 - magnitude) : static_cast<std::int64_t>(magnitude);
        at_ = p;
        return true;
    }

    // "-"? digits ("." digits)?, read with correct rounding.
    bool decimal(double& value) noexcept {
        const char* start = at_;
        const char* p = at_;
        const bool negative = *p == '-';
        p += negative;
        std::uint64_t mantissa = 0;
        const char* first = p;
        for (unsigned digit; (digit = static_cast<unsigned>(*p - '0')) < 10; ++p) mantissa = mantissa * 10 + digit;
        const char* whole_end = p;
        if (p == first) return false;
        const char* fraction = p;
        if (*p == '.') {
            fraction = ++p;
            for (unsigned digit; (digit = static_cast<unsigned>(*p - '0')) < 10; ++p) mantissa = mantissa * 10 + digit;
            if (p == fraction) return false;
        }
        at_ = p;
        const auto digits = (whole_end - first) + (p - fraction);
        const auto fraction_digits = p - fraction;
        // Up to 15 digits and 22 fraction digits, the mantissa and the power
        // of ten are exact doubles, and one division rounds correctly.
        if (digits <= 15 && fraction_digits <= 22) {
            const double magnitude = static_cast<double>(mantissa) / powers_of_ten[fraction_digits];
            value = negative ? -magnitude : magnitude;
            return true;
        }
        const auto [stop, error] = std::from_chars(start, p, value, std::chars_format::fixed);
        return error == std::errc() && stop == p && std::isfinite(value);
    }

    // Anything up to the end of the line, without a comma (an attribution).
    bool text() noexcept {
        while (*at_ != ',' && *at_ != '\n' && *at_ != '\r') ++at_;
        return true;
    }

    bool comma() noexcept {
        if (*at_ != ',') return false;
        ++at_;
        return true;
    }

    // "\n" or "\r\n".
    bool line_end() noexcept {
        at_ += *at_ == '\r';
        if (*at_ != '\n') return false;
        ++at_;
        return true;
    }

private:
    const char* at_;
    const char* end_;
};

// Reads every line of `text` with `read_line` (a Fields& -> bool), in order.
// The lines up to the last "\n" are read in place; a last line without one is
// read from a copy that has it. False as soon as a line is not plain.
template <typename ReadLine>
bool read_lines(std::string_view text, ReadLine&& read_line) {
    const std::size_t last_break = text.rfind('\n');
    const std::size_t whole = last_break == std::string_view::npos ? 0 : last_break + 1;
    for (Fields lines(text.substr(0, whole)); !lines.done();) {
        if (!read_line(lines)) return false;
    }
    if (whole == text.size()) return true;
    const std::string last = std::string(text.substr(whole)) + '\n';
    Fields line(last);
    return read_line(line) && line.done();
}

// One side of an orderbook level as the exchange writes it: a size from 0 to
// 2^53, and, when it holds shares short of the placeholder, a price in whole
// cents.
bool plain_side(std::int64_t price, std::int64_t size, bool ask) noexcept {
    if (size < 0 || size > max_exact_size) return false;
    const bool empty = size == 0 || (ask ? price >= no_ask : price <= no_bid);
    return empty || (price > 0 && price % price_units_per_cent == 0);
}

// At least as many lines as the text can hold, so that columns never grow:
// the shortest plain line ("0,5,0,0,0,1\n") has 12 characters. Reserved
// memory that is never written costs no physical pages.
std::size_t line_bound(std::string_view text) { return text.size() / 12 + 1; }

}  // namespace

bool plain_message(double time, std::int64_t type, std::int64_t size, std::int64_t price,
                   std::int64_t direction) noexcept {
    if (!std::isfinite(time) || type < 1 || type > 7 || (direction != 1 && direction != -1)) return false;
    // Hidden executions, cross trades and halts (5 to 7) may carry any size and price.
    const bool changes_book = type <= 4;
    return !changes_book ||
           (size > 0 && size <= max_exact_size && price > 0 && price % price_units_per_cent == 0);
}

std::optional<std::size_t> first_unplain_message(std::span<const double> times, std::span<const std::int64_t> types,
                                                 std::span<const std::int64_t> sizes,
                                                 std::span<const std::int64_t> prices,
                                                 std::span<const std::int64_t> directions) noexcept {
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (!plain_message(times[i], types[i], sizes[i], prices[i], directions[i])) return i;
    }
    return std::nullopt;
}

std::optional<MessageColumns> read_message_columns(std::string_view text, int width) {
    if (width != 6 && width != 7) return std::nullopt;
    MessageColumns columns;
    const std::size_t bound = line_bound(text);
    columns.times.reserve(bound);
    columns.types.reserve(bound);
    columns.order_ids.reserve(bound);
    columns.sizes.reserve(bound);
    columns.prices.reserve(bound);
    columns.directions.reserve(bound);

    const bool plain = read_lines(text, [&](Fields& fields) {
        double time;
        std::int64_t type, order_id, size, price, direction;
        const bool read = fields.decimal(time) && fields.comma() && fields.integer(type) && fields.comma() &&
                          fields.integer(order_id) && fields.comma() && fields.integer(size) && fields.comma() &&
                          fields.integer(price) && fields.comma() && fields.integer(direction) &&
                          (width == 6 || (fields.comma() && fields.text())) && fields.line_end();
        if (!read || !plain_message(time, type, size, price, direction)) return false;
        columns.times.push_back(time);
        columns.types.push_back(static_cast<std::int8_t>(type));
        columns.order_ids.push_back(order_id);
        columns.sizes.push_back(size);
        columns.prices.push_back(price);
        columns.directions.push_back(static_cast<std::int8_t>(direction));
        return true;
    });
    if (!plain || columns.types.empty()) return std::nullopt;
    return columns;
}

std::optional<std::vector<platform::LargePageVector<std::int64_t>>> read_integer_columns(std::string_view text,
                                                                                       int width, int kept) {
    if (width <= 0 || kept < 0 || kept > width || kept % 4 != 0) return std::nullopt;
    std::vector<platform::LargePageVector<std::int64_t>> columns(static_cast<std::size_t>(kept));
    const std::size_t bound = line_bound(text);
    for (auto& column : columns) column.reserve(bound);

    std::size_t rows = 0;
    const bool plain = read_lines(text, [&](Fields& fields) {
        for (int column = 0; column < width; ++column) {
            std::int64_t value;
            if ((column > 0 && !fields.comma()) || !fields.integer(value)) return false;
            if (column < kept) columns[static_cast<std::size_t>(column)].push_back(value);
        }
        for (std::size_t level = 0; level < columns.size(); level += 4) {
            const auto side = [&](std::size_t column, bool ask) {
                return plain_side(columns[column].back(), columns[column + 1].back(), ask);
            };
            if (!side(level, true) || !side(level + 2, false)) return false;
        }
        ++rows;
        return fields.line_end();
    });
    if (!plain || rows == 0) return std::nullopt;
    return columns;
}

}  // namespace quoranth::replay
