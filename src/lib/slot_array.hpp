#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "lib/platform/memory.hpp"

namespace quoranth {

// Values indexed by the handles of a SlotPool, kept apart from the pool's
// records: a second part of every record, stored in an array of its own so
// that the records stay one cache line each. Chunks of 32,768 values aligned
// to cache lines, never moved, left uninitialised (untouched pages cost no
// memory); grown to cover every handle below a bound before those are used.
template <typename T>
class SlotArray {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    T& operator[](std::uint32_t h) noexcept { return chunks_[h >> chunk_bits][h & chunk_mask]; }
    const T& operator[](std::uint32_t h) const noexcept { return chunks_[h >> chunk_bits][h & chunk_mask]; }

    // Makes every handle below `bound` addressable; may throw (memory).
    void cover(std::size_t bound) {
        while (covered_ < bound) {
            Chunk chunk(static_cast<T*>(platform::allocate_block(chunk_bytes, chunk_alignment, platform::Advice::none)));
            chunks_.push_back(std::move(chunk));
            covered_ += chunk_size;
        }
    }

private:
    static constexpr unsigned chunk_bits = 15;
    static constexpr std::uint32_t chunk_size = 1u << chunk_bits;
    static constexpr std::uint32_t chunk_mask = chunk_size - 1;
    static constexpr std::size_t chunk_bytes = std::size_t{chunk_size} * sizeof(T);
    static constexpr std::size_t chunk_alignment = 64;
    struct ChunkDeleter {
        void operator()(T* chunk) const noexcept { platform::free_block(chunk, chunk_bytes, chunk_alignment); }
    };
    using Chunk = std::unique_ptr<T[], ChunkDeleter>;

    std::vector<Chunk> chunks_;
    std::size_t covered_ = 0;  // handles below this are addressable
};

}  // namespace quoranth
