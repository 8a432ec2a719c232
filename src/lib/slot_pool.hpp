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
// live in fixed-size chunks of 32,768 (never moved, so growth copies nothing),
// aligned to large pages; every chunk after the first asks for them, since a
// pool that large is touched at random. Untouched pages of a chunk cost no
// memory. A freed slot holds the link to the next free one in its own bytes,
// so the free list costs no memory, and freed slots are reused first.
template <typename T>
class SlotPool {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    using Handle = std::uint32_t;
    // Handles stay below 2^31 - 2, so that users may tag them with the top bit
    // and still tell them from no_handle and one other marker.
    static constexpr Handle max_slots = 0x7FFFFFFEu;

    T& operator[](Handle h) noexcept { return *std::launder(reinterpret_cast<T*>(slot(h).bytes)); }
    const T& operator[](Handle h) const noexcept {
        return *std::launder(reinterpret_cast<const T*>(chunks_[h >> chunk_bits][h & chunk_mask].bytes));
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

    static constexpr std::align_val_t chunk_alignment{platform::large_page_bytes};
    struct ChunkDeleter {
        void operator()(Slot* chunk) const noexcept { ::operator delete[](chunk, chunk_alignment); }
    };
    using Chunk = std::unique_ptr<Slot[], ChunkDeleter>;

    Slot& slot(Handle h) noexcept { return chunks_[h >> chunk_bits][h & chunk_mask]; }
    std::size_t capacity() const noexcept { return capacity_; }
    void add_chunk() {
        constexpr std::size_t bytes = std::size_t{chunk_size} * sizeof(Slot);
        Chunk chunk(static_cast<Slot*>(::operator new[](bytes, chunk_alignment)));
        if (!chunks_.empty()) platform::advise_large_pages(chunk.get(), bytes);
        chunks_.push_back(std::move(chunk));
        capacity_ += chunk_size;
    }

    std::vector<Chunk> chunks_;
    std::size_t capacity_ = 0;  // slots in the chunks
    Handle free_head_ = no_handle;
    std::size_t free_count_ = 0;
    std::size_t used_ = 0;
};

}  // namespace quoranth
