#include "text/number_forms.hpp"

#include <charconv>
#include <cmath>

namespace quoranth::text {

namespace {

// The widest fixed text: the largest double has 309 integer digits, the
// smallest subnormal needs "0." plus 324 digits.
constexpr std::size_t float_buffer = 400;

// NaN and the infinities have one spelling in both float forms.
bool append_non_finite(std::string& out, double value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

template <typename... Format>
void append_chars(std::string& out, double value, Format... format) {
    char buffer[float_buffer];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format...);
    out.append(buffer, result.ptr);
}

}  // namespace

void append_plain(std::string& out, double value) {
    if (append_non_finite(out, value)) return;
    // The standard library gives the shortest round-trip digits in scientific
    // form ("-1.2345e+23"); lay them out positionally. (Its fixed form would
    // pick the fewest characters instead, which for 1e23 are the exact digits.)
    char buffer[32];
    const char* const end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    const char* p = buffer;
    if (*p == '-') out += *p++;
    char digits[20];
    int count = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    int exponent = 0;
    std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
    if (count == 1 && digits[0] == '0') {  // zero of either sign
        out += '0';
        return;
    }
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, static_cast<std::size_t>(count));
    } else if (point < count) {
        out.append(digits, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits + point, static_cast<std::size_t>(count - point));
    } else {
        out.append(digits, static_cast<std::size_t>(count));
        out.append(static_cast<std::size_t>(point - count), '0');
    }
}

void append_fixed(std::string& out, double value, int digits) {
    if (append_non_finite(out, value)) return;
    append_chars(out, value, std::chars_format::fixed, digits);
}

void append_int(std::string& out, std::int64_t value) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

void append_uint(std::string& out, std::uint64_t value) {
    char buffer[24];
    out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

}  // namespace quoranth::text
