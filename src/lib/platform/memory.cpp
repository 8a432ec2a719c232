#include "lib/platform/memory.hpp"

#if defined(__linux__)
#include <sys/mman.h>

#include <cstdint>

namespace quoranth::platform {

void advise_large_pages(void* start, std::size_t bytes) noexcept {
    // madvise wants a page-aligned start; only whole large pages inside the
    // range can be backed by one, so trim to them.
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + large_page_bytes - 1) & ~(large_page_bytes - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(large_page_bytes - 1);
    if (last <= first) return;
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace quoranth::platform

#else

namespace quoranth::platform {

void advise_large_pages(void*, std::size_t) noexcept {}

}  // namespace quoranth::platform

#endif
