#pragma once
// Starts loading the cache line at `address` for a read soon after.
//
// GCC's dead-code pass deletes a __builtin_prefetch whose address takes
// arithmetic beyond an index and a mask (a hash, for one), so on x86 the
// instruction is written out. A prefetch never faults: any address will do.

namespace quoranth {

inline void prefetch(const void* address) noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    asm volatile("prefetcht0 (%0)" : : "r"(address));
#else
    __builtin_prefetch(address);
#endif
}

}  // namespace quoranth
