#pragma once
// Turning LOBSTER messages into operations on one book, one per message, as
// columns that a batch call on the book (or a loop of per-order calls)
// carries out alike. Orders are named by integer keys: a message's new order
// gets the message's index; the opening order of a visible level gets the key
// the caller chose for it.
//
//   new limit order (1)   Add the order under its key.
//   partial cancel (2)    Reduce the order by the size, in place.
//   deletion (3)          Cancel the order; for an opening order (which stands
//                         for all the orders that rested at its level) Reduce it
//                         by the deleted size instead.
//   visible execution (4) Take: an order of the executed size at that price from
//                         the other side, which trades by the book's own
//                         priority and whose remainder is dropped; TakeThenCancel
//                         when the exchange's order is used up by it, so that its
//                         record (filled, or holding what the exchange no longer
//                         has) goes too. The key names the order the exchange
//                         executed.
//   5, 6, 7, and messages naming an order the replay cannot place: Nothing.
//
// A message naming an order not added in the file rested before the file began:
// it acts on the opening order of its side and price when there is one.
#include <cstdint>
#include <span>
#include <vector>

#include "lib/platform/memory.hpp"

namespace quoranth::replay {

enum class Operation : std::int8_t { Nothing = 0, Add = 1, Reduce = 2, Cancel = 3, Take = 4, TakeThenCancel = 5 };

constexpr std::int8_t buy_side = 0;
constexpr std::int8_t sell_side = 1;
constexpr std::int64_t no_key = -1;
constexpr std::int64_t price_units_per_tick = 100;  // LOBSTER prices are dollars x 10,000; a tick is a cent

// The order standing for one visible level before the first message.
struct OpeningOrder {
    std::int64_t key;
    std::int8_t side;
    std::int64_t ticks;
};

// A message file's columns, as read (see lobster_columns.hpp).
struct Messages {
    std::span<const std::int8_t> types;
    std::span<const std::int64_t> order_ids;
    std::span<const std::int64_t> sizes;
    std::span<const std::int64_t> prices;
    std::span<const std::int8_t> directions;
};

// One operation per message: `keys` names the order it acts on; `sides`,
// `ticks` and `quantities` describe the order added (for Take, the stand-in
// from the other side).
struct Plan {
    platform::LargePageVector<std::int8_t> operations;
    platform::LargePageVector<std::int64_t> keys;
    platform::LargePageVector<std::int8_t> sides;
    platform::LargePageVector<std::int64_t> ticks;
    platform::LargePageVector<std::int64_t> quantities;
    std::int64_t unplaced = 0;  // messages naming an order the replay neither holds nor can place
};

// All columns of `messages` must have the same length.
Plan plan_messages(const Messages& messages, std::span<const OpeningOrder> opening);

}  // namespace quoranth::replay
