// Native tests of the engine: failures injected into add (clock and memory)
// and into reading a snapshot (memory) at every point, the ladder's window
// against a plain ordered map, the level bitmap against a scan, pool slots
// across chunks, a filtered identifier table against a set, large-page
// arrays, the clock arithmetic at its limits, wall clock readings against the
// system's, the injected sources, and the keystream behind order ids against
// published blocks. Run
// by `make test` and `make sanitize`; prints "N passed, N failed".
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "lib/book_snapshot.hpp"
#include "lib/chacha20.hpp"
#include "lib/errors.hpp"
#include "lib/level_bitmap.hpp"
#include "lib/order_book.hpp"
#include "lib/platform/counter_clock.hpp"
#include "lib/platform/memory.hpp"
#include "lib/platform/wall_clock.hpp"
#include "text/object_texts.hpp"

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

// ---------------------------------------------------------------------------
// Allocation failure on demand: the n-th allocation from now throws. (The
// replaced operator new allocates with malloc, so delete frees with free.)

namespace {
long allocations_left = -1;  // -1: never fail
}

void* operator new(std::size_t size) {
    if (allocations_left == 0) throw std::bad_alloc();
    if (allocations_left > 0) --allocations_left;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void* operator new(std::size_t size, std::align_val_t alignment) {
    if (allocations_left == 0) throw std::bad_alloc();
    if (allocations_left > 0) --allocations_left;
    const auto align = static_cast<std::size_t>(alignment);
    if (void* p = std::aligned_alloc(align, (size + align - 1) / align * align)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace {

using namespace quoranth;

int passed = 0, failed = 0;

#define CHECK(condition)                                                              \
    do {                                                                              \
        if (condition) {                                                              \
            ++passed;                                                                 \
        } else {                                                                      \
            ++failed;                                                                 \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #condition);       \
        }                                                                             \
    } while (0)

// A clock that counts, and throws on the reading numbered `fail_at`.
class TestClock final : public Clock {
public:
    std::uint64_t now() override {
        if (readings_++ == fail_at) fail_internal("clock failure injected");
        return 1'000'000 + readings_ * 100;
    }
    std::uint64_t readings_ = 0;
    std::uint64_t fail_at = ~std::uint64_t{0};
};

class TestIds final : public IdSource {
public:
    OrderId next() override {
        std::uint8_t bytes[16] = {};
        for (int i = 0; i < 8; ++i) bytes[15 - i] = static_cast<std::uint8_t>(count_ >> (8 * i));
        ++count_;
        bytes[6] = 0x40;
        bytes[8] = 0x80;
        return order_id_from_bytes(bytes);
    }
    std::uint64_t count_ = 1;
};

TestIds ids;

Order order(TestClock& clock, OrderType side, std::int64_t price, double quantity) {
    return Order::create_from(side, price, quantity, clock, ids);
}

std::string key(const Order& o) {
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, "%s/%d/%d/%lld/%.17g/%llu;", std::string(o.id.view()).c_str(),
                  static_cast<int>(o.side), static_cast<int>(o.status), static_cast<long long>(o.price_in_ticks),
                  o.quantity, static_cast<unsigned long long>(o.timestamp));
    return buffer;
}

// Everything a caller can see of a book: both side lists, the summary, the
// depth and the index entry of every id in `known`.
std::string snapshot(const OrderBook& book, const std::vector<Order>& known) {
    std::string out = text::book_summary_text(book) + "\n";
    for (const Order& o : book.buy_orders()) out += key(o);
    out += "\n";
    for (const Order& o : book.sell_orders()) out += key(o);
    out += "\n";
    const Depth depth = book.depth(1000);
    for (const auto* side : {&depth.bids, &depth.asks}) {
        for (const DepthLevel& level : *side) {
            out += std::to_string(level.price_in_ticks) + "x" + std::to_string(level.quantity) + "x" +
                   std::to_string(level.orders) + ";";
        }
    }
    out += "\n";
    for (const Order& o : known) {
        const auto found = book.get_order(o.id.view());
        out += found ? key(*found) : "none;";
        const auto position = book.queue_position(o.id.view());
        out += position ? std::to_string(position->orders_ahead) : "-";
    }
    return out;
}

// A book with three sell levels of three orders each (one added twice, one
// written by update_order), some bids, and a filled order in the index.
struct SweepBook {
    TestClock clock;
    OrderBook book{0.01, clock, ids};
    std::vector<Order> known;

    SweepBook() {
        for (std::int64_t price : {100, 101, 102}) {
            for (double quantity : {1.0, 2.0, 3.0}) known.push_back(order(clock, OrderType::Sell, price, quantity));
        }
        for (const Order& o : known) book.add(o);
        book.add(known[4]);  // rests a second time at 101
        known.push_back(order(clock, OrderType::Buy, 90, 5.0));
        book.add(known.back());
        known.push_back(order(clock, OrderType::Sell, 95, 1.0));
        book.add(known.back());
        known.push_back(order(clock, OrderType::Buy, 95, 1.0));
        book.add(known.back());  // fills the sell at 95: both now Filled in the index
        Order written = order(clock, OrderType::Buy, 80, 7.0);
        book.update_order(written);
        known.push_back(written);
    }
};

void test_failed_clock_at_every_match_changes_nothing() {
    // A buy for 16.5 at 102 takes 9 records over three levels, the last partly.
    for (std::uint64_t fail_at = 0; fail_at < 10; ++fail_at) {
        SweepBook s;
        const Order sweep = order(s.clock, OrderType::Buy, 102, 16.5);
        s.known.push_back(sweep);
        const std::string before = snapshot(s.book, s.known);
        s.clock.fail_at = s.clock.readings_ + fail_at;
        bool threw = false;
        try {
            s.book.add(sweep);
        } catch (const InternalFailure&) {
            threw = true;
        }
        CHECK(threw == (fail_at < 9));
        if (threw) {
            CHECK(snapshot(s.book, s.known) == before);
            s.clock.fail_at = ~std::uint64_t{0};
            CHECK(s.book.add(sweep).size() == 9);  // the same add then goes through whole
            CHECK(s.book.get_order(sweep.id.view())->status == OrderStatus::Filled);
            CHECK(s.book.best_ask()->quantity == 0.5);
        }
    }
}

void test_failed_allocation_at_every_point_changes_nothing() {
    for (long fail_after = 0;; ++fail_after) {
        SweepBook s;
        const Order sweep = order(s.clock, OrderType::Buy, 102, 22.0);  // rests 2 at 102 afterwards
        s.known.push_back(sweep);
        const std::string before = snapshot(s.book, s.known);
        allocations_left = fail_after;
        bool threw = false;
        std::size_t fills = 0;
        try {
            fills = s.book.add(sweep).size();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        allocations_left = -1;
        if (!threw) {
            CHECK(fills == 10);
            CHECK(s.book.best_bid()->price_in_ticks == 102);
            CHECK(fail_after > 0);  // at least one allocation point was exercised
            return;
        }
        CHECK(snapshot(s.book, s.known) == before);
    }
}

// An add that crosses nothing rests in one step; memory running out at any
// point of it must leave the book as it was too: at a price far from every
// level (the window moves or a far block is readied), and as the order that
// needs the next chunk of the entry pool and of the queue links.
void test_failed_allocation_while_resting_changes_nothing() {
    const auto try_every_point = [](OrderBook& book, std::vector<Order>& known, const Order& incoming) {
        known.push_back(incoming);
        const std::string before = snapshot(book, known);
        for (long fail_after = 0;; ++fail_after) {
            allocations_left = fail_after;
            bool threw = false;
            try {
                book.add(incoming);
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            allocations_left = -1;
            if (!threw) {
                CHECK(book.get_order(incoming.id.view())->quantity == incoming.quantity);
                CHECK(fail_after > 0);
                return;
            }
            CHECK(snapshot(book, known) == before);
        }
    };
    SweepBook s;
    try_every_point(s.book, s.known, order(s.clock, OrderType::Sell, 1'000'000'000, 1.0));
    TestClock clock;
    OrderBook full(0.01, clock, ids);
    std::vector<Order> known;
    for (int i = 0; i < 32'768; ++i) full.add(order(clock, OrderType::Sell, 1'000 + i % 7, 1.0));
    try_every_point(full, known, order(clock, OrderType::Sell, 1'003, 2.0));
}

void test_snapshots_round_trip_and_fail_whole_when_memory_runs_out() {
    SweepBook s;
    const std::string state = write_book_snapshot(s.book);
    const std::string seen = snapshot(s.book, s.known);
    CHECK(snapshot(read_book_snapshot(state), s.known) == seen);
    for (long fail_after = 0;; ++fail_after) {
        allocations_left = fail_after;
        try {
            const OrderBook restored = read_book_snapshot(state);
            allocations_left = -1;
            CHECK(snapshot(restored, s.known) == seen && fail_after > 0);
            return;
        } catch (const std::bad_alloc&) {
            allocations_left = -1;  // nothing to check but that nothing leaked or broke (the sanitizers)
        }
    }
}

void test_an_abandoned_plan_changes_nothing() {
    SweepBook s;
    const Order sweep = order(s.clock, OrderType::Buy, 101, 100.0);
    s.known.push_back(sweep);
    const std::string before = snapshot(s.book, s.known);
    CHECK(s.book.plan_add(sweep).matches().size() == 7);
    CHECK(snapshot(s.book, s.known) == before);
    // A cancel drops the plan: committing afterwards does nothing.
    CHECK(s.book.cancel(s.known[0].id.view()));
    s.book.commit_add();
    CHECK(!s.book.get_order(sweep.id.view()));
    CHECK(s.book.best_ask()->price_in_ticks == 100);
}

void test_fills_carry_the_injected_clock() {
    TestClock clock;
    OrderBook book(0.5, clock, ids);
    const Order resting = order(clock, OrderType::Sell, 10, 2.0);
    book.add(resting);
    const std::uint64_t next = 1'000'000 + (clock.readings_ + 1) * 100;
    const Order taker = order(clock, OrderType::Buy, 11, 1.0);
    const auto fills = book.add(taker);
    CHECK(fills.size() == 1 && fills[0].timestamp == next + 100 && fills[0].price == 5.0);
    CHECK(book.create_order(OrderType::Buy, 1.0, 1.0).id.view() != taker.id.view());
}

// A batch whose column another thread writes after the check: the clock,
// read once between the check and the first event, writes it here. The
// event is refused as it comes, never applied unchecked, and the events
// before it stay applied with their fills counted.
void test_a_batch_event_written_after_the_check_stops_the_batch() {
    std::vector<double> quantities{1.0, 1.0, 1.0};
    class Meddler final : public Clock {
    public:
        explicit Meddler(std::vector<double>& q) : q_(q) {}
        std::uint64_t now() override {
            q_[2] = -1.0;
            return 1'000'000;
        }

    private:
        std::vector<double>& q_;
    } meddler(quantities);
    OrderBook book(0.01, meddler, ids);
    const std::vector<std::int8_t> operations{1, 1, 1}, sides{0, 1, 0};
    const std::vector<std::int64_t> keys{1, 2, 3}, prices{100, 100, 100};
    BatchFills fills;
    std::string error;
    try {
        book.apply_batch({operations, keys, sides, prices, quantities}, fills, nullptr);
    } catch (const BatchEventChanged& changed) {
        error = changed.what();
    }
    CHECK(error == "event 2: quantity must be positive");
    CHECK(fills.events_applied == 2 && fills.quantities == std::vector<double>{1.0});
    CHECK(!book.best_bid() && !book.best_ask() && book.keyed_order_id(3) == nullptr);
}

// Random adds and cancels over prices that make the window move, grow and
// spill into the far blocks (splitting and merging them), checked against a
// plain ordered map after every step.
void test_levels_agree_with_an_ordered_map(OrderType side) {
    const bool buying = side == OrderType::Buy;
    std::mt19937_64 rng(buying ? 7 : 8);
    TestClock clock;
    OrderBook book(1.0, clock, ids);
    std::map<std::int64_t, std::vector<std::string>> levels;  // price -> ids resting there
    std::vector<Order> resting;
    const std::vector<std::int64_t> centres = {1'000, 1'000'000, 3'000'000, INT64_MAX - 100, 1};
    std::size_t mismatches = 0;
    for (int step = 0; step < 20'000; ++step) {
        if (rng() % 3 != 0 || resting.empty()) {
            const std::int64_t centre = centres[(step / 2'000) % 5];
            const std::int64_t spread = std::int64_t{1} << (rng() % 24);
            const std::int64_t offset = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * spread)) - spread;
            std::int64_t price = offset > 0 && centre > INT64_MAX - offset ? INT64_MAX : centre + offset;
            if (price <= 0) price = 1 + static_cast<std::int64_t>(rng() % 50);
            const Order o = order(clock, side, price, 1.0);
            book.add(o);
            levels[price].push_back(std::string(o.id.view()));
            resting.push_back(o);
        } else {
            const std::size_t pick = rng() % resting.size();
            const Order o = resting[pick];
            resting[pick] = resting.back();
            resting.pop_back();
            CHECK(book.cancel(o.id.view()));
            auto& queue = levels[o.price_in_ticks];
            std::erase(queue, std::string(o.id.view()));
            if (queue.empty()) levels.erase(o.price_in_ticks);
        }
        if (step % 97 == 0 || step > 19'900) {
            std::vector<std::string> expected;
            for (const auto& [price, queue] : levels) expected.insert(expected.end(), queue.begin(), queue.end());
            std::vector<std::string> listed;
            for (const Order& o : buying ? book.buy_orders() : book.sell_orders()) listed.push_back(std::string(o.id.view()));
            const auto best = buying ? book.best_bid() : book.best_ask();
            const std::int64_t best_price = levels.empty() ? 0 : buying ? levels.rbegin()->first : levels.begin()->first;
            const bool best_ok = levels.empty() ? !best : best && best->price_in_ticks == best_price;
            const Depth depth = book.depth(3);
            const std::vector<DepthLevel>& top = buying ? depth.bids : depth.asks;
            bool depth_ok = top.size() == std::min<std::size_t>(3, levels.size());
            std::vector<std::pair<std::int64_t, std::size_t>> ordered;
            for (const auto& [price, queue] : levels) ordered.emplace_back(price, queue.size());
            if (buying) std::reverse(ordered.begin(), ordered.end());
            for (std::size_t i = 0; depth_ok && i < top.size(); ++i) {
                depth_ok = top[i].price_in_ticks == ordered[i].first && top[i].orders == ordered[i].second;
            }
            mismatches += listed != expected || !best_ok || !depth_ok;
        }
    }
    CHECK(mismatches == 0);
    // Sweep all that is left with one order through every price: best first throughout.
    const Order sweep = order(clock, buying ? OrderType::Sell : OrderType::Buy, buying ? 1 : INT64_MAX, 1e12);
    const auto fills = book.add(sweep);
    CHECK(fills.size() == resting.size());
    bool in_order = true;
    std::int64_t last = buying ? INT64_MAX : 0;
    for (const Fill& f : fills) {
        const auto price = book.get_order(buying ? f.buy_id.view() : f.sell_id.view())->price_in_ticks;
        in_order = in_order && (buying ? price <= last : price >= last);
        last = price;
    }
    CHECK(in_order);
    CHECK(book.resting_count() == 1 && book.depth(1).bids.size() + book.depth(1).asks.size() == 1);
}

void test_bitmap_finds_what_a_scan_finds() {
    std::mt19937_64 rng(3);
    for (const std::size_t size : {64u, 4096u, 1u << 18}) {
        LevelBitmap bits;
        bits.reset(size);
        std::vector<bool> plain(size);
        std::size_t mismatches = 0;
        for (int step = 0; step < 3000; ++step) {
            const std::size_t i = rng() % size;
            if (rng() % 3 == 0) {
                bits.clear(i);
                plain[i] = false;
            } else {
                bits.set(i);
                plain[i] = true;
            }
            const std::size_t from = rng() % size;
            std::size_t next = LevelBitmap::npos, previous = LevelBitmap::npos;
            for (std::size_t j = from; j < size; ++j) {
                if (plain[j]) {
                    next = j;
                    break;
                }
            }
            for (std::size_t j = from + 1; j-- > 0;) {
                if (plain[j]) {
                    previous = j;
                    break;
                }
            }
            mismatches += bits.next_from(from) != next || bits.previous_from(from) != previous;
            mismatches += bits.lowest() != bits.next_from(0) || bits.highest() != bits.previous_from(size - 1);
        }
        CHECK(mismatches == 0);
    }
}

// Every slot keeps its own value across the small first chunk and the large
// ones after it, and freed slots come back first.
void test_pool_slots_stay_apart_across_chunks() {
    SlotPool<std::uint64_t> pool;
    std::vector<SlotPool<std::uint64_t>::Handle> handles;
    for (std::uint64_t i = 0; i < 70000; ++i) {
        handles.push_back(pool.acquire());
        pool[handles.back()] = i * 7919;
    }
    std::size_t wrong = 0;
    for (std::uint64_t i = 0; i < handles.size(); ++i) wrong += handles[i] != i || pool[handles[i]] != i * 7919;
    pool.release(handles[2047]);
    pool.release(handles[2048]);
    CHECK(wrong == 0 && pool.acquire() == 2048 && pool.acquire() == 2047 && pool.live() == 70000);
}

// A filtered table answers as a plain set does through growth and through
// the filter rebuilds that erasures trigger.
void test_filtered_table_agrees_with_a_set() {
    struct Entry {
        Order record;
    };
    IdTable<Entry, true> table;
    std::map<std::string, IdTable<Entry, true>::Handle> model;
    std::vector<std::string> ids;
    std::mt19937_64 rng(5);
    std::size_t mismatches = 0;
    for (int step = 0; step < 40000; ++step) {
        if (ids.empty() || rng() % 3 != 0) {
            Entry entry{Order::create(OrderType::Buy, 1, 1.0)};
            ids.emplace_back(entry.record.id.view());
            model[ids.back()] = table.insert(entry);
        } else {
            const std::size_t i = rng() % ids.size();
            std::swap(ids[i], ids.back());
            table.erase(model[ids.back()]);
            model.erase(ids.back());
            ids.pop_back();
        }
        const Order absent = Order::create(OrderType::Sell, 1, 1.0);
        mismatches += table.find(absent.id.view()) != no_handle;
        if (!ids.empty()) {
            const std::string& present = ids[rng() % ids.size()];
            mismatches += table.find(present) != model[present];
        }
    }
    for (const auto& [id, handle] : model) mismatches += table.find(id) != handle;
    CHECK(mismatches == 0 && table.size() == model.size());
}

// Arrays of a large page or more start on a large-page boundary, and keep
// their items as they grow across that size and are copied.
void test_large_page_arrays_are_aligned_and_keep_their_items() {
    using platform::large_page_bytes;
    platform::LargePageVector<std::uint64_t> items;
    for (std::uint64_t i = 0; i < large_page_bytes / 8 * 3 + 5; ++i) items.push_back(i * 31);
    const platform::LargePageVector<std::uint64_t> copy = items;
    std::size_t wrong = 0;
    for (std::uint64_t i = 0; i < copy.size(); ++i) wrong += copy[i] != i * 31;
    const auto offset = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p) % large_page_bytes; };
    CHECK(wrong == 0 && offset(items.data()) == 0 && offset(copy.data()) == 0);
}

// The blocks a destroyed book frees serve the next book, once each.
void test_a_destroyed_books_blocks_serve_the_next_book() {
    using namespace platform;
    constexpr std::size_t bytes = std::size_t{1} << 20, alignment = 64;
    void* const block = allocate_block(bytes, alignment, Advice::none);
    {
        RecycleOnDestruction destroying;
        destroying.begin();
        free_block(block, bytes, alignment);
    }
    void* const reused = allocate_block(bytes, alignment, Advice::none);
    void* const other = allocate_block(bytes, alignment, Advice::none);
    CHECK(reused == block && other != block);
    free_block(reused, bytes, alignment);
    free_block(other, bytes, alignment);
}

void test_clock_arithmetic_refuses_to_overflow() {
    using platform::intervals_from_timespec;
    CHECK(intervals_from_timespec(0, 0) == 0);
    CHECK(intervals_from_timespec(1, 999'999'999) == 19'999'999);
    CHECK(intervals_from_timespec(-1, 0) == -10'000'000);
    CHECK(intervals_from_timespec(922'337'203'685, 477'580'799) == INT64_MAX);
    CHECK(!intervals_from_timespec(922'337'203'685, 477'580'800));  // one interval past the range
    CHECK(!intervals_from_timespec(922'337'203'686, 0));
    CHECK(!intervals_from_timespec(INT64_MAX, 0));
    CHECK(!intervals_from_timespec(INT64_MIN, 0));
    CHECK(intervals_from_timespec(-922'337'203'685, 0) == -9'223'372'036'850'000'000);
}

// Wall clock readings (from the CPU's counter between system readings, where
// the system allows) lie between system readings taken around them, within
// the clock's 100 ns unit, before and after the counter's rate is known.
void test_wall_clock_readings_lie_between_system_readings() {
    using namespace platform;
    const auto system = [] { return system_wall_clock_100ns().value_or(0); };
    long readings = 0, outside = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);  // the rate takes 10
    for (std::int64_t before = system(); std::chrono::steady_clock::now() < end; ++readings) {
        const std::optional<std::int64_t> reading = wall_clock_100ns_since_unix_epoch();
        const std::int64_t after = system();
        if (!reading || *reading < before - 1 || *reading > after + 1) ++outside;
        before = after;
    }
    CHECK(readings > 1000 && outside == 0);
    if (outside != 0) std::printf("%ld of %ld readings outside\n", outside, readings);
}

// The key 00 01 .. 1f and nonce 00 00 00 09 00 00 00 4a 00 00 00 00 of RFC
// 8439's block function example: its block 1 as published, and blocks 8
// (the last lane of the first eight) and 64 as OpenSSL's ChaCha20 gives them.
void test_keystream_matches_published_blocks() {
    std::uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i);
    const std::uint8_t nonce[12] = {0, 0, 0, 9, 0, 0, 0, 0x4a, 0, 0, 0, 0};
    std::vector<std::uint8_t> stream(64 * chacha20_block_bytes);
    chacha20_keystream(key, nonce, 1, stream.data(), 64);
    const auto hex = [&](std::size_t block, std::size_t bytes) {
        std::string out;
        for (std::size_t i = 0; i < bytes; ++i) {
            char two[3];
            std::snprintf(two, sizeof two, "%02x", stream[(block - 1) * chacha20_block_bytes + i]);
            out += two;
        }
        return out;
    };
    CHECK(hex(1, 64) == "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
                        "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e");
    CHECK(hex(8, 16) == "4304f78488f1160008e9185df3a6223d");
    CHECK(hex(64, 16) == "9ac4aa49bd8bf1ebaad54d4a0864a38a");
    // Both ways of making eight blocks agree, where the processor has AVX2.
    std::uint32_t state[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    std::memcpy(state + 4, key, sizeof key);  // its words little-endian, as on x86-64; the nonce zero
    state[12] = 0xFFFFFFF8u;                   // the last eight blocks a counter allows
    std::uint8_t portable[512], wide[512];
    detail::chacha20_eight_blocks_portable(state, portable);
    CHECK(!detail::chacha20_eight_blocks_avx2(state, wide) || std::memcmp(portable, wide, sizeof wide) == 0);
}

}  // namespace

int main() {
    test_a_destroyed_books_blocks_serve_the_next_book();  // first: while the cache is empty
    test_failed_clock_at_every_match_changes_nothing();
    test_failed_allocation_at_every_point_changes_nothing();
    test_failed_allocation_while_resting_changes_nothing();
    test_snapshots_round_trip_and_fail_whole_when_memory_runs_out();
    test_an_abandoned_plan_changes_nothing();
    test_fills_carry_the_injected_clock();
    test_a_batch_event_written_after_the_check_stops_the_batch();
    test_levels_agree_with_an_ordered_map(OrderType::Buy);
    test_levels_agree_with_an_ordered_map(OrderType::Sell);
    test_bitmap_finds_what_a_scan_finds();
    test_pool_slots_stay_apart_across_chunks();
    test_filtered_table_agrees_with_a_set();
    test_large_page_arrays_are_aligned_and_keep_their_items();
    test_clock_arithmetic_refuses_to_overflow();
    test_wall_clock_readings_lie_between_system_readings();
    test_keystream_matches_published_blocks();
    std::printf("native: %d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
