#pragma once
#include <cstdint>
#include <string>

namespace quoranth::text {

// Shortest digits that read back as the same double, written positionally
// (never an exponent): 10.0 -> "10", 1e-5 -> "0.00001", NaN -> "NaN".
void append_plain(std::string& out, double value);

// The exact value rounded half-to-even to `digits` fraction digits:
// 2.675 -> "2.67", -0.0 -> "-0.00", inf -> "inf".
void append_fixed(std::string& out, double value, int digits);

void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

}  // namespace quoranth::text
