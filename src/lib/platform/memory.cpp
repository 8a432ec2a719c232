#include "lib/platform/memory.hpp"

#include <atomic>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
// A cached block is off limits until it is handed out again, so that the
// address sanitizer still reports a destroyed book's memory used after free.
#define QUORANTH_POISON(start, bytes) ASAN_POISON_MEMORY_REGION(start, bytes)
#define QUORANTH_UNPOISON(start, bytes) ASAN_UNPOISON_MEMORY_REGION(start, bytes)
#else
#define QUORANTH_POISON(start, bytes) ((void)(start), (void)(bytes))
#define QUORANTH_UNPOISON(start, bytes) ((void)(start), (void)(bytes))
#endif

namespace quoranth::platform {

namespace {

void advise_large_pages(void* start, std::size_t bytes) noexcept {
#if defined(__linux__)
    // madvise wants a page-aligned start; only whole large pages inside the
    // range can be backed by one, so trim to them.
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + large_page_bytes - 1) & ~(large_page_bytes - 1);
    const auto last = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(large_page_bytes - 1);
    if (last <= first) return;
    (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
    (void)start;
    (void)bytes;
#endif
}

// The blocks freed by destroyed books, for the next book. Guarded by a
// try-lock: a thread that finds it taken (another thread, or a fork's child
// whose parent held it) simply bypasses the cache, so nothing ever waits on
// it. Constant-initialised and never destroyed: a book that lives until the
// program exits may be freed after static destructors have run.
class BlockCache {
public:
    static constexpr std::size_t min_block = std::size_t{64} << 10;
    static constexpr std::size_t max_block = std::size_t{8} << 20;

    void* take(std::size_t bytes, std::size_t alignment) noexcept {
        if (bytes < min_block || bytes > max_block) return nullptr;
        const Lock lock(busy_);
        if (!lock.held) return nullptr;
        for (std::size_t i = 0; i < count_; ++i) {
            if (blocks_[i].bytes != bytes || blocks_[i].alignment != alignment) continue;
            void* const start = blocks_[i].start;
            cached_bytes_ -= bytes;
            blocks_[i] = blocks_[--count_];
            QUORANTH_UNPOISON(start, bytes);
            return start;
        }
        return nullptr;
    }

    bool keep(void* start, std::size_t bytes, std::size_t alignment) noexcept {
        if (bytes < min_block || bytes > max_block) return false;
        const Lock lock(busy_);
        if (!lock.held || count_ == capacity || cached_bytes_ + bytes > max_cached_bytes) return false;
        blocks_[count_++] = Block{start, bytes, alignment};
        cached_bytes_ += bytes;
        QUORANTH_POISON(start, bytes);
        return true;
    }

private:
    static constexpr std::size_t capacity = 64;
    static constexpr std::size_t max_cached_bytes = std::size_t{32} << 20;

    struct Block {
        void* start;
        std::size_t bytes;
        std::size_t alignment;
    };
    struct Lock {
        explicit Lock(std::atomic_flag& flag) noexcept
            : flag(flag), held(!flag.test_and_set(std::memory_order_acquire)) {}
        ~Lock() {
            if (held) flag.clear(std::memory_order_release);
        }
        std::atomic_flag& flag;
        const bool held;
    };

    std::atomic_flag busy_;
    Block blocks_[capacity]{};
    std::size_t count_ = 0;
    std::size_t cached_bytes_ = 0;
};

constinit BlockCache block_cache;

// Whether a book is being destroyed on this thread (see RecycleOnDestruction).
thread_local bool recycling = false;

}  // namespace

void* allocate_block(std::size_t bytes, std::size_t alignment, Advice advice) {
    void* block = block_cache.take(bytes, alignment);  // advised or not, as its last user asked
    if (block == nullptr) block = ::operator new(bytes, std::align_val_t{alignment});
    if (advice == Advice::large_pages && alignment >= large_page_bytes) advise_large_pages(block, bytes);
    return block;
}

void free_block(void* block, std::size_t bytes, std::size_t alignment) noexcept {
    if (block == nullptr) return;
    if (recycling && block_cache.keep(block, bytes, alignment)) return;
    ::operator delete(block, std::align_val_t{alignment});
}

void RecycleOnDestruction::begin() noexcept {
    began_ = !recycling;
    recycling = true;
}

RecycleOnDestruction::~RecycleOnDestruction() {
    if (began_) recycling = false;
}

}  // namespace quoranth::platform
