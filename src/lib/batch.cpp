#include "lib/batch.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "lib/errors.hpp"
#include "lib/order_book.hpp"

namespace quoranth {

namespace {

std::int64_t id_hash(std::string_view id) noexcept { return static_cast<std::int64_t>(hash_order_id(id)); }

// Room for `size` items, growing geometrically (an exact reserve per event
// would copy the column every time).
template <typename T>
void make_room(std::vector<T>& column, std::size_t size) {
    if (column.capacity() < size) column.reserve(std::max(size, 2 * column.capacity()));
}

[[noreturn]] void refuse_event(std::size_t index, const char* what) {
    throw ValueError("event " + std::to_string(index) + ": " + what);
}

// Every event is checked before any is applied, so that bad input changes nothing.
void check(const BatchEvents& events) {
    const std::size_t count = events.operations.size();
    if (events.keys.size() != count || events.sides.size() != count || events.prices_in_ticks.size() != count ||
        events.quantities.size() != count) {
        throw ValueError("the event columns must have the same length");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto operation = static_cast<BatchOperation>(events.operations[i]);
        const double quantity = events.quantities[i];
        switch (operation) {
            case BatchOperation::Nothing:
            case BatchOperation::Cancel:
                continue;
            case BatchOperation::Add:
            case BatchOperation::Take:
            case BatchOperation::TakeThenCancel:
                if (events.sides[i] != 0 && events.sides[i] != 1) refuse_event(i, "side must be 0 (Buy) or 1 (Sell)");
                if (events.prices_in_ticks[i] <= 0) refuse_event(i, "price_in_ticks must be positive");
                break;
            case BatchOperation::Reduce:
                break;
            default:
                refuse_event(i, "unknown operation");
        }
        if (!(quantity > 0.0)) refuse_event(i, "quantity must be positive");
        if (std::isinf(quantity)) refuse_event(i, "quantity must be finite");
    }
}

}  // namespace

std::int64_t KeyedOrders::key_of(std::string_view id) const noexcept {
    if (const std::int64_t* key = keys_.find(id_hash(id))) {
        if (const OrderId* bound = ids_.find(*key); bound != nullptr && bound->equals(id)) return *key;
    }
    for (const std::int64_t key : collided_) {
        if (const OrderId* bound = ids_.find(key); bound != nullptr && bound->equals(id)) return key;
    }
    return no_key;
}

void KeyedOrders::bind(std::int64_t key, const OrderId& id) {
    // Every allocation first, so that a failure changes nothing.
    ids_.reserve(1);
    keys_.reserve(1);
    make_room(collided_, collided_.size() + 1);
    unbind(key);
    const std::int64_t hash = id_hash(id.view());
    if (keys_.find(hash) != nullptr) collided_.push_back(key);
    else keys_.put(hash, key);
    ids_.put(key, id);
}

void KeyedOrders::unbind(std::int64_t key) noexcept {
    const OrderId* id = ids_.find(key);
    if (id == nullptr) return;
    const std::int64_t hash = id_hash(id->view());
    if (const std::int64_t* owner = keys_.find(hash); owner != nullptr && *owner == key) {
        keys_.erase(hash);
    } else {
        collided_.erase(std::remove(collided_.begin(), collided_.end(), key), collided_.end());
    }
    ids_.erase(key);
}

void OrderBook::apply_batch(const BatchEvents& events, BatchFills& fills, BatchTops* tops) {
    check(events);
    plan_.valid_ = false;
    const std::size_t count = events.operations.size();
    if (tops != nullptr) {
        for (auto* column : {&tops->bid_prices, &tops->ask_prices}) column->reserve(count);
        for (auto* column : {&tops->bid_quantities, &tops->ask_quantities}) column->reserve(count);
    }
    const auto cancel_key = [&](std::int64_t key) {
        if (const OrderId* id = keyed_.id_of(key)) {
            cancel(id->view());
            keyed_.unbind(key);
        }
    };
    for (std::size_t i = 0; i < count; ++i) {
        const auto operation = static_cast<BatchOperation>(events.operations[i]);
        const std::int64_t key = events.keys[i];
        switch (operation) {
            case BatchOperation::Nothing:
                break;
            case BatchOperation::Add:
            case BatchOperation::Take:
            case BatchOperation::TakeThenCancel: {
                const auto side = static_cast<OrderType>(events.sides[i]);
                const bool adding = operation == BatchOperation::Add;
                const std::int64_t price = events.prices_in_ticks[i];
                const double quantity = events.quantities[i];
                // A taking order is never seen again: it needs no id or clock reading of its own.
                const Order order = adding ? Order::create_from(side, price, quantity, *clock_, *ids_)
                                           : Order::stand_in(side, price, quantity);
                const MatchPlan& plan = plan_add(order, adding ? Remainder::Rest : Remainder::Drop);
                // Room for everything this event writes, before the book changes.
                const std::size_t room = fills.events.size() + plan.fills().size();
                for (auto* column : {&fills.events, &fills.buy_keys, &fills.sell_keys, &fills.prices_in_ticks}) {
                    make_room(*column, room);
                }
                make_room(fills.quantities, room);
                if (adding) keyed_.bind(key, order.id);
                const std::int64_t incoming_key = adding ? key : no_key;
                const bool buying = side == OrderType::Buy;
                for (std::size_t f = 0; f < plan.fills().size(); ++f) {
                    const Fill& fill = plan.fills()[f];
                    const std::int64_t resting_key = keyed_.key_of(buying ? fill.sell_id.view() : fill.buy_id.view());
                    fills.events.push_back(static_cast<std::int64_t>(i));
                    fills.buy_keys.push_back(buying ? incoming_key : resting_key);
                    fills.sell_keys.push_back(buying ? resting_key : incoming_key);
                    fills.prices_in_ticks.push_back(buying ? plan.resting_prices()[f] : price);
                    fills.quantities.push_back(fill.quantity);
                }
                commit_add();
                if (operation == BatchOperation::TakeThenCancel) cancel_key(key);
                break;
            }
            case BatchOperation::Reduce:
                if (const OrderId* id = keyed_.id_of(key)) {
                    // A reduce that leaves nothing cancels the order, and its key goes with it.
                    const std::string_view order_id = id->view();
                    if (reduce(order_id, events.quantities[i]) && records_.find(order_id) == no_handle) {
                        keyed_.unbind(key);
                    }
                }
                break;
            case BatchOperation::Cancel:
                cancel_key(key);
                break;
        }
        if (tops != nullptr) {
            const std::optional<DepthLevel> bid = best_level(buys_), ask = best_level(sells_);
            tops->bid_prices.push_back(bid ? bid->price_in_ticks : 0);
            tops->bid_quantities.push_back(bid ? bid->quantity : 0.0);
            tops->ask_prices.push_back(ask ? ask->price_in_ticks : 0);
            tops->ask_quantities.push_back(ask ? ask->quantity : 0.0);
        }
    }
}

}  // namespace quoranth
