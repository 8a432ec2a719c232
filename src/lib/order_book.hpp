#pragma once
// The order book of one instrument, with price-time priority matching.
//
// Data structures
//   levels    SideLevels, one per side. Levels near the market sit in a ladder:
//             one 8-byte slot (queue head and tail) per tick of a window of
//             prices, with a LevelBitmap (layers of 64-bit words) of the
//             occupied slots and the best one remembered. Levels outside the
//             window sit in FarLevels: sorted blocks of up to 64 levels found
//             through one sorted array of the blocks' keys. Levels are reached
//             by price, never through pointers stored in records.
//   resting   RestingRecords: the hot index, identifier -> RestingEntry, of the
//             identifiers that rest. An entry is the 64-byte latest written
//             copy of the order, one cache line, so that a lookup (the id
//             compare, then the copy) touches one line. The record resting
//             under it (remaining quantity, queue links: 16 bytes) sits in a
//             parallel array under the same handle. An order added again while
//             it still rests gets extra records, chained from its entry.
//   cold      IdTable of plain 64-byte Order copies for identifiers that rest
//             nowhere: filled orders, kept until cancelled so that get_order
//             finds them, and entries written by update_order alone. An entry
//             moves here from the hot index as soon as nothing rests under it.
//             Every new order's id is looked up here, and is almost never
//             found: a TagFilter (two bits per entry's hash, an eighth of the
//             buckets' size) answers most of those lookups from cache.
//   tables    IdTable: open addressing over 8-byte buckets (32-bit hash tag,
//             handle), linear probing at load at most 1/4 while the table
//             is small (16,384 buckets), 1/2 beyond, so that a lookup
//             mostly reads one line of buckets; the cold store grows
//             fourfold until 2 MB, twofold after; entries in pools with
//             intrusive free lists: a first chunk of 2,048 entries, then
//             chunks of 32,768 on large-page boundaries. Bucket arrays of
//             2 MB or more lie on large-page boundaries in whole large
//             pages. Those chunks and arrays ask for large pages, except the
//             cold store's, which grows with every fill (platform/memory.hpp).
//             A destroyed book's blocks of 64 KiB or more (up to 32 MiB in
//             all) are kept for the next book, so that a program that builds
//             book after book does not pay the system for fresh pages each
//             time (platform/memory.hpp).
//   plan      the matches of the last planned add, in match order: quantity,
//             sell price, clock reading and resting entry each, and the
//             resting id's hash for a match that fills its record (a Fill is
//             made from one and the two orders' index copies, planned_fill).
//
// Invariants (every public call keeps them; commit_add relies on them)
//   1. A level exists iff its queue is non-empty; every record in it is of
//      its side and price. A price is in the ladder iff it lies in the
//      window, and otherwise in the far levels.
//   2. An identifier has a hot entry iff at least one record rests under it,
//      and otherwise at most a cold entry; never both.
//   3. Every record resting under an identifier has its entry's side and price
//      (an identifier's side, price and timestamp never change), so one level
//      holds them all.
//   4. A valid plan describes the book as it is: every other non-const call
//      drops it.
//   5. A batch key names an identifier only while the hot index or the cold
//      store holds it, and that entry records the key (KeyedOrders), so that
//      whichever call removes the order unbinds the key.
//
// Adding is all-or-nothing. plan_add walks the opposite side from the best
// level without writing, reads the clock once per match, records the matches
// and reserves every allocation the commit needs (an index entry or extra
// record, a level slot or far block, cold entries for the orders it fills).
// commit_add then applies the plan with operations that cannot fail. A
// failure while planning, or a plan never committed, leaves the book as it
// was. An order that crosses nothing (most of them) has no fills to make
// first: rest() reserves, then writes, in one step without a plan.
//
// How the ladder window moves, and what an adversary's choice of prices costs
//   - A side with no ladder level centres its window on the new price: O(1).
//   - A price outside the window grows it (doubling, centred on the ladder's
//     levels and the new price) while the width stays within 32 slots per
//     level of the side and 2^22 slots. Growing copies the window; widths
//     double, so all growth costs at most twice the widest window, itself at
//     most 32 slots per level the side has held.
//   - Otherwise the level goes to the far levels. Once they have taken twice
//     as many new levels as the ladder holds, the ladder's levels move there
//     and the window centres on the new price: O(ladder levels), paid for by
//     those far creations.
//   - A far level moves into the ladder when the window comes to cover it.
//   So creating or removing a level costs O(1) in the ladder and O(log n) in
//   the far levels (a search of a small sorted array of block keys, then of
//   one block; once per 31 far insertions or removals at least, a move of
//   the block keys after the one split or dropped: far_levels.hpp), plus at
//   most half a far insertion and 64 slot copies of moving and growing,
//   however an adversary arranges the prices. The most an adversary can do,
//   knowing these rules, is keep every new level out of the window, so that
//   each pays the far search where random prices of the same count and range
//   would mostly land in the ladder. Worst range found: just narrower than
//   the widest window the levels allow. There, 50,000 levels cost 1.1x to
//   1.2x random prices through apply_batch, 1.2x to 1.3x through add and
//   cancel from Python, and 1.0x to 1.6x in the engine alone, where a ladder
//   level costs a few nanoseconds and random prices cost 35 to 62 ns an
//   operation from run to run (a tree with a node per level: 1.7x, 2.1x and
//   2.0x to 2.4x). Memory: at most 32 slots of 8 bytes per level a side
//   has held, and a far block (1 KB) per 16 far levels at worst; nothing
//   hashes prices.
//
// Costs (n = far levels on the side concerned)
//   add          O(1) per match; a level created or emptied O(1) in the window,
//                O(log n) outside; identifier lookups O(1) expected (the hot
//                index, then the cold store). An order that rests at once
//                goes into the empty bucket its hot lookup ended at. A filled
//                resting order moves to the cold store: one hash, one
//                insertion, one deletion. The hashes are taken while
//                planning and the buckets they name prefetched then, so that
//                their cache misses overlap the clock readings and the
//                making of the fills.
//   cancel, reduce   O(1) expected, plus removing the level if it empties.
//                The entry's queue links start loading while its identifier
//                is compared; the level and the neighbours' links then load
//                side by side; the deletion starts at the bucket the lookup
//                found.
//   get_order, update_order   O(1) expected.
//   best_bid, best_ask, spread   O(1).
//   buy_orders, sell_orders, volumes, summary   O(orders on the side).
//   depth(k)     O(k levels + the orders resting in them).
//   queue_position   O(orders ahead of it in its level).
//   apply_batch  per event, what the call it stands for costs; an add mints its
//                id, so it skips both identifier lookups (batch.hpp). The top of
//                book after each event costs O(1), and the length of the best
//                level when it must be summed again (best_level_total.hpp).
//   snapshots    O(everything the book holds), written and read in one pass
//                each (book_snapshot.hpp); reading rebuilds the book through
//                the operations above, so every invariant holds by construction.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "lib/batch.hpp"
#include "lib/enums.hpp"
#include "lib/fill.hpp"
#include "lib/id_table.hpp"
#include "lib/order.hpp"
#include "lib/platform/memory.hpp"
#include "lib/resting_records.hpp"
#include "lib/side_levels.hpp"
#include "lib/sources.hpp"

namespace quoranth {

// The best price of a side and the quantity of the oldest order resting there.
struct Quote {
    std::int64_t price_in_ticks;
    double quantity;
};

// One price level of a depth view: its price, the sum of its resting
// quantities in queue order, and how many records rest there.
struct DepthLevel {
    std::int64_t price_in_ticks;
    double quantity;
    std::uint64_t orders;
};

// The best levels of each side, best price first.
struct Depth {
    std::vector<DepthLevel> bids;
    std::vector<DepthLevel> asks;
};

// What rests ahead of an order in its level's queue.
struct QueuePosition {
    std::uint64_t orders_ahead;
    double quantity_ahead;
};

// One match of a planned add: what it trades, at what price, when, and with
// which resting order (its index entry, whose id the fill names).
struct PlannedMatch {
    double quantity;
    std::int64_t sell_price;    // in ticks: the resting order's price, or the incoming one's if it sells
    std::uint64_t timestamp;    // the clock reading taken for this fill
    std::uint64_t resting_hash;  // the resting id's hash, if this match fills its record (else 0)
    std::uint32_t resting_entry;
};

// The matches of an add, worked out before the book changes.
class MatchPlan {
public:
    // The matches in match order, each with its own clock reading.
    std::span<const PlannedMatch> matches() const noexcept { return matches_; }
    // The incoming order as matching leaves it (quantity left, status).
    const Order& incoming() const noexcept { return incoming_; }
    // After commit: the index entry the incoming order rests under, if it rests.
    std::uint32_t rested_entry() const noexcept { return rested_entry_; }
    // After commit: the cold store entry the incoming order is kept under, if
    // matching filled it and it rests nowhere.
    std::uint32_t filed_entry() const noexcept { return filed_entry_; }

private:
    friend class OrderBook;

    std::vector<PlannedMatch> matches_;
    std::uint32_t rested_entry_ = no_handle;
    std::uint32_t filed_entry_ = no_handle;
    Order incoming_;  // the working copy after matching
    std::uint64_t id_hash_ = 0;                // the incoming id's hash and entries, when planned
    std::uint32_t resting_entry_ = no_handle;
    std::uint32_t cold_entry_ = no_handle;
    Level* level_ = nullptr;  // the level the incoming order joins, if it exists already
    bool drop_ = false;  // the remainder neither rests nor is indexed
    bool valid_ = false;
};

// What an add does with what is left of the order after matching.
enum class Remainder { Rest, Drop };

// Whether the incoming order's id may already be in the book. An id the
// book's own id source has just minted cannot be (ids are 122 random bits),
// so the add skips looking it up in the index and the cold store.
enum class IdKnown { Maybe, Never };

class OrderBook {
public:
    explicit OrderBook(double tick_size = 0.01, Clock& clock = system_clock(), IdSource& ids = system_ids()) noexcept
        : tick_size_(tick_size), clock_(&clock), ids_(&ids) {}
    OrderBook(OrderBook&&) noexcept = default;
    OrderBook& operator=(OrderBook&&) noexcept = default;
    // The book's large blocks go to the cache of the next book (RecycleOnDestruction).
    ~OrderBook() { recycling_.begin(); }

    double tick_size() const noexcept { return tick_size_; }

    // An order priced in ticks from a decimal price; the book is not touched.
    Order create_order(OrderType side, double price, double quantity) const;

    // Matches a copy of `incoming` against the opposite side, rests what is
    // left, records every touched order in the index; returns the fills in
    // match order, which live in the book until its next add.
    std::span<const Fill> add(const Order& incoming);
    // The same in two steps, so that a caller can do fallible work with the
    // planned matches (planned_fill) before the book changes. plan_add may
    // throw and leaves the book unchanged; commit_add applies the last plan
    // and cannot fail. A plan is valid until the next non-const call; one
    // never committed changes nothing.
    // With Remainder::Drop the order only takes liquidity: what is left of it
    // goes, and it is not written into the index (immediate or cancel).
    // An order whose id rests with another side, price or timestamp (only an
    // order rebuilt from crafted state can be one) is refused with ValueError:
    // every record under an id rests at its entry's side and price.
    const MatchPlan& plan_add(const Order& incoming, Remainder remainder = Remainder::Rest,
                              IdKnown known = IdKnown::Maybe);
    void commit_add() noexcept;
    // The fill of a match of the current plan (valid until it is committed:
    // the resting order's id is read from its index entry).
    Fill planned_fill(const PlannedMatch& match) const;

    // Whether `incoming` would trade with the opposite side as the book is.
    bool crosses(const Order& incoming) const noexcept {
        const bool buying = incoming.side == OrderType::Buy;
        const auto best = (buying ? sells_ : buys_).best();
        if (!best || !incoming.is_open()) return false;
        return buying ? incoming.price_in_ticks >= best->first : incoming.price_in_ticks <= best->first;
    }
    // add() for an order that does not cross, in one step and without a
    // plan: it matches nothing, so there are no fills to make first. Throws
    // (memory) and changes nothing, or rests the order (or, for an order with
    // nothing left or an id the book knows, does what add() does).
    void rest(const Order& incoming);

    // Applies `events` in order (batch.hpp), appending their fills and, given
    // `tops`, the best levels after each event. Every event is checked first
    // (ValueError naming it, nothing applied); each is then all-or-nothing, and
    // a memory or random-source failure stops the batch after the events before
    // it (fills.events_applied says how many).
    void apply_batch(const BatchEvents& events, BatchFills& fills, BatchTops* tops);
    // The id of the order a batch added under `key`, while the key names it.
    const OrderId* keyed_order_id(std::int64_t key) const noexcept { return keyed_.id_of(key); }

    // Removes the order's resting records and its index entry, and the batch
    // key that names it.
    bool cancel(std::string_view order_id);
    std::optional<Order> get_order(std::string_view order_id) const;
    // Overwrites (or creates) the index entry only; the levels are untouched.
    // ValueError for an order whose id rests as another order (see below).
    void update_order(const Order& order);
    // Takes `quantity` off the order's oldest resting record where it stands
    // in its queue; an order left with nothing is cancelled. False if the id
    // rests nowhere. `quantity` must be finite and positive (ValueError).
    bool reduce(std::string_view order_id, double quantity);
    std::optional<QueuePosition> queue_position(std::string_view order_id) const;

    std::vector<Order> buy_orders() const { return side_orders(buys_); }
    std::vector<Order> sell_orders() const { return side_orders(sells_); }
    std::optional<Quote> best_bid() const noexcept { return quote(buys_); }
    std::optional<Quote> best_ask() const noexcept { return quote(sells_); }
    double buy_volume() const noexcept { return side_volume(buys_); }
    double sell_volume() const noexcept { return side_volume(sells_); }
    std::optional<double> spread() const noexcept;
    // At most `levels` (> 0, else ValueError) levels per side.
    Depth depth(std::int64_t levels) const;

    std::size_t resting_count() const noexcept {
        return records_.count(OrderType::Buy) + records_.count(OrderType::Sell);
    }

private:
    // Snapshots (book_snapshot.hpp) read the whole state and rebuild it.
    friend std::string write_book_snapshot(const OrderBook& book);
    friend class BookSnapshotReader;

    using Handle = RestingRecords::Handle;
    using Ref = RestingRecords::Ref;
    struct ColdEntry {
        Order record;
    };

    SideLevels& levels_of(OrderType side) noexcept { return side == OrderType::Buy ? buys_ : sells_; }
    const SideLevels& levels_of(OrderType side) const noexcept { return side == OrderType::Buy ? buys_ : sells_; }
    // The level where the records of a hot entry rest, found from the entry's copy.
    Level& level_of(const Order& record) noexcept;
    const Level& level_of(const Order& record) const noexcept;
    // Matches `work` against the opposite side, best level first, without
    // writing to the book: appends the plan's fills and matches and returns
    // how many resting records it fills.
    std::size_t plan_matches(Order& work);
    // Takes `traded` off the resting record at the head of the opposite
    // side's best level, as the planned match did.
    void apply_match(SideLevels& opposite, const PlannedMatch& match) noexcept;
    void commit_incoming() noexcept;
    // Room for the keys the commit carries over, in a book that has run a
    // batch: `filed` new cold entries, and a hot one if the order `rests`.
    void reserve_keys_for_commit(std::size_t filed, bool rests);
    // Drops the plan (every non-const call does), and a large sweep's buffers with it.
    void drop_plan() noexcept;
    // The level `order` would rest at, or null after preparing its creation
    // (may throw: memory). With records_.reserve_entry(), all that resting
    // it under a new entry takes.
    Level* prepare_level(const Order& order) {
        SideLevels& own = levels_of(order.side);
        Level* const level = own.find(order.price_in_ticks);
        if (level == nullptr) own.prepare(order.price_in_ticks);
        return level;
    }
    // A new hot entry for `order` (absent from both stores, reserved), resting
    // at `level`, or at a level created for it (prepared) if null, indexed in
    // `bucket`: the empty bucket its id's lookup ended at, or free_bucket().
    Handle rest_new_entry(const Order& order, std::uint64_t hash, Level* level, std::size_t bucket) noexcept;
    // ValueError unless `order` is the same order as the hot entry's copy.
    void check_same_order(Handle entry, const Order& order) const;
    // Moves a hot entry that no longer rests (its copy `record`, whose id
    // hashes to `hash`) to the cold store (reserved); returns the cold copy.
    Order& retire(Handle entry, const Order& record, std::uint64_t hash) noexcept;
    // cancel, leaving the key table to the caller: whether the order was
    // known, and the batch key its entry recorded (no_key if none).
    struct Removed {
        bool known;
        std::int64_t key;
    };
    Removed remove(std::string_view order_id);
    std::optional<Quote> quote(const SideLevels& side) const noexcept;
    std::vector<Order> side_orders(const SideLevels& side) const;
    double side_volume(const SideLevels& side) const noexcept;
    DepthLevel depth_level(std::int64_t price, const Level& level) const noexcept;

    platform::RecycleOnDestruction recycling_;  // first: it ends after every other member is freed
    double tick_size_;
    Clock* clock_;
    IdSource* ids_;
    SideLevels buys_{OrderType::Buy};
    SideLevels sells_{OrderType::Sell};
    RestingRecords records_;
    IdTable<ColdEntry, /*Filtered=*/true> cold_;  // asked about every new order: filtered
    MatchPlan plan_;
    std::vector<Fill> fills_;  // what add() returns
    KeyedOrders keyed_;
};

}  // namespace quoranth
