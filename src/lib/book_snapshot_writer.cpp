// Writes a book's state in the snapshot format (book_snapshot.hpp).
#include <algorithm>
#include <bit>
#include <utility>
#include <vector>

#include "lib/book_snapshot.hpp"
#include "lib/byte_codec.hpp"
#include "lib/crc32.hpp"

namespace quoranth {

namespace {

using Ref = RestingRecords::Ref;
using Handle = RestingRecords::Handle;

void write_id(ByteWriter& out, const OrderId& id) {
    std::uint8_t bytes[16];
    // Every id in a book was minted or checked on the way in.
    if (!order_id_bytes(id.view(), bytes)) fail_internal("an order id in the book is not UUID text");
    out.raw(bytes, sizeof bytes);
}

bool same_bits(double a, double b) noexcept { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

// Writes the levels of each side with their records. A level's queue is a
// linked list through records spread over the pools, so levels are walked
// `lanes` at a time, a step of each in turn: their cache misses overlap
// instead of following one another. The records are then written from cache.
class LevelWriter {
public:
    LevelWriter(ByteWriter& out, const RestingRecords& records, const KeyedOrders& keyed)
        : out_(out), records_(records), keyed_(keyed), met_(records.entry_bound()) {}

    void write_side(const SideLevels& side) {
        levels_.clear();
        side.ascending([&](std::int64_t price, const Level& level) {
            levels_.emplace_back(price, &level);
            return true;
        });
        out_.varint(levels_.size());
        std::int64_t previous = 0;
        for (std::size_t start = 0; start < levels_.size(); start += lanes) {
            const std::size_t count = std::min(lanes, levels_.size() - start);
            walk(start, count);
            for (std::size_t lane = 0; lane < count; ++lane) {
                const std::int64_t price = levels_[start + lane].first;
                out_.varint(static_cast<std::uint64_t>(price) - static_cast<std::uint64_t>(previous));
                previous = price;
                out_.varint(queues_[lane].size());
                for (const Ref ref : queues_[lane]) write_record(ref);
            }
        }
    }

private:
    static constexpr std::size_t lanes = 32;

    // Collects the queues of `count` levels from `start` into queues_.
    void walk(std::size_t start, std::size_t count) {
        Ref cursors[lanes];
        for (std::size_t lane = 0; lane < count; ++lane) {
            queues_[lane].clear();
            cursors[lane] = levels_[start + lane].second->head;
        }
        for (bool moving = true; moving;) {
            moving = false;
            for (std::size_t lane = 0; lane < count; ++lane) {
                const Ref ref = cursors[lane];
                if (ref == no_handle) continue;
                queues_[lane].push_back(ref);
                // The id, timestamp and key, written next.
                const Handle entry = records_.entry_of(ref);
                __builtin_prefetch(&records_.record(entry));
                keyed_.prefetch_entry_key(entry);
                cursors[lane] = records_.next(ref);
                moving = true;
            }
        }
    }

    void write_record(Ref ref) {
        const Handle entry = records_.entry_of(ref);
        const Order& copy = records_.record(entry);
        const double quantity = records_.quantity(ref);
        if (met_[entry]) {
            out_.u8(0x01);
            write_id(out_, copy.id);
            out_.f64(quantity);
            return;
        }
        met_[entry] = true;
        const bool differs = !copy.is_open() || !same_bits(copy.quantity, quantity);
        // A hot entry's key is exact: it names the entry's order (batch.hpp).
        const std::int64_t key = keyed_.key_of_entry(entry);
        out_.u8(static_cast<std::uint8_t>((differs ? 0x02 : 0) | (key != no_key ? 0x04 : 0)));
        write_id(out_, copy.id);
        out_.u64(copy.timestamp);
        out_.f64(quantity);
        if (differs) {
            out_.f64(copy.quantity);
            out_.u8(static_cast<std::uint8_t>(copy.status));
        }
        if (key != no_key) out_.varint(static_cast<std::uint64_t>(key));
    }

    ByteWriter& out_;
    const RestingRecords& records_;
    const KeyedOrders& keyed_;
    std::vector<bool> met_;  // entries whose first record is written
    std::vector<std::pair<std::int64_t, const Level*>> levels_;
    std::vector<Ref> queues_[lanes];
};

}  // namespace

std::string write_book_snapshot(const OrderBook& book) {
    const RestingRecords& records = book.records_;
    const KeyedOrders& keyed = book.keyed_;

    ByteWriter out;
    out.reserve(64 + 36 * book.resting_count() + 42 * book.cold_.size());
    out.raw("QRBK\x01", 5);
    out.f64(book.tick_size_);
    out.varint(records.entry_count());
    out.varint(book.resting_count());

    LevelWriter levels(out, records, keyed);
    levels.write_side(book.buys_);
    levels.write_side(book.sells_);

    // The cold store and the key table are hash tables whose layout depends on
    // the order of insertion: both are written sorted, so that one state is
    // always written as the same bytes (a restored book writes what it was read from).
    std::vector<std::pair<const Order*, Handle>> cold;
    cold.reserve(book.cold_.size());
    book.cold_.for_each([&](Handle handle, const OrderBook::ColdEntry& entry) { cold.emplace_back(&entry.record, handle); });
    std::sort(cold.begin(), cold.end(),
              [](const auto& a, const auto& b) { return a.first->id.view() < b.first->id.view(); });
    out.varint(cold.size());
    // Every key names an order that the hot index or the cold store holds,
    // and that order's entry records the key (order_book.hpp): the keys of
    // resting orders went out with their records, those of filled ones
    // follow. A cold entry's key counts only while the key still names it.
    std::vector<std::pair<std::int64_t, const OrderId*>> keys;
    for (const auto& [written, handle] : cold) {
        const Order& order = *written;
        write_id(out, order.id);
        out.u8(static_cast<std::uint8_t>(static_cast<unsigned>(order.side) | static_cast<unsigned>(order.status) << 1));
        out.varint(static_cast<std::uint64_t>(order.price_in_ticks));
        out.f64(order.quantity);
        out.u64(order.timestamp);
        const std::int64_t key = keyed.key_naming(keyed.key_of_cold(handle), order.id.view());
        if (key != no_key) keys.emplace_back(key, &order.id);
    }

    std::sort(keys.begin(), keys.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.varint(keys.size());
    for (const auto& [key, id] : keys) {
        out.varint(static_cast<std::uint64_t>(key));
        write_id(out, *id);
    }

    out.u32(crc32(out.view()));
    return out.take();
}

}  // namespace quoranth
