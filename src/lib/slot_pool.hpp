#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "lib/platform/memory.hpp"

namespace quoranth {

// The one "no handle" value of every pool, table and queue link.
inline constexpr std::uint32_t no_handle = 0xFFFFFFFFu;

// Stable storage for many small records addressed by 32-bit handles. Records
// live in chunks that are never moved, so growth copies nothing. The first
// chunk is small (2,048 records), so that a small pool stays small; every
// later one holds 32,768 records, starts on a large-page boundary and asks
// for large pages unless `advice` says otherwise, since a pool that large is
// touched at random and a large page takes one page fault where small ones
// take hundreds (a fault costs microseconds in a virtual machine).
// Untouched pages of a chunk cost no memory. A freed slot holds the link to
// the next free one in its own bytes, so the free list costs no memory, and
// freed slots are reused first.
template <typename T, platform::Advice advice = platform::Advice::large_pages>
class SlotPool {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    using Handle = std::uint32_t;
    // Handles stay below 2^31 - 2, so that users may tag them with the top bit
    // and still tell them from no_handle and one other marker.
    static constexpr Handle max_slots = 0x7FFFFFFEu;

    T& operator[](Handle h) noexcept { return *std::launder(reinterpret_cast<T*>(slot(h).bytes)); }
    const T& operator[](Handle h) const noexcept {
        return *std::launder(reinterpret_cast<const T*>(slot(h).bytes));
    }

    // Makes sure the next `count` acquires allocate nothing (and so cannot fail).
    void reserve(std::size_t count) {
        if (count <= free_count_ + (capacity() - used_)) return;
        const std::size_t fresh_needed = count - free_count_;
        if (fresh_needed > max_slots - used_) throw std::bad_alloc();  // reported as MemoryError; never wrap
        while (capacity() - used_ < fresh_needed) add_chunk();
    }

    Handle acquire() {
        reserve(1);
        return acquire_reserved();
    }

    // After reserve(): takes a slot without allocating. Its contents are undefined.
    Handle acquire_reserved() noexcept {
        if (free_head_ != no_handle) {
            const Handle h = free_head_;
            std::memcpy(&free_head_, slot(h).bytes, sizeof(Handle));
            --free_count_;
            return h;
        }
        return used_++;
    }

    void release(Handle h) noexcept {
        std::memcpy(slot(h).bytes, &free_head_, sizeof(Handle));
        free_head_ = h;
        ++free_count_;
    }

    std::size_t live() const noexcept { return used_ - free_count_; }
    // Every handle acquired so far, and the next one, is below this.
    std::size_t handle_bound() const noexcept { return std::size_t{used_} + 1; }

private:
    // Raw storage for one record; a free slot keeps the next free handle in
    // its first bytes. Left uninitialised, so untouched chunk pages cost no memory.
    struct alignas(T) Slot {
        std::byte bytes[sizeof(T) < sizeof(Handle) ? sizeof(Handle) : sizeof(T)];
    };
    static constexpr unsigned chunk_bits = 15;
    static constexpr std::uint32_t chunk_size = 1u << chunk_bits;
    static constexpr std::uint32_t chunk_mask = chunk_size - 1;

    // Handles are addressed as if the first chunk were a full one whose
    // first `first_offset` slots did not exist: one add, shift and mask
    // reach every chunk.
    static constexpr std::uint32_t first_chunk_slots = 2048;
    static constexpr std::uint32_t first_offset = chunk_size - first_chunk_slots;
    static_assert(max_slots + std::uint64_t{first_offset} <= UINT32_MAX);
    static constexpr std::size_t cache_line_bytes = 64;
    static_assert(alignof(Slot) <= cache_line_bytes);
    struct ChunkDeleter {
        std::size_t bytes;
        std::size_t alignment;
        void operator()(Slot* chunk) const noexcept { platform::free_block(chunk, bytes, alignment); }
    };
    using Chunk = std::unique_ptr<Slot[], ChunkDeleter>;

    Slot& slot(Handle h) noexcept {
        const std::uint32_t i = h + first_offset;
        return starts_[i >> chunk_bits][i & chunk_mask];
    }
    const Slot& slot(Handle h) const noexcept {
        const std::uint32_t i = h + first_offset;
        return starts_[i >> chunk_bits][i & chunk_mask];
    }
    std::size_t capacity() const noexcept { return capacity_; }
    void add_chunk() {
        const bool first = chunks_.empty();
        const std::size_t slots = first ? first_chunk_slots : chunk_size;
        // Later chunks start on a large page boundary (and take the advice).
        const std::size_t alignment = first ? cache_line_bytes : platform::large_page_bytes;
        const std::size_t bytes = slots * sizeof(Slot);
        starts_.reserve(starts_.size() + 1);  // so that nothing below can fail once the chunk is made
        Chunk chunk(static_cast<Slot*>(platform::allocate_block(bytes, alignment, advice)), ChunkDeleter{bytes, alignment});
        // The first chunk's start lies `first_offset` slots before its memory
        // (an address computed as an integer: it is never dereferenced).
        const std::uintptr_t start =
            reinterpret_cast<std::uintptr_t>(chunk.get()) - (first ? std::uintptr_t{first_offset} * sizeof(Slot) : 0);
        chunks_.push_back(std::move(chunk));
        starts_.push_back(reinterpret_cast<Slot*>(start));
        capacity_ += slots;
    }

    std::vector<Chunk> chunks_;
    std::vector<Slot*> starts_;  // where each chunk's slot 0 would be (see slot())
    std::size_t capacity_ = 0;   // slots in the chunks
    Handle free_head_ = no_handle;
    std::size_t free_count_ = 0;
    std::size_t used_ = 0;
};

}  // namespace quoranth
