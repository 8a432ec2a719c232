#include "lib/replay/lobster_plan.hpp"

#include <cstdint>
#include <limits>

#include "lib/key_table.hpp"

namespace quoranth::replay {

namespace {

constexpr std::int8_t new_order = 1, partial_cancel = 2, deletion = 3, execution = 4;

std::int64_t floor_divide(std::int64_t value, std::int64_t divisor) noexcept {
    const std::int64_t quotient = value / divisor;
    return (value % divisor != 0 && value < 0) ? quotient - 1 : quotient;
}

// What the exchange still holds of an order added in the file.
struct Live {
    std::int64_t key;
    std::int64_t remaining;
};

// Opening orders by side and price.
std::int64_t opening_key(const KeyTable<std::int64_t>& by_level, std::int8_t side, std::int64_t ticks) {
    // Ticks of real prices are far below 2^62, so side and ticks share one key.
    const std::int64_t* key = by_level.find(static_cast<std::int64_t>(static_cast<std::uint64_t>(ticks) << 1) | side);
    return key != nullptr ? *key : no_key;
}

}  // namespace

Plan plan_messages(const Messages& messages, std::span<const OpeningOrder> opening) {
    const std::size_t count = messages.types.size();
    Plan plan;
    // Columns as long as the file, written once each: large pages.
    plan.operations.resize(count);
    plan.keys.resize(count);
    plan.sides.resize(count);
    plan.ticks.resize(count);
    plan.quantities.assign(messages.sizes.begin(), messages.sizes.end());

    KeyTable<std::int64_t> by_level;
    for (const OpeningOrder& order : opening) {
        by_level.put(static_cast<std::int64_t>(static_cast<std::uint64_t>(order.ticks) << 1) | order.side, order.key);
    }
    KeyTable<Live> live;  // by exchange id

    // The table of live orders outgrows the caches on a long file: the slot
    // of a message's order starts loading a few messages ahead.
    constexpr std::size_t ahead = 8;
    for (std::size_t index = 0; index < count; ++index) {
        if (index + ahead < count) live.prefetch(messages.order_ids[index + ahead]);
        const std::int8_t type = messages.types[index];
        const std::int64_t size = messages.sizes[index];
        std::int8_t side = messages.directions[index] == 1 ? buy_side : sell_side;
        const std::int64_t ticks = floor_divide(messages.prices[index], price_units_per_tick);
        Operation operation = Operation::Nothing;
        std::int64_t key = no_key;

        if (type == new_order) {
            operation = Operation::Add;
            key = static_cast<std::int64_t>(index);
            live.put(messages.order_ids[index], Live{key, size});
        } else if (type == partial_cancel || type == deletion || type == execution) {
            if (Live* record = live.find(messages.order_ids[index])) {
                key = record->key;
                // The readers' sizes are positive, but the plan takes any
                // columns: a size that would overflow what is left ends the order.
                const std::int64_t remaining = record->remaining;
                using limits = std::numeric_limits<std::int64_t>;
                const bool overflows = size > 0 ? remaining < limits::min() + size : remaining > limits::max() + size;
                const bool ended = type == deletion || overflows || remaining - size <= 0;
                if (!ended) record->remaining = remaining - size;
                if (ended) live.erase(messages.order_ids[index]);
                if (type == partial_cancel) operation = Operation::Reduce;
                else if (type == deletion) operation = Operation::Cancel;
                else operation = ended ? Operation::TakeThenCancel : Operation::Take;
            } else if ((key = opening_key(by_level, side, ticks)) != no_key) {
                operation = type == execution ? Operation::Take : Operation::Reduce;
            } else {
                ++plan.unplaced;
            }
            // An execution is replayed by an order from the other side.
            if (type == execution && operation != Operation::Nothing) side = side == buy_side ? sell_side : buy_side;
        }
        plan.operations[index] = static_cast<std::int8_t>(operation);
        plan.keys[index] = key;
        plan.sides[index] = side;
        plan.ticks[index] = ticks;
    }
    return plan;
}

}  // namespace quoranth::replay
