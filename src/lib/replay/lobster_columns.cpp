#include "lib/replay/lobster_columns.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace quoranth::replay {

namespace {

constexpr std::int64_t price_units_per_cent = 100;

constexpr double powers_of_ten[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A cursor over the text that reads one field at a time. Each reader accepts
// only the plain form and fails on anything else (spaces, signs other than a
// leading minus, exponents), leaving the judgement to the careful reader.
class Fields {
public:
    explicit Fields(std::string_view text) : at_(text.data()), end_(text.data() + text.size()) {}

    bool done() const noexcept { return at_ == end_; }

    // "-"? digits, within the signed 64-bit range.
    bool integer(std::int64_t& value) noexcept {
        const char* p = at_;
        const bool negative = p != end_ && *p == '-';
        if (negative) ++p;
        const char* digits = p;
        std::uint64_t magnitude = 0;
        while (p != end_ && static_cast<unsigned>(*p - '0') < 10) magnitude = magnitude * 10 + static_cast<unsigned>(*p++ - '0');
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
        const bool negative = p != end_ && *p == '-';
        if (negative) ++p;
        std::uint64_t mantissa = 0;
        int digits = 0, fraction_digits = 0;
        const char* first = p;
        while (p != end_ && static_cast<unsigned>(*p - '0') < 10) {
            mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
            ++digits;
        }
        if (p == first) return false;
        if (p != end_ && *p == '.') {
            const char* fraction = ++p;
            while (p != end_ && static_cast<unsigned>(*p - '0') < 10) {
                mantissa = mantissa * 10 + static_cast<unsigned>(*p++ - '0');
                ++digits;
            }
            fraction_digits = static_cast<int>(p - fraction);
            if (fraction_digits == 0) return false;
        }
        at_ = p;
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
        while (at_ != end_ && *at_ != ',' && *at_ != '\n' && *at_ != '\r') ++at_;
        return true;
    }

    bool comma() noexcept { return at_ != end_ && *at_++ == ','; }

    // "\n", "\r\n", or the end of the text.
    bool line_end() noexcept {
        if (at_ == end_) return true;
        if (*at_ == '\r') ++at_;
        return at_ != end_ && *at_++ == '\n';
    }

private:
    const char* at_;
    const char* end_;
};

// A rough count of lines, so that columns grow once.
std::size_t line_estimate(std::string_view text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

}  // namespace

std::optional<MessageColumns> read_message_columns(std::string_view text, int width) {
    if (width != 6 && width != 7) return std::nullopt;
    MessageColumns columns;
    const std::size_t estimate = line_estimate(text);
    columns.times.reserve(estimate);
    columns.types.reserve(estimate);
    columns.order_ids.reserve(estimate);
    columns.sizes.reserve(estimate);
    columns.prices.reserve(estimate);
    columns.directions.reserve(estimate);

    Fields fields(text);
    while (!fields.done()) {
        double time;
        std::int64_t type, order_id, size, price, direction;
        const bool plain = fields.decimal(time) && fields.comma() && fields.integer(type) && fields.comma() &&
                           fields.integer(order_id) && fields.comma() && fields.integer(size) && fields.comma() &&
                           fields.integer(price) && fields.comma() && fields.integer(direction) &&
                           (width == 6 || (fields.comma() && fields.text())) && fields.line_end();
        if (!plain) return std::nullopt;
        if (type < 1 || type > 7 || (direction != 1 && direction != -1)) return std::nullopt;
        // Hidden executions, cross trades and halts (5 to 7) may carry any size and price.
        const bool changes_book = type <= 4;
        if (changes_book && (size <= 0 || price <= 0 || price % price_units_per_cent != 0)) return std::nullopt;
        columns.times.push_back(time);
        columns.types.push_back(static_cast<std::int8_t>(type));
        columns.order_ids.push_back(order_id);
        columns.sizes.push_back(size);
        columns.prices.push_back(price);
        columns.directions.push_back(static_cast<std::int8_t>(direction));
    }
    if (columns.types.empty()) return std::nullopt;
    return columns;
}

std::optional<std::vector<std::vector<std::int64_t>>> read_integer_columns(std::string_view text, int width,
                                                                           int kept) {
    if (width <= 0 || kept < 0 || kept > width) return std::nullopt;
    std::vector<std::vector<std::int64_t>> columns(static_cast<std::size_t>(kept));
    const std::size_t estimate = line_estimate(text);
    for (auto& column : columns) column.reserve(estimate);

    Fields fields(text);
    std::size_t rows = 0;
    while (!fields.done()) {
        for (int column = 0; column < width; ++column) {
            std::int64_t value;
            if ((column > 0 && !fields.comma()) || !fields.integer(value)) return std::nullopt;
            if (column < kept) columns[static_cast<std::size_t>(column)].push_back(value);
        }
        if (!fields.line_end()) return std::nullopt;
        ++rows;
    }
    if (rows == 0) return std::nullopt;
    return columns;
}

}  // namespace quoranth::replay
