// Reads the snapshot format (book_snapshot.hpp) into a new book, checking
// every field and rebuilding the state through the engine's own operations.
#include <cmath>
#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "lib/book_snapshot.hpp"
#include "lib/byte_codec.hpp"
#include "lib/crc32.hpp"
#include "lib/order_state.hpp"

namespace quoranth {

namespace {

constexpr std::size_t header_bytes = 5;
constexpr std::size_t checksum_bytes = 4;
// The fewest bytes each item can take, for checking counts against the data.
constexpr std::size_t min_first_record = 1 + 16 + 8 + 8;
constexpr std::size_t min_further_record = 1 + 16 + 8;
constexpr std::size_t min_level = 2 + min_first_record;
constexpr std::size_t min_cold_entry = 16 + 1 + 1 + 8 + 8;
constexpr std::size_t min_key = 1 + 16;

constexpr std::uint8_t further_tag = 0x01, differs_tag = 0x02, keyed_tag = 0x04;

}  // namespace

class BookSnapshotReader {
public:
    BookSnapshotReader(ByteReader& in, OrderBook& book) noexcept : in_(in), book_(book) {}

    void read() {
        entries_left_ = in_.count(min_first_record);
        records_left_ = in_.count(min_further_record);
        if (records_left_ < entries_left_) in_.fail("fewer records than orders");
        book_.records_.reserve_entry(entries_left_);
        read_side(OrderType::Buy);
        read_side(OrderType::Sell);
        if (entries_left_ != 0 || records_left_ != 0) in_.fail("fewer orders than counted");
        const auto bid = book_.buys_.best(), ask = book_.sells_.best();
        if (bid && ask && bid->first >= ask->first) in_.fail("crossed book");
        read_cold_entries();
        read_keys();
        if (in_.left() != 0) in_.fail("trailing bytes");
    }

private:
    using Handle = RestingRecords::Handle;

    void read_side(OrderType side) {
        SideLevels& levels = book_.levels_of(side);
        const std::size_t count = in_.count(min_level);
        std::uint64_t price = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t gap = in_.varint();
            if (gap == 0 || gap > INT64_MAX - price) in_.fail("level prices out of order or range");
            price += gap;
            const std::uint64_t records = in_.varint();
            if (records == 0) in_.fail("an empty level");
            if (records > records_left_) in_.fail("more records than counted");
            levels.prepare(static_cast<std::int64_t>(price));
            Level& level = levels.create(static_cast<std::int64_t>(price));
            read_records(side, static_cast<std::int64_t>(price), level, records);
        }
    }

    // A record as read, before it is placed.
    struct Pending {
        std::uint8_t tag;
        Order copy;       // the index copy (for a further record, only its id)
        double quantity;  // the record's own
        std::uint64_t hash;
        std::int64_t key;
    };

    // Reads the records of a level in batches: each batch is parsed and the
    // index buckets of its ids are prefetched before any is placed, so that
    // the lookups' cache misses overlap.
    void read_records(OrderType side, std::int64_t price, Level& level, std::uint64_t count) {
        constexpr std::uint64_t batch = 16;
        Pending pending[batch];
        for (std::uint64_t done = 0; done < count;) {
            const auto size = static_cast<std::size_t>(std::min(batch, count - done));
            for (std::size_t i = 0; i < size; ++i) {
                parse_record(side, price, pending[i]);
                book_.records_.prefetch(pending[i].hash);
            }
            for (std::size_t i = 0; i < size; ++i) place_record(side, price, level, pending[i]);
            done += size;
        }
    }

    void parse_record(OrderType side, std::int64_t price, Pending& record) {
        record.tag = in_.u8();
        if (record.tag & ~(further_tag | differs_tag | keyed_tag) || (record.tag & further_tag && record.tag != further_tag)) {
            in_.fail("unknown record tag");
        }
        Order& copy = record.copy;
        copy.id = read_id();
        record.hash = hash_order_id(copy.id.view());
        if (record.tag == further_tag) {
            record.quantity = resting_quantity(price);
            return;
        }
        copy.side = side;
        copy.price_in_ticks = price;
        copy.timestamp = in_.u64();
        copy.quantity = record.quantity = resting_quantity(price);
        copy.status = OrderStatus::Open;
        if (record.tag & differs_tag) {
            copy.quantity = in_.f64();
            copy.status = checked(status_from_value, in_.u8());
            checked(check_order_values, price, copy.quantity, copy.status);
        }
        if (record.tag & keyed_tag) record.key = read_key();
    }

    void place_record(OrderType side, std::int64_t price, Level& level, const Pending& record) {
        RestingRecords& records = book_.records_;
        const Handle known = records.find(record.copy.id.view(), record.hash);
        --records_left_;
        if (record.tag == further_tag) {
            if (known == no_handle) in_.fail("a further record of an order not met before");
            const Order& first = records.record(known);
            if (first.side != side || first.price_in_ticks != price) in_.fail("an order rests at two prices");
            records.reserve_extra();
            records.place(known, record.quantity, level);
            return;
        }
        if (known != no_handle) in_.fail("an order's first record twice");
        if (entries_left_ == 0) in_.fail("more orders than counted");
        --entries_left_;
        const Handle entry = records.add_resting_entry(records.free_bucket(record.hash), record.copy, record.hash,
                                                       record.quantity, level);  // reserved in read()
        if (record.tag & keyed_tag) keyed_entries_.emplace_back(record.key, entry);
    }

    void read_cold_entries() {
        const std::size_t count = in_.count(min_cold_entry);
        book_.cold_.reserve(count);
        for (std::size_t i = 0; i < count; ++i) {
            Order order;
            order.id = read_id();
            const std::uint64_t hash = hash_order_id(order.id.view());
            if (book_.records_.find(order.id.view(), hash) != no_handle || book_.cold_.find(order.id.view(), hash) != no_handle) {
                in_.fail("an order id twice");
            }
            const std::uint8_t kinds = in_.u8();
            order.side = checked(side_from_value, kinds & 1);
            order.status = checked(status_from_value, kinds >> 1);
            const std::uint64_t price = in_.varint();
            if (price > INT64_MAX) in_.fail("a price out of range");
            order.price_in_ticks = static_cast<std::int64_t>(price);
            order.quantity = in_.f64();
            order.timestamp = in_.u64();
            checked(check_order_values, order.price_in_ticks, order.quantity, order.status);
            book_.cold_.insert_reserved(OrderBook::ColdEntry{order}, hash);
        }
    }

    // Every key names an order of the book, and every order has at most one;
    // each order's entry records its key, so that the key goes with the order.
    void read_keys() {
        KeyedOrders& keyed = book_.keyed_;
        const std::size_t count = in_.count(min_key);
        if (count + keyed_entries_.size() == 0) return;  // a book that never ran a batch holds nothing here
        keyed.reserve_keys(count + keyed_entries_.size());
        keyed.reserve_entries(book_.records_.entry_bound());
        keyed.reserve_cold(book_.cold_.handle_bound());
        const auto check_new = [&](std::int64_t key) {
            if (keyed.id_of(key) != nullptr) in_.fail("a batch key twice");
        };
        for (const auto& [key, entry] : keyed_entries_) {
            check_new(key);
            keyed.bind(key, book_.records_.record(entry).id);  // reserved
            keyed.set_entry_key(entry, key);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::int64_t key = read_key();
            check_new(key);
            const OrderId id = read_id();
            const std::uint64_t hash = hash_order_id(id.view());
            if (const Handle entry = book_.records_.find(id.view(), hash); entry != no_handle) {
                if (keyed.key_of_entry(entry) != no_key) in_.fail("an order under two batch keys");
                keyed.set_entry_key(entry, key);
            } else if (const Handle cold = book_.cold_.find(id.view(), hash); cold != no_handle) {
                if (keyed.key_of_cold(cold) != no_key) in_.fail("an order under two batch keys");
                keyed.set_cold_key(cold, key);
            } else {
                continue;  // a key that outlived its order, saved before keys went with their orders
            }
            keyed.bind(key, id);
        }
    }

    // Batch keys of orders are never negative.
    std::int64_t read_key() {
        const std::uint64_t key = in_.varint();
        if (key > INT64_MAX) in_.fail("a batch key out of range");
        return static_cast<std::int64_t>(key);
    }

    OrderId read_id() {
        std::uint8_t bytes[16];
        in_.raw(bytes, sizeof bytes);
        return checked(order_id_of, bytes);
    }

    double resting_quantity(std::int64_t price) {
        const double quantity = in_.f64();
        checked(check_order_values, price, quantity, OrderStatus::Open);
        return quantity;
    }

    // Runs a check of order_state.hpp, naming the snapshot in its message.
    template <typename Check, typename... Args>
    std::invoke_result_t<Check, const Args&...> checked(Check check, const Args&... args) {
        try {
            return check(args...);
        } catch (const ValueError& error) {
            in_.fail(error.what());
        }
    }

    ByteReader& in_;
    OrderBook& book_;
    std::size_t entries_left_ = 0;
    std::size_t records_left_ = 0;
    std::vector<std::pair<std::int64_t, Handle>> keyed_entries_;
};

OrderBook read_book_snapshot(std::string_view data) {
    ByteReader header(data, "book snapshot");
    if (data.size() < 4 || std::memcmp(data.data(), "QRBK", 4) != 0) header.fail("not a book snapshot");
    if (data.size() < header_bytes + checksum_bytes) header.fail("truncated");
    if (data[4] != 1) header.fail("unsupported version");
    const std::string_view body = data.substr(0, data.size() - checksum_bytes);
    ByteReader trailer(data.substr(body.size()), "book snapshot");
    if (trailer.u32() != crc32(body)) header.fail("checksum mismatch (corrupted or truncated)");

    ByteReader in(body.substr(header_bytes), "book snapshot");
    const double tick_size = in.f64();
    if (!(tick_size > 0.0) || std::isinf(tick_size)) in.fail("tick_size must be finite and positive");
    OrderBook book(tick_size);
    BookSnapshotReader(in, book).read();
    return book;
}

}  // namespace quoranth
