#pragma once
#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <utility>

#include "lib/enums.hpp"

namespace quoranth {

// The quantity resting at one side's best price, for a batch that reports it
// after every event (top of book). Summing the level again after each event
// costs its length, which made a batch over a deep best level quadratic; the
// total is carried from event to event instead wherever that gives the very
// bits a fresh sum in queue order would:
//   - a record joining the tail continues that sum: total + quantity;
//   - while every record of the level is a multiple of one power of two (its
//     step: 1 for whole sizes, 1/2, 1/8, ...) and the total is below 2^53
//     steps, every partial sum is exact in any order, so taking a multiple of
//     the step from any record is exact too: total - quantity. (A rounded
//     total of exactly 2^53 steps may stand for one step more: it does not
//     count.) Decimal fractions such as 0.1 are no multiple of a coarse step.
// Any other change at a carried price sums that level afresh. Two levels are
// carried: the best, and the one it displaced, so that a better price that
// comes and goes (a common flicker at the touch) costs no sum of the level
// beneath. The batch tells it every change it makes to the side, by price.
class BestLevelTotal {
public:
    explicit BestLevelTotal(OrderType side) noexcept : buying_(side == OrderType::Buy) {}

    // The side's best price and the quantity resting there, given the best
    // price now. `sum(add)` calls add(quantity) on each record of that level,
    // in queue order; it runs only if no carried total holds.
    template <typename Sum>
    std::optional<std::pair<std::int64_t, double>> at(std::optional<std::int64_t> best_price, Sum&& sum) {
        if (!best_price) {
            known_ = true;
            best_.carried = false;
            displaced_.carried = false;
            return std::nullopt;
        }
        if (!known_ || !best_.carried || best_.price != *best_price) {
            if (displaced_.carried && displaced_.price == *best_price) {
                best_ = displaced_;  // the level a better price had displaced is the best again
            } else {
                best_ = Level{*best_price};
                best_.sum_from(sum);
            }
            displaced_.carried = false;
            known_ = true;
        }
        return std::pair{best_.price, best_.total};
    }

    // A record of `quantity` joined the side at `price`, at the tail of its level.
    void joined(std::int64_t price, double quantity) noexcept {
        if (displaced_.carried && price == displaced_.price) displaced_.join(quantity);
        if (!known_) return;
        if (best_.carried && price == best_.price) {
            best_.join(quantity);
        } else if (!best_.carried || (buying_ ? price > best_.price : price < best_.price)) {
            // A price better than the best had no level: the record is alone there.
            displaced_ = best_;
            best_ = Level{price};
            best_.join(quantity);
        }
    }

    // A record resting at `price` lost `quantity` (all it had, or part).
    void left(std::int64_t price, double quantity) noexcept {
        if (displaced_.carried && price == displaced_.price) displaced_.carried = displaced_.take(quantity);
        // At a price worse than the best, the best level is as it was.
        if (known_ && best_.carried && price == best_.price && !best_.take(quantity)) known_ = false;
    }

    // The level at `price` changed in some other way.
    void touched(std::int64_t price) noexcept {
        if (displaced_.carried && price == displaced_.price) displaced_.carried = false;
        if (known_ && best_.carried && price == best_.price) known_ = false;
    }

private:
    static constexpr int no_step = 2048;  // above any finite double's exponent: no record yet

    // One level's total as a sum in queue order gives it, with what makes
    // taking from it exact.
    struct Level {
        std::int64_t price = 0;
        double total = 0.0;
        int step = no_step;  // every record a multiple of 2^step
        bool exact = true;   // and the total below 2^(53 + step): every partial sum exact
        bool carried = true;

        void join(double quantity) noexcept {
            total += quantity;
            step = std::min(step, step_of(quantity));
            exact = exact && below_bound();
        }
        // Sums the level afresh, in queue order. Once the total passes its
        // bound, no step is tracked further: nothing can be taken exactly.
        template <typename Sum>
        void sum_from(Sum&& sum) {
            // In locals, which the records read meanwhile cannot alias.
            Level summed = *this;
            sum([&summed](double quantity) noexcept {
                summed.total += quantity;
                if (summed.exact) {
                    summed.step = std::min(summed.step, step_of(quantity));
                    summed.exact = summed.below_bound();
                }
            });
            *this = summed;
        }
        // The total is below 2^(53 + step): its exponent is under 53 + step.
        // (A rounded sum reaches that bound only if the exact sum does, and
        // every partial sum of positive sizes is below the whole.)
        // An infinite total (exponent 1024) is never exact.
        bool below_bound() const noexcept {
            const int exponent = exponent_of(total);
            return exponent < 1024 && exponent < 53 + step;
        }
        // False if the level's total must be summed again.
        bool take(double quantity) noexcept {
            if (!exact || step_of(quantity) < step) return false;
            total -= quantity;
            return true;
        }
    };

    // The exponent of the lowest set bit of a finite positive double: it is a
    // multiple of 2^step_of(quantity) and of no higher power of two.
    static int step_of(double quantity) noexcept {
        const auto bits = std::bit_cast<std::uint64_t>(quantity);
        const auto biased = static_cast<int>(bits >> 52 & 0x7FF);
        std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
        if (biased != 0) mantissa |= std::uint64_t{1} << 52;
        if (mantissa == 0) return no_step;  // zero: a multiple of everything
        return (biased != 0 ? biased - 1075 : -1074) + std::countr_zero(mantissa);
    }

    // floor(log2(total)) of a positive double, -1023 for a subnormal one, 1024 for infinity.
    static int exponent_of(double total) noexcept { return static_cast<int>(std::bit_cast<std::uint64_t>(total) >> 52 & 0x7FF) - 1023; }

    bool buying_;
    bool known_ = false;  // whether best_ describes the side as it is (carried or not: no level)
    Level best_{0, 0.0, no_step, true, false};
    Level displaced_{0, 0.0, no_step, true, false};
};

}  // namespace quoranth
