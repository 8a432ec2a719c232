#pragma once
#include <cstdint>
#include <string>

namespace quoranth {

// One match between a buy order and a sell order. Identifiers made by matching
// are order ids; a Fill built from Python may hold any text.
struct Fill {
    double quantity = 0.0;
    double price = 0.0;
    std::string buy_id;
    std::string sell_id;
    std::uint64_t timestamp = 0;
};

}  // namespace quoranth
