#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace quoranth::platform {

// The size and alignment of one large page (2 MiB on x86-64). Blocks of that
// size or more lie on its boundaries, so that a system that backs memory
// with large pages by itself (Linux transparent huge pages set to "always")
// can back all of them.
inline constexpr std::size_t large_page_bytes = std::size_t{1} << 21;

// Whether a block of a large page or more is also advised to use large pages
// (Linux madvise), for arrays read at random: a large page spares an
// address-translation miss per access (at 1,000,000 resting orders, 20 ns of
// the engine's 130 to 160 an operation). The price: where the system's
// memory is fragmented, the kernel compacts memory inside the call that
// first touches such a block, at about 2 ms per MB against 0.35 ms for small
// pages here. So the store of filled orders, which grows with every fill for
// as long as a book trades and is read only to find a filled order, is
// never advised; its compaction cost 50 to 70 ns an operation of that flow.
enum class Advice : bool { none, large_pages };

// Memory for a book's pools and tables and the replay's columns: a block of
// `bytes` aligned to `alignment` (a power of two), advised as asked if it
// is aligned to a large page. Throws std::bad_alloc.
void* allocate_block(std::size_t bytes, std::size_t alignment, Advice advice);
// Frees a block from allocate_block, given the same size and alignment.
void free_block(void* block, std::size_t bytes, std::size_t alignment) noexcept;

// Marks the destruction of a book on the calling thread: the blocks of 64 KiB
// or more that it frees go to a process-wide cache (at most 32 MiB, blocks
// up to 8 MiB) instead of back to the system, and allocate_block takes a
// block of the same size and alignment from there first. The system clears
// fresh memory page by page on first touch; in a new book that filled
// 20,000 orders, this clearing took a sixth to a quarter of the time. A
// program that builds book after book (simulations, tests) reuses memory
// that is already mapped instead. Blocks freed while a book grows are not
// cached, so a live book never holds more than it uses. Declare it as the
// owner's first member, so that it ends after every other member is freed,
// and call begin() in the owner's destructor.
class RecycleOnDestruction {
public:
    RecycleOnDestruction() noexcept = default;
    RecycleOnDestruction(RecycleOnDestruction&&) noexcept {}
    RecycleOnDestruction& operator=(RecycleOnDestruction&&) noexcept { return *this; }
    ~RecycleOnDestruction();
    void begin() noexcept;

private:
    bool began_ = false;
};

// An allocator for large arrays (hash tables, replay columns): an array
// of a large page or more starts on a large-page boundary and takes whole
// large pages, so that all of it can be backed by them. Placed anywhere, as
// the heap would place it, a 2 MB array held no whole large page and took 512
// page faults, and a larger one had a large page's worth of small pages at
// its ends. Smaller arrays are aligned as the heap would align them.
template <typename T, Advice advice = Advice::large_pages>
struct LargePageAllocator {
    using value_type = T;
    template <typename U>
    struct rebind {
        using other = LargePageAllocator<U, advice>;
    };

    LargePageAllocator() noexcept = default;
    template <typename U>
    LargePageAllocator(const LargePageAllocator<U, advice>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > max_count) throw std::bad_array_new_length();
        const std::size_t bytes = count * sizeof(T);
        return static_cast<T*>(allocate_block(block_bytes(bytes), alignment(bytes), advice));
    }
    void deallocate(T* items, std::size_t count) noexcept {
        const std::size_t bytes = count * sizeof(T);
        free_block(items, block_bytes(bytes), alignment(bytes));
    }
    friend bool operator==(const LargePageAllocator&, const LargePageAllocator&) noexcept { return true; }

private:
    static constexpr std::size_t max_count = (SIZE_MAX - large_page_bytes) / sizeof(T);
    static constexpr std::size_t heap_alignment = alignof(T) > 16 ? alignof(T) : 16;
    static std::size_t alignment(std::size_t bytes) noexcept {
        return bytes < large_page_bytes ? heap_alignment : large_page_bytes;
    }
    static std::size_t block_bytes(std::size_t bytes) noexcept {
        if (bytes < large_page_bytes) return bytes;
        return (bytes + large_page_bytes - 1) & ~(large_page_bytes - 1);
    }
};

template <typename T, Advice advice = Advice::large_pages>
using LargePageVector = std::vector<T, LargePageAllocator<T, advice>>;

}  // namespace quoranth::platform
