#pragma once
#include <cstdint>

#include "lib/small_text.hpp"

namespace quoranth {

// One match between a buy order and a sell order. Identifiers made by matching
// are order ids; a Fill built from Python may hold any text.
struct Fill {
    double quantity = 0.0;
    double price = 0.0;
    SmallText buy_id;
    SmallText sell_id;
    std::uint64_t timestamp = 0;
};

}  // namespace quoranth
