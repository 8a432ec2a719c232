#include "lib/order_book.hpp"

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

Order OrderBook::resting_record(Handle node) const noexcept {
    Order record = index_[nodes_[node].entry].record;
    record.quantity = nodes_[node].quantity;
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
        Level& level = best->second;
        if (level.head == none) fail_internal("Queue is not empty if it exists in map");

        const Handle node = level.head;
        Order resting = resting_record(node);
        std::optional<Fill> fill = resting.fill(incoming, tick_size_);
        if (!fill) break;  // cannot happen after the price test; never spin on it
        fills.push_back(std::move(*fill));

        // Only now, with nothing left to fail, write the match into the book.
        IndexEntry& entry = index_[nodes_[node].entry];
        entry.record = resting;
        if (resting.is_open()) {
            nodes_[node].quantity = resting.quantity;  // keeps its place at the head
        } else {
            remove_resting(level, node);
            if (level.head == none) opposite.erase(best);
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
    const Handle node = nodes_.acquire();
    Level* level;
    try {
        level = &side_levels(remainder.side)[remainder.price_in_ticks];
    } catch (...) {
        nodes_.release(node);
        throw;
    }
    IndexEntry& owner = index_[entry];
    nodes_[node] = RestingNode{remainder.quantity, level->tail, none, entry, none, owner.first_resting};
    if (level->tail != none) nodes_[level->tail].next = node;
    else level->head = node;
    level->tail = node;
    if (owner.first_resting != none) nodes_[owner.first_resting].same_id_prev = node;
    owner.first_resting = node;
}

void OrderBook::remove_resting(Level& level, Handle node) noexcept {
    RestingNode& n = nodes_[node];
    if (n.prev != none) nodes_[n.prev].next = n.next;
    else level.head = n.next;
    if (n.next != none) nodes_[n.next].prev = n.prev;
    else level.tail = n.prev;

    if (n.same_id_prev != none) nodes_[n.same_id_prev].same_id_next = n.same_id_next;
    else index_[n.entry].first_resting = n.same_id_next;
    if (n.same_id_next != none) nodes_[n.same_id_next].same_id_prev = n.same_id_prev;
    nodes_.release(node);
}

bool OrderBook::cancel(std::string_view order_id) {
    const Handle entry = index_.find(order_id);
    if (entry == OrderIndex::none) return false;
    const Order& record = index_[entry].record;
    if (index_[entry].first_resting != none) {
        // Every record resting under one identifier shares its side and price.
        Levels& levels = side_levels(record.side);
        const auto level = levels.find(record.price_in_ticks);
        if (level == levels.end()) fail_internal("resting order has no level at its price");
        while (index_[entry].first_resting != none) remove_resting(level->second, index_[entry].first_resting);
        if (level->second.head == none) levels.erase(level);
    }
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

std::vector<Order> OrderBook::side_orders(const Levels& levels) const {
    std::vector<Order> orders;
    for (const auto& [price, level] : levels) {
        for (Handle node = level.head; node != none; node = nodes_[node].next) {
            orders.push_back(resting_record(node));
        }
    }
    return orders;
}

double OrderBook::side_volume(const Levels& levels) const noexcept {
    double total = -0.0;
    for (const auto& [price, level] : levels) {
        for (Handle node = level.head; node != none; node = nodes_[node].next) total += nodes_[node].quantity;
    }
    return total;
}

std::optional<Quote> OrderBook::quote(const Levels::value_type& level) const noexcept {
    return Quote{level.first, nodes_[level.second.head].quantity};
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
