// Writes a book's state in the snapshot format (book_snapshot.hpp).
#include <bit>
#include <utility>
#include <vector>

#include "lib/book_snapshot.hpp"
#include "lib/byte_codec.hpp"
#include "lib/crc32.hpp"

namespace quoranth {

namespace {

void write_id(ByteWriter& out, const OrderId& id) {
    std::uint8_t bytes[16];
    // Every id in a book was minted or checked on the way in.
    if (!order_id_bytes(id.view(), bytes)) fail_internal("an order id in the book is not UUID text");
    out.raw(bytes, sizeof bytes);
}

bool same_bits(double a, double b) noexcept { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

}  // namespace

std::string write_book_snapshot(const OrderBook& book) {
    const RestingRecords& records = book.records_;
    const KeyedOrders& keyed = book.keyed_;
    using Ref = RestingRecords::Ref;
    using Handle = RestingRecords::Handle;

    // The key a hot entry is written with: its batch key, while the key still names it.
    const auto key_of = [&](Handle entry) -> std::int64_t {
        const std::int64_t key = keyed.key_of_entry(entry);
        if (key == no_key) return no_key;
        const OrderId* named = keyed.id_of(key);
        return named != nullptr && *named == records.record(entry).id ? key : no_key;
    };

    ByteWriter out;
    out.reserve(64 + 36 * book.resting_count() + 42 * book.cold_.size());
    out.raw("QRBK\x01", 5);
    out.f64(book.tick_size_);
    out.varint(records.entry_count());
    out.varint(book.resting_count());

    std::vector<bool> met(records.entry_bound());
    for (const SideLevels* side : {&book.buys_, &book.sells_}) {
        out.varint(side->size());
        std::int64_t previous = 0;
        side->ascending([&](std::int64_t price, const Level& level) {
            out.varint(static_cast<std::uint64_t>(price) - static_cast<std::uint64_t>(previous));
            previous = price;
            std::uint64_t count = 0;
            for (Ref ref = level.head; ref != no_handle; ref = records.next(ref)) ++count;
            out.varint(count);
            for (Ref ref = level.head; ref != no_handle; ref = records.next(ref)) {
                const Handle entry = records.entry_of(ref);
                const Order& copy = records.record(entry);
                const double quantity = records.quantity(ref);
                if (met[entry]) {
                    out.u8(0x01);
                    write_id(out, copy.id);
                    out.f64(quantity);
                    continue;
                }
                met[entry] = true;
                const bool differs = !copy.is_open() || !same_bits(copy.quantity, quantity);
                const std::int64_t key = key_of(entry);
                out.u8(static_cast<std::uint8_t>((differs ? 0x02 : 0) | (key != no_key ? 0x04 : 0)));
                write_id(out, copy.id);
                out.u64(copy.timestamp);
                out.f64(quantity);
                if (differs) {
                    out.f64(copy.quantity);
                    out.u8(static_cast<std::uint8_t>(copy.status));
                }
                if (key != no_key) out.zigzag(key);
            }
            return true;
        });
    }

    out.varint(book.cold_.size());
    book.cold_.for_each([&](const OrderBook::ColdEntry& entry) {
        const Order& order = entry.record;
        write_id(out, order.id);
        out.u8(static_cast<std::uint8_t>(static_cast<unsigned>(order.side) | static_cast<unsigned>(order.status) << 1));
        out.varint(static_cast<std::uint64_t>(order.price_in_ticks));
        out.f64(order.quantity);
        out.u64(order.timestamp);
    });

    // Keys written with their records above are left out here.
    std::vector<std::pair<std::int64_t, OrderId>> keys;
    keyed.for_each_key([&](std::int64_t key, const OrderId& id) {
        const Handle entry = key == no_key ? no_handle : records.find(id.view());
        if (entry == no_handle || key_of(entry) != key) keys.emplace_back(key, id);
    });
    out.varint(keys.size());
    for (const auto& [key, id] : keys) {
        out.zigzag(key);
        write_id(out, id);
    }

    out.u32(crc32(out.view()));
    return out.take();
}

}  // namespace quoranth
