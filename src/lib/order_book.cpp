#include "lib/order_book.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
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

}  // namespace

Order OrderBook::create_order(OrderType side, double price, double quantity) const {
    if (price <= 0.0 || quantity <= 0.0) throw ValueError("Price and quantity must be positive");
    const std::int64_t ticks = saturating_ticks(std::round(price / tick_size_));
    if (ticks <= 0) throw ValueError("Resulting price_in_ticks must be positive");
    return Order::create(side, ticks, quantity);
}

Order OrderBook::resting_record(Ref ref) const noexcept {
    Order record = index_[entry_of(ref)].record;
    record.quantity = links(ref).quantity;
    record.status = OrderStatus::Open;
    return record;
}

std::span<const Fill> OrderBook::add(const Order& incoming_order) {
    Order incoming = incoming_order;
    std::vector<Fill>& fills = fills_;
    fills.clear();
    // Keep a small buffer for the common case; one large sweep must not pin
    // its memory for the life of the book.
    if (fills.capacity() > max_kept_fills) std::vector<Fill>().swap(fills);
    const bool buying = incoming.side == OrderType::Buy;
    Levels& opposite = buying ? sells_ : buys_;

    while (incoming.is_open() && !opposite.empty()) {
        const auto best = buying ? opposite.begin() : std::prev(opposite.end());
        if (buying ? incoming.price_in_ticks < best->first : incoming.price_in_ticks > best->first) break;
        PriceLevel& level = best->second;
        if (level.head == none) fail_internal("Queue is not empty if it exists in map");

        const Ref head = level.head;
        Order resting = resting_record(head);
        std::optional<Fill> fill = resting.fill(incoming, tick_size_);
        if (!fill) break;  // cannot happen after the price test; never spin on it
        fills.push_back(std::move(*fill));

        // Only now, with nothing left to fail, write the match into the book.
        index_[entry_of(head)].record = resting;
        if (resting.is_open()) {
            links(head).quantity = resting.quantity;  // keeps its place at the head
        } else {
            unlink(head);
            if (level.head == none) {
                (buying ? sell_lookup_ : buy_lookup_).erase(best->first);
                opposite.erase(best);
            }
        }
        // A match that exhausts neither side would repeat forever; stop instead.
        if (resting.is_open() && incoming.is_open()) break;
    }

    const Handle entry = index_.find_or_insert(incoming);
    index_[entry].record = incoming;
    if (incoming.is_open()) rest(incoming, entry);
    return fills;
}

void OrderBook::rest(const Order& remainder, Handle entry) {
    // The record rests inline in its entry unless an earlier copy rests there.
    const bool inline_free = index_[entry].resting.level == nullptr;
    const Handle extra = inline_free ? none : overflow_.acquire();
    PriceLevel* level;
    try {
        level = &level_at(remainder.side, remainder.price_in_ticks);
    } catch (...) {
        if (extra != none) overflow_.release(extra);
        throw;
    }
    const RestingLinks placed{remainder.quantity, level->tail, none, level};
    IndexEntry& owner = index_[entry];
    Ref ref = entry;
    if (inline_free) {
        owner.resting = placed;
    } else {
        overflow_[extra] = OverflowRecord{placed, entry, none, owner.overflow};
        if (owner.overflow != none) overflow_[owner.overflow].chain_prev = extra;
        owner.overflow = extra;
        ref = extra | overflow_bit;
    }
    if (level->tail != none) links(level->tail).next = ref;
    else level->head = ref;
    level->tail = ref;
    ++resting_counts_[static_cast<int>(remainder.side)];
}

PriceLevel& OrderBook::level_at(OrderType side, std::int64_t price) {
    LevelIndex& lookup = side_lookup(side);
    if (PriceLevel* level = lookup.find(price)) return *level;
    Levels& levels = side_levels(side);
    PriceLevel& level = levels[price];
    try {
        lookup.insert(price, &level);
    } catch (...) {
        levels.erase(price);  // never leave an empty level behind
        throw;
    }
    return level;
}

void OrderBook::remove_level(OrderType side, std::int64_t price) noexcept {
    side_lookup(side).erase(price);
    side_levels(side).erase(price);
}

void OrderBook::unlink(Ref ref) noexcept {
    RestingLinks& place = links(ref);
    PriceLevel& level = *place.level;
    if (place.prev != none) links(place.prev).next = place.next;
    else level.head = place.next;
    if (place.next != none) links(place.next).prev = place.prev;
    else level.tail = place.prev;
    --resting_counts_[static_cast<int>(index_[entry_of(ref)].record.side)];

    if (!(ref & overflow_bit)) {
        place = RestingLinks{};
        return;
    }
    const Handle extra = ref & ~overflow_bit;
    const OverflowRecord& record = overflow_[extra];
    if (record.chain_prev != none) overflow_[record.chain_prev].chain_next = record.chain_next;
    else index_[record.entry].overflow = record.chain_next;
    if (record.chain_next != none) overflow_[record.chain_next].chain_prev = record.chain_prev;
    overflow_.release(extra);
}

bool OrderBook::cancel(std::string_view order_id) {
    const Handle entry = index_.find(order_id);
    if (entry == OrderIndex::none) return false;
    IndexEntry& owner = index_[entry];
    // Every record resting under one identifier shares its side and price, so
    // they all sit in one level.
    PriceLevel* level = owner.resting.level;
    if (level == nullptr && owner.overflow != none) level = overflow_[owner.overflow].links.level;
    if (owner.resting.level != nullptr) unlink(entry);
    while (owner.overflow != none) unlink(owner.overflow | overflow_bit);
    if (level != nullptr && level->head == none) remove_level(owner.record.side, owner.record.price_in_ticks);
    index_.erase(entry);
    return true;
}

std::optional<Order> OrderBook::get_order(std::string_view order_id) const {
    const Handle entry = index_.find(order_id);
    if (entry == OrderIndex::none) return std::nullopt;
    return index_[entry].record;
}

void OrderBook::update_order(const Order& order) {
    index_[index_.find_or_insert(order)].record = order;
}

std::optional<OrderBook::Ref> OrderBook::oldest_resting(Handle entry) const noexcept {
    const IndexEntry& owner = index_[entry];
    const bool inline_rests = owner.resting.level != nullptr;
    if (owner.overflow == none) return inline_rests ? std::optional<Ref>(entry) : std::nullopt;
    // Several records rest under this id, all in one level: the first one met
    // from the head of that level is the oldest. Rare (an order added again
    // while it rests), so a walk is fine.
    const PriceLevel* level = overflow_[owner.overflow].links.level;
    for (Ref ref = level->head; ref != none; ref = links(ref).next) {
        if (entry_of(ref) == entry) return ref;
    }
    return std::nullopt;  // unreachable while the chain and the queues agree
}

bool OrderBook::reduce(std::string_view order_id, double quantity) {
    if (!(quantity > 0.0)) throw ValueError("quantity must be positive");  // NaN included
    if (std::isinf(quantity)) throw ValueError("quantity must be finite");
    const Handle entry = index_.find(order_id);
    if (entry == OrderIndex::none) return false;
    const std::optional<Ref> oldest = oldest_resting(entry);
    if (!oldest) return false;
    RestingLinks& place = links(*oldest);
    const double left = place.quantity - quantity;
    if (!(left > 0.0)) return cancel(order_id);
    place.quantity = left;  // in place: the record keeps its turn in the queue
    Order& record = index_[entry].record;
    record.quantity = left;
    record.status = OrderStatus::Open;
    return true;
}

std::optional<QueuePosition> OrderBook::queue_position(std::string_view order_id) const {
    const Handle entry = index_.find(order_id);
    if (entry == OrderIndex::none) return std::nullopt;
    const std::optional<Ref> oldest = oldest_resting(entry);
    if (!oldest) return std::nullopt;
    // Summed from the head, in queue order, as a caller summing the side list would.
    QueuePosition ahead{0, 0.0};
    for (Ref ref = links(*oldest).level->head; ref != *oldest; ref = links(ref).next) {
        ++ahead.orders_ahead;
        ahead.quantity_ahead += links(ref).quantity;
    }
    return ahead;
}

DepthLevel OrderBook::depth_level(std::int64_t price, const PriceLevel& level) const noexcept {
    DepthLevel view{price, 0.0, 0};
    for (Ref ref = level.head; ref != none; ref = links(ref).next) {
        view.quantity += links(ref).quantity;
        ++view.orders;
    }
    return view;
}

Depth OrderBook::depth(std::int64_t levels) const {
    if (levels <= 0) throw ValueError("levels must be positive");
    const auto wanted = static_cast<std::uint64_t>(levels);
    Depth view;
    view.bids.reserve(std::min<std::uint64_t>(wanted, buys_.size()));
    view.asks.reserve(std::min<std::uint64_t>(wanted, sells_.size()));
    for (auto it = buys_.rbegin(); it != buys_.rend() && view.bids.size() < wanted; ++it) {
        view.bids.push_back(depth_level(it->first, it->second));
    }
    for (auto it = sells_.begin(); it != sells_.end() && view.asks.size() < wanted; ++it) {
        view.asks.push_back(depth_level(it->first, it->second));
    }
    return view;
}

std::vector<Order> OrderBook::side_orders(const Levels& levels) const {
    std::vector<Order> orders;
    orders.reserve(resting_counts_[&levels == &buys_ ? 0 : 1]);
    for (const auto& [price, level] : levels) {
        for (Ref ref = level.head; ref != none; ref = links(ref).next) orders.push_back(resting_record(ref));
    }
    return orders;
}

double OrderBook::side_volume(const Levels& levels) const noexcept {
    double total = -0.0;
    for (const auto& [price, level] : levels) {
        for (Ref ref = level.head; ref != none; ref = links(ref).next) total += links(ref).quantity;
    }
    return total;
}

std::optional<Quote> OrderBook::quote(const Levels::value_type& level) const noexcept {
    return Quote{level.first, links(level.second.head).quantity};
}

std::optional<Quote> OrderBook::best_bid() const {
    if (buys_.empty()) return std::nullopt;
    return quote(*buys_.rbegin());
}

std::optional<Quote> OrderBook::best_ask() const {
    if (sells_.empty()) return std::nullopt;
    return quote(*sells_.begin());
}

std::optional<double> OrderBook::spread() const noexcept {
    if (buys_.empty() || sells_.empty()) return std::nullopt;
    const std::int64_t ticks = sells_.begin()->first - buys_.rbegin()->first;
    return static_cast<double>(ticks) * tick_size_;
}

}  // namespace quoranth
