#include "lib/sources.hpp"

#include "lib/clock.hpp"

namespace quoranth {

namespace {

class SystemClock final : public Clock {
public:
    std::uint64_t now() override { return now_timestamp(); }
};

class SystemIds final : public IdSource {
public:
    OrderId next() override { return new_order_id(); }
};

SystemClock the_system_clock;
SystemIds the_system_ids;

}  // namespace

Clock& system_clock() noexcept { return the_system_clock; }
IdSource& system_ids() noexcept { return the_system_ids; }

}  // namespace quoranth
