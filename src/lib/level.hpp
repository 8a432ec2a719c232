#pragma once
#include <cstdint>

#include "lib/slot_pool.hpp"

namespace quoranth {

// One price level: the queue of the records resting at its price, oldest at
// the head. The links are record references of RestingRecords.
struct Level {
    std::uint32_t head = no_handle;
    std::uint32_t tail = no_handle;
    bool empty() const noexcept { return head == no_handle; }
};

}  // namespace quoranth
