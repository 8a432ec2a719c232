#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace quoranth::platform {

// Asks the system to back [start, start + bytes) with large pages where it
// can (Linux transparent huge pages, when the system leaves it to the
// program); a hint only, ignored where unsupported. Large tables touched at
// random then cost far fewer address-translation misses.
void advise_large_pages(void* start, std::size_t bytes) noexcept;

// The size and alignment of one large page (2 MiB on x86-64).
inline constexpr std::size_t large_page_bytes = std::size_t{1} << 21;

// An allocator for large arrays (hash tables, replay columns): an array
// of a large page or more starts on a large-page boundary and takes whole
// large pages, so that all of it can be backed by them. Placed anywhere, as
// the heap would place it, a 2 MB array held no whole large page and took 512
// page faults, and a larger one had a large page's worth of small pages at
// its ends. Smaller arrays come from the heap as usual.
template <typename T>
struct LargePageAllocator {
    using value_type = T;

    LargePageAllocator() noexcept = default;
    template <typename U>
    LargePageAllocator(const LargePageAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) {
        if (count > max_count) throw std::bad_array_new_length();
        const std::size_t bytes = count * sizeof(T);
        if (bytes < large_page_bytes) return static_cast<T*>(::operator new(bytes));
        const std::size_t whole = whole_pages(bytes);
        void* start = ::operator new(whole, std::align_val_t{large_page_bytes});
        advise_large_pages(start, whole);
        return static_cast<T*>(start);
    }
    void deallocate(T* items, std::size_t count) noexcept {
        if (count * sizeof(T) < large_page_bytes) ::operator delete(items);
        else ::operator delete(items, std::align_val_t{large_page_bytes});
    }
    friend bool operator==(const LargePageAllocator&, const LargePageAllocator&) noexcept { return true; }

private:
    static constexpr std::size_t max_count = (SIZE_MAX - large_page_bytes) / sizeof(T);
    static std::size_t whole_pages(std::size_t bytes) noexcept {
        return (bytes + large_page_bytes - 1) & ~(large_page_bytes - 1);
    }
};

template <typename T>
using LargePageVector = std::vector<T, LargePageAllocator<T>>;

}  // namespace quoranth::platform
