#include "lib/order_book.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>

#include "lib/errors.hpp"

namespace quoranth {

namespace {

constexpr std::size_t max_kept_fills = 256;

// Rounded tick count to int64 with saturation; NaN becomes 0.
std::int64_t saturating_ticks(double rounded) noexcept {
    constexpr double two_pow_63 = 9223372036854775808.0;
    if (std::isnan(rounded)) return 0;
    if (rounded >= two_pow_63) return std::numeric_limits<std::int64_t>::max();
    if (rounded <= -two_pow_63) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(rounded);
}

// An incoming order at `limit` trades with a level at `price` on the other side.
bool reaches(bool buying, std::int64_t limit, std::int64_t price) noexcept {
    return buying ? limit >= price : limit <= price;
}

}  // namespace

Order OrderBook::create_order(OrderType side, double price, double quantity) const {
    if (price <= 0.0 || quantity <= 0.0) throw ValueError("Price and quantity must be positive");
    const std::int64_t ticks = saturating_ticks(std::round(price / tick_size_));
    if (ticks <= 0) throw ValueError("Resulting price_in_ticks must be positive");
    return Order::create_from(side, ticks, quantity, *clock_, *ids_);
}

std::span<const Fill> OrderBook::add(const Order& incoming) {
    if (!fills_.empty()) fills_.clear();
    if (fills_.capacity() > max_kept_fills) std::vector<Fill>().swap(fills_);
    if (!crosses(incoming)) {
        rest(incoming);
        return {};
    }
    const MatchPlan& plan = plan_add(incoming);
    fills_.reserve(plan.matches().size());
    for (const PlannedMatch& match : plan.matches()) fills_.push_back(planned_fill(match));
    commit_add();
    return fills_;
}

void OrderBook::drop_plan() noexcept {
    plan_.valid_ = false;
    // Keep a small buffer for the common case: a large sweep's buffers go at
    // the next add, whichever way it goes, and do not pin memory for the
    // life of the book.
    if (plan_.matches_.capacity() > max_kept_fills) std::vector<PlannedMatch>().swap(plan_.matches_);
}

void OrderBook::rest(const Order& incoming) {
    levels_of(incoming.side).prefetch(incoming.price_in_ticks);
    drop_plan();
    const std::uint64_t hash = hash_order_id(incoming.id.view());
    const std::string_view id = incoming.id.view();
    // Room for the entry first (capacity only), so that the empty bucket its
    // lookup ends at is where it goes.
    records_.reserve_entry();
    const RestingRecords::Located hot = records_.locate(id, hash);
    if (!incoming.is_open() || hot.handle != no_handle || cold_.find(id, hash) != no_handle) {
        plan_add(incoming);  // an id the book knows, or an order with nothing left: rare
        commit_add();
        return;
    }
    Level* const level = prepare_level(incoming);
    // Nothing below can fail.
    rest_new_entry(incoming, hash, level, hot.bucket);
}

RestingRecords::Handle OrderBook::rest_new_entry(const Order& order, std::uint64_t hash, Level* level,
                                                 std::size_t bucket) noexcept {
    if (level == nullptr) level = &levels_of(order.side).create(order.price_in_ticks);
    const Handle entry = records_.add_resting_entry(bucket, order, hash, order.quantity, *level);
    keyed_.forget_entry(entry);
    return entry;
}

void OrderBook::reserve_keys_for_commit(std::size_t filed, bool rests) {
    if (!keyed_.in_use()) return;
    keyed_.reserve_cold(cold_.handle_bound() + filed);
    if (rests) keyed_.reserve_entries(records_.entry_bound());
}

Fill OrderBook::planned_fill(const PlannedMatch& match) const {
    const Order& incoming = plan_.incoming_;
    const std::string_view resting_id = records_.record(match.resting_entry).id.view();
    const bool buying = incoming.side == OrderType::Buy;
    return Fill{match.quantity, static_cast<double>(match.sell_price) * tick_size_,
                SmallText(buying ? incoming.id.view() : resting_id), SmallText(buying ? resting_id : incoming.id.view()),
                match.timestamp};
}

const MatchPlan& OrderBook::plan_add(const Order& incoming, Remainder remainder, IdKnown known) {
    MatchPlan& plan = plan_;
    drop_plan();
    plan.matches_.clear();
    plan.rested_entry_ = no_handle;
    plan.filed_entry_ = no_handle;

    Order& work = plan.incoming_;
    work = incoming;
    plan.drop_ = remainder == Remainder::Drop;
    const bool fresh = known == IdKnown::Never;
    if (!plan.drop_) {
        // The incoming id's buckets load while the matches are worked out.
        plan.id_hash_ = hash_order_id(work.id.view());
        if (!fresh) {
            records_.prefetch(plan.id_hash_);
            cold_.prefetch(plan.id_hash_);
        }
    }
    const std::size_t records_filled = plan_matches(work);

    // Reserve everything the commit writes, so that it cannot fail.
    plan.level_ = nullptr;
    if (plan.drop_) {
        cold_.reserve(records_filled);  // only the orders it fills are written
        reserve_keys_for_commit(records_filled, false);
        plan.valid_ = true;
        return plan;
    }
    plan.resting_entry_ = fresh ? no_handle : records_.find(work.id.view(), plan.id_hash_);
    if (plan.resting_entry_ != no_handle) check_same_order(plan.resting_entry_, work);
    plan.cold_entry_ = fresh || plan.resting_entry_ != no_handle ? no_handle : cold_.find(work.id.view(), plan.id_hash_);
    const bool rests = work.is_open();
    cold_.reserve(records_filled + (rests || plan.cold_entry_ != no_handle ? 0 : 1));
    if (rests) {
        if (plan.resting_entry_ == no_handle) records_.reserve_entry();
        else records_.reserve_extra();
        plan.level_ = prepare_level(work);
    }
    reserve_keys_for_commit(records_filled + 1, rests);
    plan.valid_ = true;
    return plan;
}

std::size_t OrderBook::plan_matches(Order& work) {
    const bool buying = work.side == OrderType::Buy;
    const SideLevels& opposite = buying ? sells_ : buys_;
    const auto best = opposite.best();
    if (!best || !work.is_open() || !reaches(buying, work.price_in_ticks, best->first)) return 0;
    std::size_t records_filled = 0;
    opposite.from_best([&](std::int64_t price, const Level& level) {
        if (!work.is_open() || !reaches(buying, work.price_in_ticks, price)) return false;
        if (level.empty()) fail_internal("Queue is not empty if it exists in map");
        const std::int64_t sell_price = buying ? price : work.price_in_ticks;
        for (Ref ref = level.head; ref != no_handle; ref = records_.next(ref)) {
            // The arithmetic of Order::trade, on the record's quantity alone.
            const double resting = records_.quantity(ref);
            const double traded = Order::tradable(resting, work.quantity);
            work.quantity -= traded;
            if (work.quantity <= 0.0) work.status = OrderStatus::Filled;
            const Handle entry = records_.entry_of(ref);
            const bool fills_record = resting - traded <= 0.0;
            // A filled record's order moves to the cold store on commit:
            // hashed now, its two buckets load while the fills are made.
            const std::uint64_t resting_hash = fills_record ? hash_order_id(records_.record(entry).id.view()) : 0;
            if (fills_record) {
                records_.prefetch(resting_hash);
                cold_.prefetch(resting_hash);
            }
            plan_.matches_.push_back(PlannedMatch{traded, sell_price, clock_->now(), resting_hash, entry});
            // A record still open took all the incoming order had (or, for
            // quantities no order can be created with, neither would end).
            if (!fills_record) return false;
            ++records_filled;
            if (!work.is_open()) return false;
        }
        return true;
    });
    return records_filled;
}

void OrderBook::commit_add() noexcept {
    if (!plan_.valid_) return;
    plan_.valid_ = false;
    SideLevels& opposite = plan_.incoming_.side == OrderType::Buy ? sells_ : buys_;
    for (const PlannedMatch& match : plan_.matches_) apply_match(opposite, match);
    commit_incoming();
}

void OrderBook::apply_match(SideLevels& opposite, const PlannedMatch& match) noexcept {
    const double traded = match.quantity;
    const auto [price, level] = *opposite.best();
    const Ref head = level->head;
    const Handle entry = records_.entry_of(head);
    // The same arithmetic as Order::trade did on the planned copy.
    const double left = records_.quantity(head) - traded;
    // The index write: the entry's copy takes the resting record's new state.
    Order& indexed = records_.record(entry);
    if (!(left <= 0.0)) {
        indexed.quantity = left;
        indexed.status = OrderStatus::Open;
        records_.set_quantity(head, left);  // keeps its place at the head
        return;
    }
    records_.unlink(head, *level, indexed.side);
    if (level->empty()) opposite.erase(price);
    // Unless another record of the order still rests, the entry moves to the
    // cold store as it was, and its copy there takes the new state: copying
    // the entry after writing to it made the copy's loads wait for those writes.
    Order& filled = records_.rests(entry) ? indexed : retire(entry, indexed, match.resting_hash);
    filled.quantity = left;
    filled.status = OrderStatus::Filled;
}

void OrderBook::commit_incoming() noexcept {
    if (plan_.drop_) return;
    const Order& work = plan_.incoming_;
    const Handle entry = plan_.resting_entry_;
    if (!work.is_open()) {
        if (entry != no_handle) {
            records_.record(entry) = work;
        } else if (plan_.cold_entry_ != no_handle) {
            cold_[plan_.cold_entry_].record = work;
            plan_.filed_entry_ = plan_.cold_entry_;
        } else {
            plan_.filed_entry_ = cold_.insert_reserved(ColdEntry{work}, plan_.id_hash_);
        }
        return;
    }
    // The level found while planning is still there: only the other side has changed since.
    if (entry == no_handle) {
        // A filled order added again comes back from the cold store, with its
        // key if one still names it (a cold entry's key may be stale, a hot
        // entry's never: fills report it unchecked).
        std::int64_t key = no_key;
        if (plan_.cold_entry_ != no_handle) {
            key = keyed_.key_naming(keyed_.key_of_cold(plan_.cold_entry_), work.id.view());
            cold_.erase(plan_.cold_entry_, plan_.id_hash_);
        }
        plan_.rested_entry_ = rest_new_entry(work, plan_.id_hash_, plan_.level_, records_.free_bucket(plan_.id_hash_));
        if (key != no_key) keyed_.set_entry_key(plan_.rested_entry_, key);
        return;
    }
    records_.record(entry) = work;
    Level* level = plan_.level_;
    if (level == nullptr) level = &levels_of(work.side).create(work.price_in_ticks);
    records_.place(entry, work.quantity, *level);
    plan_.rested_entry_ = entry;
}

Order& OrderBook::retire(Handle entry, const Order& record, std::uint64_t hash) noexcept {
    const Handle cold = cold_.insert_reserved(ColdEntry{record}, hash);
    if (keyed_.in_use()) keyed_.set_cold_key(cold, keyed_.key_of_entry(entry));
    records_.erase_entry(entry, hash);
    return cold_[cold].record;
}

Level& OrderBook::level_of(const Order& record) noexcept {
    Level* const level = levels_of(record.side).find(record.price_in_ticks);
    assert(level != nullptr);  // a hot entry rests, and all its records rest at its price
    return *level;
}

const Level& OrderBook::level_of(const Order& record) const noexcept {
    // The const lookup: it writes nothing, so that readers may share the book.
    const Level* const level = levels_of(record.side).find(record.price_in_ticks);
    assert(level != nullptr);
    return *level;
}

bool OrderBook::cancel(std::string_view order_id) {
    const Removed removed = remove(order_id);
    keyed_.unbind_if_naming(removed.key, order_id);
    return removed.known;
}

OrderBook::Removed OrderBook::remove(std::string_view order_id) {
    plan_.valid_ = false;
    const std::uint64_t hash = hash_order_id(order_id);
    const RestingRecords::Located hot = records_.locate_to_unlink(order_id, hash);
    const Handle entry = hot.handle;
    if (entry == no_handle) {
        const Handle cold = cold_.find(order_id, hash);
        if (cold == no_handle) return {false, no_key};
        cold_.erase(cold, hash);
        return {true, keyed_.key_of_cold(cold)};
    }
    const Order& record = records_.record(entry);
    Level& level = level_of(record);
    records_.unlink_all(entry, level, record.side);
    if (level.empty()) levels_of(record.side).erase(record.price_in_ticks);
    records_.erase_entry_at(hot.bucket);
    return {true, keyed_.key_of_entry(entry)};
}

std::optional<Order> OrderBook::get_order(std::string_view order_id) const {
    const std::uint64_t hash = hash_order_id(order_id);
    if (const Handle entry = records_.find(order_id, hash); entry != no_handle) return records_.record(entry);
    if (const Handle cold = cold_.find(order_id, hash); cold != no_handle) return cold_[cold].record;
    return std::nullopt;
}

void OrderBook::check_same_order(Handle entry, const Order& order) const {
    const Order& resting = records_.record(entry);
    if (resting.side != order.side || resting.price_in_ticks != order.price_in_ticks ||
        resting.timestamp != order.timestamp) {
        throw ValueError("an order with this id rests with another side, price or timestamp");
    }
}

void OrderBook::update_order(const Order& order) {
    plan_.valid_ = false;
    const std::uint64_t hash = hash_order_id(order.id.view());
    if (const Handle entry = records_.find(order.id.view(), hash); entry != no_handle) {
        check_same_order(entry, order);
        records_.record(entry) = order;
    } else if (const Handle cold = cold_.find(order.id.view(), hash); cold != no_handle) {
        cold_[cold].record = order;
    } else {
        cold_.insert(ColdEntry{order}, hash);
    }
}

bool OrderBook::reduce(std::string_view order_id, double quantity) {
    if (!(quantity > 0.0)) throw ValueError("quantity must be positive");  // NaN included
    if (std::isinf(quantity)) throw ValueError("quantity must be finite");
    plan_.valid_ = false;
    const Handle entry = records_.find(order_id);
    if (entry == no_handle) return false;  // cold entries rest nowhere
    Order& record = records_.record(entry);
    Level& level = level_of(record);
    const Ref oldest = records_.oldest(entry, level);
    const double left = records_.quantity(oldest) - quantity;
    if (!(left > 0.0)) {
        if (!records_.rests_besides(oldest)) return cancel(order_id);
        // An order resting more than once loses only the record used up; its
        // others stay where they are in the level, which so stays too.
        records_.unlink(oldest, level, record.side);
        record.quantity = records_.quantity(records_.oldest(entry, level));
    } else {
        records_.set_quantity(oldest, left);  // in place: the record keeps its turn in the queue
        record.quantity = left;
    }
    // The index copy follows the record that reduce acts on: the oldest.
    record.status = OrderStatus::Open;
    return true;
}

std::optional<QueuePosition> OrderBook::queue_position(std::string_view order_id) const {
    const Handle entry = records_.find(order_id);
    if (entry == no_handle) return std::nullopt;
    const Level& level = level_of(records_.record(entry));
    const Ref oldest = records_.oldest(entry, level);
    // Summed from the head, in queue order, as a caller summing the side list would.
    QueuePosition ahead{0, 0.0};
    for (Ref ref = level.head; ref != oldest; ref = records_.next(ref)) {
        ++ahead.orders_ahead;
        ahead.quantity_ahead += records_.quantity(ref);
    }
    return ahead;
}

DepthLevel OrderBook::depth_level(std::int64_t price, const Level& level) const noexcept {
    DepthLevel view{price, 0.0, 0};
    for (Ref ref = level.head; ref != no_handle; ref = records_.next(ref)) {
        view.quantity += records_.quantity(ref);
        ++view.orders;
    }
    return view;
}

Depth OrderBook::depth(std::int64_t levels) const {
    if (levels <= 0) throw ValueError("levels must be positive");
    const auto wanted = static_cast<std::uint64_t>(levels);
    Depth view;
    std::vector<const Level*> queues;
    const auto collect = [&](const SideLevels& side, std::vector<DepthLevel>& out) {
        out.reserve(std::min<std::uint64_t>(wanted, side.size()));
        side.from_best([&](std::int64_t price, const Level& level) {
            out.push_back({price, 0.0, 0});
            queues.push_back(&level);
            return out.size() < wanted;
        });
    };
    collect(buys_, view.bids);
    collect(sells_, view.asks);
    // Each level's queue is a linked list through records spread over memory.
    // The queues are walked a few at a time, a step of each in turn, so that
    // their cache misses overlap; each level still sums in its queue order.
    constexpr std::size_t lanes = 32;
    const std::size_t bid_levels = view.bids.size();
    for (std::size_t start = 0; start < queues.size(); start += lanes) {
        const std::size_t count = std::min(lanes, queues.size() - start);
        Ref cursors[lanes];
        DepthLevel* sums[lanes];
        for (std::size_t lane = 0; lane < count; ++lane) {
            const std::size_t at = start + lane;
            cursors[lane] = queues[at]->head;
            sums[lane] = at < bid_levels ? &view.bids[at] : &view.asks[at - bid_levels];
        }
        for (bool moving = true; moving;) {
            moving = false;
            for (std::size_t lane = 0; lane < count; ++lane) {
                const Ref ref = cursors[lane];
                if (ref == no_handle) continue;
                sums[lane]->quantity += records_.quantity(ref);
                ++sums[lane]->orders;
                cursors[lane] = records_.next(ref);
                moving = true;
            }
        }
    }
    return view;
}

std::vector<Order> OrderBook::side_orders(const SideLevels& side) const {
    std::vector<Order> orders;
    orders.reserve(records_.count(&side == &buys_ ? OrderType::Buy : OrderType::Sell));
    side.ascending([&](std::int64_t, const Level& level) {
        for (Ref ref = level.head; ref != no_handle; ref = records_.next(ref)) {
            orders.push_back(records_.resting_record(ref));
        }
        return true;
    });
    return orders;
}

double OrderBook::side_volume(const SideLevels& side) const noexcept {
    double total = -0.0;
    side.ascending([&](std::int64_t, const Level& level) {
        for (Ref ref = level.head; ref != no_handle; ref = records_.next(ref)) total += records_.quantity(ref);
        return true;
    });
    return total;
}

std::optional<Quote> OrderBook::quote(const SideLevels& side) const noexcept {
    const auto best = side.best();
    if (!best) return std::nullopt;
    return Quote{best->first, records_.quantity(best->second->head)};
}

std::optional<double> OrderBook::spread() const noexcept {
    const auto bid = buys_.best();
    const auto ask = sells_.best();
    if (!bid || !ask) return std::nullopt;
    return static_cast<double>(ask->first - bid->first) * tick_size_;
}

}  // namespace quoranth
