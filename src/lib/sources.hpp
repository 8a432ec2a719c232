#pragma once
#include <cstdint>

#include "lib/order_id.hpp"

namespace quoranth {

// Where a book reads the time of each fill and mints the identifiers of the
// orders it creates. Injected so that tests and benchmarks can be
// deterministic and can make either one fail on demand; books use the
// system's by default. A source outlives every book that uses it.
class Clock {
public:
    // Nanoseconds since the Unix epoch; may throw (an internal failure).
    virtual std::uint64_t now() = 0;

protected:
    ~Clock() = default;
};

class IdSource {
public:
    // A fresh identifier; may throw (an internal failure).
    virtual OrderId next() = 0;

protected:
    ~IdSource() = default;
};

// The wall clock (now_timestamp) and the OS random source (new_order_id).
Clock& system_clock() noexcept;
IdSource& system_ids() noexcept;

}  // namespace quoranth
