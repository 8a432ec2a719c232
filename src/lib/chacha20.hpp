#pragma once
#include <cstddef>
#include <cstdint>

namespace quoranth {

// The ChaCha20 keystream (RFC 8439, section 2.3): 64-byte blocks number
// `counter`, `counter + 1`, ... under a 256-bit key and a 96-bit nonce.
// Order ids stretch each 32 random bytes from the OS into a batch of this
// keystream (order_id.cpp): where measured, the OS generator took 1.4 ns a
// byte, this one 0.4 (eight blocks at once with AVX2) to 0.7 (four, SSE2).
inline constexpr std::size_t chacha20_block_bytes = 64;
// Blocks are made eight at a time.
inline constexpr std::size_t chacha20_blocks_per_step = 8;

// Writes `blocks` (a multiple of eight) keystream blocks to `out`; the block
// counter must not wrap past 2^32.
void chacha20_keystream(const std::uint8_t (&key)[32], const std::uint8_t (&nonce)[12], std::uint32_t counter,
                        std::uint8_t* out, std::size_t blocks) noexcept;

// Sets `size` bytes of key material to zero; unlike a plain memset, never
// dropped as a store to memory that is not read again.
void clear_secret(void* bytes, std::size_t size) noexcept;

namespace detail {
// The two ways of making eight blocks, for the tests: four lanes of 32 bits
// (SSE2 on x86-64, plain code elsewhere) and, where the processor has it,
// eight lanes with AVX2 (false if it has not).
void chacha20_eight_blocks_portable(const std::uint32_t (&state)[16], std::uint8_t* out) noexcept;
bool chacha20_eight_blocks_avx2(const std::uint32_t (&state)[16], std::uint8_t* out) noexcept;
}  // namespace detail

}  // namespace quoranth
