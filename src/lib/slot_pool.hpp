#pragma once
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace quoranth {

// Stable storage for many small records addressed by 32-bit handles. Records
// live in fixed-size chunks (never moved, so growth copies nothing) and freed
// slots are reused first, so a steady add/cancel flow allocates nothing.
template <typename T>
class SlotPool {
public:
    using Handle = std::uint32_t;
    static constexpr Handle none = 0xFFFFFFFFu;

    T& operator[](Handle h) noexcept { return chunks_[h >> chunk_bits][h & chunk_mask]; }
    const T& operator[](Handle h) const noexcept { return chunks_[h >> chunk_bits][h & chunk_mask]; }

    // Handles stay below 2^31 so that users may tag them with the top bit.
    static constexpr Handle max_slots = 0x7FFFFFFFu;

    Handle acquire() {
        if (!free_.empty()) {
            const Handle h = free_.back();
            free_.pop_back();
            return h;
        }
        if (used_ == max_slots) throw std::bad_alloc();  // reported as MemoryError; never wrap
        if ((used_ & chunk_mask) == 0 && (used_ >> chunk_bits) == chunks_.size()) {
            chunks_.push_back(std::make_unique_for_overwrite<T[]>(chunk_size));
            // Room for every slot on the free list, so that release never allocates.
            free_.reserve(chunks_.size() * chunk_size);
        }
        return used_++;
    }

    // The slot's contents are left as they are; the next acquire overwrites them.
    void release(Handle h) noexcept { free_.push_back(h); }


private:
    static constexpr unsigned chunk_bits = 12;
    static constexpr std::uint32_t chunk_size = 1u << chunk_bits;
    static constexpr std::uint32_t chunk_mask = chunk_size - 1;

    std::vector<std::unique_ptr<T[]>> chunks_;
    std::vector<Handle> free_;
    Handle used_ = 0;
};

}  // namespace quoranth
