#pragma once
// A book's whole state as bytes, and back: what pickle and copy use.
//
// Format, version 1 (little-endian; "varint" is LEB128; an id is the 16
// bytes of its UUID, its text being their 8-4-4-4-12 lowercase hex form):
//
//   "QRBK" 0x01                     magic and version
//   f64 tick_size
//   varint entries, varint records  identifiers that rest, records resting
//   per side, Buy then Sell:
//     varint levels
//     per level, ascending price:
//       varint price                the first level's price, then the gap to
//                                   the level before (>= 1)
//       varint count                records in the level (>= 1)
//       per record, head of the queue first:
//         u8 tag                    0x01 a further record of an id met
//                                   before in this level; else its first:
//                                   0x02 its index copy differs, 0x04 keyed
//         further: id, f64 quantity
//         first:   id, u64 timestamp, f64 quantity
//                  [0x02: f64 copy's quantity, u8 copy's status]
//                  [0x04: varint batch key of the order]
//   varint cold entries             orders that rest nowhere (filled, or
//                                   written by update_order alone)
//     per entry: id, u8 side | status << 1, varint price,
//                f64 quantity, u64 timestamp
//   varint keys                     batch keys not given with a record
//     per key: varint key, id
//   u32 CRC-32 of every byte before it
//
// A record's side and price are its level's; an index copy that does not
// differ is the record itself, Open. About 34 bytes per resting order.
//
// Reading checks everything (ValueError, "book snapshot: ..."), builds the
// book through the engine's own operations, so that every invariant holds by
// construction, and refuses what no book can hold: a crossed or empty level, a
// price out of order, an id twice, a further record without a first or at
// another price, an order no constructor or match can make, a key twice or
// past the int64 range (batch keys are never negative), trailing bytes. Counts are checked against the bytes left before anything
// is reserved for them, so memory stays proportional to the data.
#include <string>
#include <string_view>

#include "lib/order_book.hpp"

namespace quoranth {

std::string write_book_snapshot(const OrderBook& book);
OrderBook read_book_snapshot(std::string_view data);

}  // namespace quoranth
