#pragma once
#include <cstdint>

namespace quoranth {

// The process's random secret for keyed hashes of caller-chosen values (batch
// keys, identifiers restored from saved state), drawn once per process.
std::uint64_t hash_secret() noexcept;

}  // namespace quoranth
