#pragma once
// Reading LOBSTER files (comma-separated text) into columns, fast, for the
// common case: every line in the plain form the exchange writes. Anything else
// makes a reader return nothing, and the caller's careful reader, which knows
// how to name the line and the problem, takes over. Prices are in LOBSTER
// units (US dollars times 10,000).
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "lib/platform/memory.hpp"

namespace quoranth::replay {

// A message file, one entry per message in file order.
struct MessageColumns {
    platform::LargePageVector<double> times;
    platform::LargePageVector<std::int8_t> types;
    platform::LargePageVector<std::int64_t> order_ids;
    platform::LargePageVector<std::int64_t> sizes;
    platform::LargePageVector<std::int64_t> prices;
    platform::LargePageVector<std::int8_t> directions;
};

// The data lines of a message file (the text after any header line): each
// with `width` fields (6, or 7 with a trailing attribution column, which is
// skipped), ending in "\n" or "\r\n" (the last one may end without). Times
// are plain decimals ("34200.01746"), the type 1 to 7, the id, size and price
// plain integers, the direction 1 or -1; for the types that change the visible
// book (1 to 4) the size must be positive and the price a positive whole
// number of cents, the size at most 2^53 (exact as a double). Nothing if any
// line is otherwise.
std::optional<MessageColumns> read_message_columns(std::string_view text, int width);

// The values of one message as read_message_columns takes them: a finite time,
// the type 1 to 7, the direction 1 or -1, and for the types that change the
// visible book (1 to 4) a size from 1 to 2^53 and a positive whole number of
// cents as the price.
bool plain_message(double time, std::int64_t type, std::int64_t size, std::int64_t price,
                   std::int64_t direction) noexcept;

// The first message of columns made elsewhere (of one length) whose values are
// not plain, if any: what no file read here could hold.
std::optional<std::size_t> first_unplain_message(std::span<const double> times, std::span<const std::int64_t> types,
                                                 std::span<const std::int64_t> sizes,
                                                 std::span<const std::int64_t> prices,
                                                 std::span<const std::int64_t> directions) noexcept;

// The first `kept` columns (whole levels: a multiple of 4) of rows of `width`
// plain integers (orderbook files); every field is checked to be one, and
// each side of a kept level to be as the exchange writes it: a size from 0 to
// 2^53 and, for one with shares short of the placeholder price (9999999999 for
// an ask, -9999999999 for a bid), a positive whole number of cents. Nothing if
// any line is otherwise.
std::optional<std::vector<platform::LargePageVector<std::int64_t>>> read_integer_columns(std::string_view text,
                                                                                       int width, int kept);

}  // namespace quoranth::replay
