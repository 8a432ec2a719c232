#include "lib/batch.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "lib/best_level_total.hpp"
#include "lib/errors.hpp"
#include "lib/order_book.hpp"

namespace quoranth {

namespace {

// Room for `size` items, growing geometrically (an exact reserve per event
// would copy the column every time).
template <typename T>
void make_room(std::vector<T>& column, std::size_t size) {
    if (column.capacity() < size) column.reserve(std::max(size, 2 * column.capacity()));
}

// Fills made by a batch are reported without their times, so matching in a
// batch reads no clock.
class NoClock final : public Clock {
public:
    std::uint64_t now() override { return 0; }
};
NoClock no_clock;

// One reading for every order a batch adds: a batch is applied at one
// instant, and its orders carry the time it began. Read before anything
// changes when the batch has adds (the reading may fail), else at the first
// add, should a column written after the check bring one.
class BatchClock final : public Clock {
public:
    explicit BatchClock(Clock& source) noexcept : source_(source) {}
    std::uint64_t now() override {
        if (!read_) {
            time_ = source_.now();
            read_ = true;
        }
        return time_;
    }

private:
    Clock& source_;
    std::uint64_t time_ = 0;
    bool read_ = false;
};

// Puts the book's fill clock back however the batch ends.
class ClockSwap {
public:
    ClockSwap(Clock*& slot, Clock& replacement) noexcept : slot_(slot), saved_(slot) { slot = &replacement; }
    ~ClockSwap() { slot_ = saved_; }
    ClockSwap(const ClockSwap&) = delete;
    ClockSwap& operator=(const ClockSwap&) = delete;

private:
    Clock*& slot_;
    Clock* saved_;
};

// One event, each of its items read once: the columns may be the caller's
// own memory, which another thread could write while the batch runs, so the
// values checked are the values used.
struct Event {
    BatchOperation operation;
    std::int64_t key;
    std::int8_t side;
    std::int64_t price_in_ticks;
    double quantity;
};

// Reads each item once (`Once`: a volatile read, which the compiler may not
// repeat); the check before the batch needs no such care, the values it
// passes are read again.
template <bool Once, typename T>
T item(std::span<const T> column, std::size_t i) noexcept {
    if constexpr (Once) return *static_cast<const volatile T*>(&column[i]);
    else return column[i];
}

template <bool Once>
Event read_event(const BatchEvents& events, std::size_t i) noexcept {
    const auto operation = static_cast<BatchOperation>(item<Once>(events.operations, i));
    const std::int64_t key = item<Once>(events.keys, i);
    if (operation == BatchOperation::Cancel || operation == BatchOperation::Nothing) return {operation, key, 0, 0, 0.0};
    return {operation, key, item<Once>(events.sides, i), item<Once>(events.prices_in_ticks, i),
            item<Once>(events.quantities, i)};
}

// Why the event cannot be applied, or null. Operations by bit (1 << code):
// those that place an order, and those that carry a quantity.
const char* fault_of(const Event& event) noexcept {
    constexpr unsigned placing = 1u << 1 | 1u << 4 | 1u << 5;  // Add, Take, TakeThenCancel
    constexpr unsigned sized = placing | 1u << 2;              // and Reduce
    const auto code = static_cast<std::uint8_t>(event.operation);
    if (code > static_cast<std::uint8_t>(BatchOperation::TakeThenCancel)) return "unknown operation";
    const unsigned bit = 1u << code;
    if (bit & placing) {
        if (event.side != 0 && event.side != 1) return "side must be 0 (Buy) or 1 (Sell)";
        if (event.price_in_ticks <= 0) return "price_in_ticks must be positive";
        // -1 stands for "no key" in the fill columns, so keys of new orders are never negative.
        if (event.operation == BatchOperation::Add && event.key < 0) return "key must not be negative";
    }
    if (bit & sized) {
        if (!(event.quantity > 0.0)) return "quantity must be positive";
        if (std::isinf(event.quantity)) return "quantity must be finite";
    }
    return nullptr;
}

std::string event_error(std::size_t index, const char* fault) {
    return "event " + std::to_string(index) + ": " + fault;
}

// Every event is checked before any is applied, so that bad input changes
// nothing. Returns how many orders the batch adds.
std::size_t check(const BatchEvents& events) {
    const std::size_t count = events.operations.size();
    if (events.keys.size() != count || events.sides.size() != count || events.prices_in_ticks.size() != count ||
        events.quantities.size() != count) {
        throw ValueError("the event columns must have the same length");
    }
    std::size_t adds = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Event event = read_event<false>(events, i);
        if (const char* fault = fault_of(event)) throw ValueError(event_error(i, fault));
        adds += event.operation == BatchOperation::Add;
    }
    return adds;
}

}  // namespace

void OrderBook::apply_batch(const BatchEvents& events, BatchFills& fills, BatchTops* tops) {
    const std::size_t adds = check(events);
    plan_.valid_ = false;
    keyed_.reserve_keys(adds);  // one growth of the key table, not one per doubling
    // However the batch ends, room for keys it no longer needs goes back.
    struct ShrinkKeys {
        KeyedOrders& keyed;
        ~ShrinkKeys() { keyed.shrink_keys(); }
    } const shrink_keys{keyed_};
    // From the first add on, entries keep their keys: the plans below reserve room for them.
    if (adds != 0) keyed_.reserve_entries(records_.entry_bound());
    const std::size_t count = events.operations.size();
    if (tops != nullptr) {
        for (auto* column : {&tops->bid_prices, &tops->ask_prices}) column->reserve(count);
        for (auto* column : {&tops->bid_quantities, &tops->ask_quantities}) column->reserve(count);
    }
    BatchClock order_clock(*clock_);
    if (adds != 0) order_clock.now();  // read before anything changes: it may fail
    const ClockSwap no_fill_times(clock_, no_clock);
    // Binds `key` to a new order's id (the last step of an add that can fail).
    const auto bind_key = [&](std::int64_t key, const OrderId& id) {
        keyed_.reserve_entries(records_.entry_bound());
        const OrderId* before = keyed_.id_of(key);
        const Handle named = before != nullptr ? records_.find(before->view()) : no_handle;
        keyed_.bind(key, id);
        if (named != no_handle) keyed_.forget_entry(named);  // the key moves on
    };
    // The best level of each side, carried from event to event for the top of book.
    BestLevelTotal totals[2]{BestLevelTotal(OrderType::Buy), BestLevelTotal(OrderType::Sell)};
    const auto total_of = [&](OrderType side) -> BestLevelTotal& { return totals[static_cast<int>(side)]; };
    // Tells the totals what cancelling `id` (or reducing it by `reduce_by`) takes from its level.
    const auto note_leaving = [&](std::string_view id, std::optional<double> reduce_by) {
        if (tops == nullptr) return;
        const Handle entry = records_.find(id);
        if (entry == no_handle) return;  // it rests nowhere
        const Order& record = records_.record(entry);
        const Ref oldest = records_.oldest(entry, level_of(record));
        const double resting = records_.quantity(oldest);
        BestLevelTotal& total = total_of(record.side);
        // A reduce acts on the oldest record alone; a cancel takes every record.
        if (reduce_by) total.left(record.price_in_ticks, resting - *reduce_by > 0.0 ? *reduce_by : resting);
        else if (records_.rests_besides(oldest)) total.touched(record.price_in_ticks);
        else total.left(record.price_in_ticks, resting);
    };
    // The key is known here: unbound directly, with no lookup of the id.
    const auto cancel_key = [&](std::int64_t key) {
        if (const OrderId* named = keyed_.id_of(key)) {
            note_leaving(named->view(), std::nullopt);
            remove(named->view());
            keyed_.unbind(key);
        }
    };
    // Keys are hashed over a table larger than the caches: the slot of an
    // event's key starts loading a few events ahead, so that the miss
    // overlaps the work in between.
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < count; ++i) {
        if (i + ahead < count && events.operations[i + ahead] != 0) keyed_.prefetch(events.keys[i + ahead]);
        const Event event = read_event<true>(events, i);
        // Checked again as it is applied: the columns checked above may have been written since.
        if (const char* fault = fault_of(event)) [[unlikely]] throw BatchEventChanged(event_error(i, fault));
        const BatchOperation operation = event.operation;
        const std::int64_t key = event.key;
        switch (operation) {
            case BatchOperation::Nothing:
                break;
            case BatchOperation::Add:
            case BatchOperation::Take:
            case BatchOperation::TakeThenCancel: {
                const auto side = static_cast<OrderType>(event.side);
                const bool adding = operation == BatchOperation::Add;
                const std::int64_t price = event.price_in_ticks;
                const double quantity = event.quantity;
                // A taking order is never seen again: it needs no id or clock reading of its own.
                const Order order = adding ? Order::create_from(side, price, quantity, order_clock, *ids_)
                                           : Order::stand_in(side, price, quantity);
                if (adding && !crosses(order)) {
                    // Most adds rest at once, as rest() does, without a plan; the
                    // id was just minted, so neither store needs a lookup.
                    drop_plan();
                    records_.reserve_entry();
                    Level* const level = prepare_level(order);
                    bind_key(key, order.id);
                    const std::uint64_t hash = hash_order_id(order.id.view());
                    keyed_.set_entry_key(rest_new_entry(order, hash, level, records_.free_bucket(hash)), key);
                    total_of(side).joined(price, quantity);
                    break;
                }
                const MatchPlan& plan =
                    adding ? plan_add(order, Remainder::Rest, IdKnown::Never) : plan_add(order, Remainder::Drop);
                // Room for everything this event writes, before the book changes.
                const std::size_t room = fills.events.size() + plan.matches().size();
                for (auto* column : {&fills.events, &fills.buy_keys, &fills.sell_keys, &fills.prices_in_ticks}) {
                    make_room(*column, room);
                }
                make_room(fills.quantities, room);
                make_room(fills.on_named, room);
                if (adding) bind_key(key, order.id);
                const std::int64_t incoming_key = adding ? key : no_key;
                const bool buying = side == OrderType::Buy;
                const bool one_whole_fill = !adding && plan.matches().size() == 1 && plan.matches()[0].quantity == quantity;
                BestLevelTotal& across = total_of(buying ? OrderType::Sell : OrderType::Buy);
                for (const PlannedMatch& match : plan.matches()) {
                    // Each match takes from its resting record's level (told before the
                    // commit, which cannot fail, while the record is still at hand).
                    if (tops != nullptr) across.left(records_.record(match.resting_entry).price_in_ticks, match.quantity);
                    const std::int64_t resting_key = keyed_.key_of_entry(match.resting_entry);
                    fills.events.push_back(static_cast<std::int64_t>(i));
                    fills.buy_keys.push_back(buying ? incoming_key : resting_key);
                    fills.sell_keys.push_back(buying ? resting_key : incoming_key);
                    fills.prices_in_ticks.push_back(match.sell_price);
                    fills.quantities.push_back(match.quantity);
                    fills.on_named.push_back(one_whole_fill && key >= 0 && resting_key == key);
                }
                commit_add();
                if (plan.rested_entry() != no_handle) total_of(side).joined(price, plan.incoming().quantity);
                if (adding && plan.rested_entry() != no_handle) keyed_.set_entry_key(plan.rested_entry(), key);
                if (adding && plan.filed_entry() != no_handle) keyed_.set_cold_key(plan.filed_entry(), key);
                if (operation == BatchOperation::TakeThenCancel) cancel_key(key);
                break;
            }
            case BatchOperation::Reduce:
                // A reduce that leaves nothing cancels the order, and its key goes with it.
                if (const OrderId* named = keyed_.id_of(key)) {
                    const OrderId id(*named);
                    note_leaving(id.view(), event.quantity);
                    reduce(id.view(), event.quantity);
                }
                break;
            case BatchOperation::Cancel:
                cancel_key(key);
                break;
        }
        if (tops != nullptr) {
            const auto top = [&](SideLevels& levels, OrderType side) {
                const auto best = levels.best();
                return total_of(side).at(best ? std::optional(best->first) : std::nullopt, [&](auto&& add) {
                    for (Ref ref = best->second->head; ref != no_handle; ref = records_.next(ref)) add(records_.quantity(ref));
                });
            };
            const auto bid = top(buys_, OrderType::Buy), ask = top(sells_, OrderType::Sell);
            tops->bid_prices.push_back(bid ? bid->first : 0);
            tops->bid_quantities.push_back(bid ? bid->second : 0.0);
            tops->ask_prices.push_back(ask ? ask->first : 0);
            tops->ask_quantities.push_back(ask ? ask->second : 0.0);
        }
        fills.events_applied = i + 1;
    }
}

}  // namespace quoranth
