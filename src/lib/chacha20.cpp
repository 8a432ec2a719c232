#include "lib/chacha20.hpp"

#include <bit>
#include <cassert>
#include <cstring>

namespace quoranth {

namespace {

// Blocks side by side: lane j of vector i is word i of block j, so that each
// step of the rounds works on one word of every block at once. GCC and Clang
// vector types: SSE2 or AVX2 instructions on x86-64, plain code elsewhere.
typedef std::uint32_t FourLanes __attribute__((vector_size(16)));
#if defined(__x86_64__)
typedef std::uint32_t EightLanes __attribute__((vector_size(32)));
#endif

// A macro rather than a function: no vector is passed or returned by value,
// so nothing depends on the vector calling convention of the caller's target.
#define QUORANTH_ROTATE(x, bits) (((x) << (bits)) | ((x) >> (32 - (bits))))
#define QUORANTH_QUARTER_ROUND(a, b, c, d) \
    a += b; d ^= a; d = QUORANTH_ROTATE(d, 16); \
    c += d; b ^= c; b = QUORANTH_ROTATE(b, 12); \
    a += b; d ^= a; d = QUORANTH_ROTATE(d, 8);  \
    c += d; b ^= c; b = QUORANTH_ROTATE(b, 7)

std::uint32_t little_endian_word(const std::uint8_t* bytes) noexcept {
    std::uint32_t word;
    std::memcpy(&word, bytes, 4);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    return word;
}

void store_little_endian(std::uint8_t* out, std::uint32_t word) noexcept {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    std::memcpy(out, &word, 4);
}

// Blocks `state[12]` + 0 .. Lanes-1 of `state` into out, one after another.
// Always inlined, so that each caller's target (AVX2 or not) compiles it.
template <typename Lanes>
[[gnu::always_inline]] inline void lane_blocks(const std::uint32_t (&state)[16], std::uint8_t* out) noexcept {
    constexpr int lanes = sizeof(Lanes) / 4;
    Lanes input[16];
    for (int i = 0; i < 16; ++i) input[i] = Lanes{} + state[i];
    for (int j = 0; j < lanes; ++j) input[12][j] = state[12] + static_cast<std::uint32_t>(j);
    Lanes x[16];
    for (int i = 0; i < 16; ++i) x[i] = input[i];
    for (int round = 0; round < 10; ++round) {  // 20 rounds: a column round and a diagonal round each
        QUORANTH_QUARTER_ROUND(x[0], x[4], x[8], x[12]);
        QUORANTH_QUARTER_ROUND(x[1], x[5], x[9], x[13]);
        QUORANTH_QUARTER_ROUND(x[2], x[6], x[10], x[14]);
        QUORANTH_QUARTER_ROUND(x[3], x[7], x[11], x[15]);
        QUORANTH_QUARTER_ROUND(x[0], x[5], x[10], x[15]);
        QUORANTH_QUARTER_ROUND(x[1], x[6], x[11], x[12]);
        QUORANTH_QUARTER_ROUND(x[2], x[7], x[8], x[13]);
        QUORANTH_QUARTER_ROUND(x[3], x[4], x[9], x[14]);
    }
    for (int i = 0; i < 16; ++i) x[i] += input[i];
    for (int j = 0; j < lanes; ++j) {
        for (int i = 0; i < 16; ++i) store_little_endian(out + chacha20_block_bytes * j + 4 * i, x[i][j]);
    }
}

#undef QUORANTH_QUARTER_ROUND
#undef QUORANTH_ROTATE

}  // namespace

namespace detail {

void chacha20_eight_blocks_portable(const std::uint32_t (&state)[16], std::uint8_t* out) noexcept {
    std::uint32_t second[16];
    std::memcpy(second, state, sizeof second);
    second[12] += 4;
    lane_blocks<FourLanes>(state, out);
    lane_blocks<FourLanes>(second, out + 4 * chacha20_block_bytes);
    clear_secret(second, sizeof second);
}

#if defined(__x86_64__) && defined(__GNUC__)
namespace {
[[gnu::target("avx2")]] void eight_blocks_with_avx2(const std::uint32_t (&state)[16], std::uint8_t* out) noexcept {
    lane_blocks<EightLanes>(state, out);
}
}  // namespace

bool chacha20_eight_blocks_avx2(const std::uint32_t (&state)[16], std::uint8_t* out) noexcept {
    // The library's own test: it also checks that the OS saves the AVX registers.
    static const bool available = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") != 0;
    }();
    if (!available) return false;
    eight_blocks_with_avx2(state, out);
    return true;
}
#else
bool chacha20_eight_blocks_avx2(const std::uint32_t (&)[16], std::uint8_t*) noexcept { return false; }
#endif

}  // namespace detail

void chacha20_keystream(const std::uint8_t (&key)[32], const std::uint8_t (&nonce)[12], std::uint32_t counter,
                        std::uint8_t* out, std::size_t blocks) noexcept {
    assert(blocks % chacha20_blocks_per_step == 0);
    assert(blocks <= std::size_t{0xFFFFFFFF} - counter + 1);
    // "expand 32-byte k", the key, the block counter, the nonce.
    std::uint32_t state[16] = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574};
    for (int i = 0; i < 8; ++i) state[4 + i] = little_endian_word(key + 4 * i);
    state[12] = counter;
    for (int i = 0; i < 3; ++i) state[13 + i] = little_endian_word(nonce + 4 * i);
    for (std::size_t done = 0; done < blocks; done += chacha20_blocks_per_step) {
        if (!detail::chacha20_eight_blocks_avx2(state, out)) detail::chacha20_eight_blocks_portable(state, out);
        state[12] += chacha20_blocks_per_step;
        out += chacha20_blocks_per_step * chacha20_block_bytes;
    }
    clear_secret(state, sizeof state);
}

void clear_secret(void* bytes, std::size_t size) noexcept {
    std::memset(bytes, 0, size);
    __asm__ __volatile__("" : : "r"(bytes) : "memory");  // the memory counts as read: the clearing stays
}

}  // namespace quoranth
