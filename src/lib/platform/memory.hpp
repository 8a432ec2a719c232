#pragma once
#include <cstddef>
#include <vector>

namespace quoranth::platform {

// Asks the system to back [start, start + bytes) with large pages where it
// can (Linux transparent huge pages, when the system leaves it to the
// program); a hint only, ignored where unsupported. Large tables touched at
// random then cost far fewer address-translation misses.
void advise_large_pages(void* start, std::size_t bytes) noexcept;

// The size and alignment of one large page (2 MiB on x86-64).
inline constexpr std::size_t large_page_bytes = std::size_t{1} << 21;

// Room for `count` items in a vector that will be filled or read at random:
// large pages, asked for before the first write (pages already touched stay
// small), take far fewer page faults and address-translation misses.
template <typename T>
void reserve_large_pages(std::vector<T>& items, std::size_t count) {
    items.reserve(count);
    advise_large_pages(items.data(), count * sizeof(T));
}

// `count` value-initialized items in large pages (reserve_large_pages).
template <typename T>
std::vector<T> large_page_vector(std::size_t count) {
    std::vector<T> items;
    reserve_large_pages(items, count);
    items.resize(count);
    return items;
}

}  // namespace quoranth::platform
