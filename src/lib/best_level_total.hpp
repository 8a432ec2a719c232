#pragma once
#include <cmath>
#include <cstdint>
#include <optional>

#include "lib/enums.hpp"

namespace quoranth {

// The quantity resting at one side's best price, for a batch that reports it
// after every event (top of book). Summing the level again after each event
// costs its length, which made a batch over a deep best level quadratic; the
// total is carried from event to event instead wherever that gives the very
// bits a fresh sum in queue order would:
//   - a record joining the tail continues that sum: total + quantity;
//   - while every record of the level is a whole number and the total is
//     below 2^53, every partial sum is exact in any order, so taking a whole
//     quantity from any record is exact too: total - quantity. (A rounded
//     total of exactly 2^53 may stand for 2^53 + 1: it does not count.)
// Any other change at the best price, or a new best price, sums the level
// afresh (refresh). The batch tells it every change it makes to the side.
class BestLevelTotal {
public:
    explicit BestLevelTotal(OrderType side) noexcept : buying_(side == OrderType::Buy) {}

    // The side's best price and the quantity resting there, given the best
    // price now. `sum(add)` calls add(quantity) on each record of that level,
    // in queue order; it runs only if the carried total no longer holds.
    template <typename Sum>
    std::optional<std::pair<std::int64_t, double>> at(std::optional<std::int64_t> best_price, Sum&& sum) {
        if (!best_price) {
            known_ = true;
            has_level_ = false;
            return std::nullopt;
        }
        if (!known_ || !has_level_ || *best_price != price_) {
            total_ = 0.0;
            whole_ = true;
            sum([this](double quantity) noexcept {
                total_ += quantity;
                whole_ = whole_ && is_whole(quantity) && total_ < exact_limit;
            });
            known_ = has_level_ = true;
            price_ = *best_price;
        }
        return std::pair{price_, total_};
    }

    // A record of `quantity` joined the side at `price`, at the tail of its level.
    void joined(std::int64_t price, double quantity) noexcept {
        if (!known_) return;
        if (has_level_ && price == price_) {
            total_ += quantity;
            whole_ = whole_ && is_whole(quantity) && total_ < exact_limit;
        } else if (!has_level_ || (buying_ ? price > price_ : price < price_)) {
            // A price better than the best had no level: the record is alone there.
            has_level_ = true;
            price_ = price;
            total_ = quantity;
            whole_ = is_whole(quantity) && quantity < exact_limit;
        }
    }

    // A record resting at `price` lost `quantity` (all it had, or part).
    void left(std::int64_t price, double quantity) noexcept {
        if (!known_ || !has_level_ || price != price_) return;  // a worse price: the best level is as it was
        if (whole_ && is_whole(quantity)) total_ -= quantity;
        else known_ = false;
    }

    // The level at `price` changed in some other way.
    void touched(std::int64_t price) noexcept {
        if (known_ && has_level_ && price == price_) known_ = false;
    }
    void forget() noexcept { known_ = false; }

    // The best price this total was carried for, if it is known.
    std::optional<std::int64_t> price() const noexcept {
        if (!known_ || !has_level_) return std::nullopt;
        return price_;
    }

private:
    static constexpr double exact_limit = 9007199254740992.0;  // 2^53
    static bool is_whole(double quantity) noexcept { return quantity == std::trunc(quantity); }

    bool buying_;
    bool known_ = false;      // whether the fields below describe the side as it is
    bool has_level_ = false;  // whether the side has a level at all
    bool whole_ = false;      // every record at price_ whole, total_ below 2^53
    std::int64_t price_ = 0;
    double total_ = 0.0;
};

}  // namespace quoranth
