// Vectorised ChaCha kernels. Each x86-64 variant is compiled for its own
// instruction set through a function attribute, so one binary runs on any
// x86-64 processor and the variant is picked at run time. The narrower
// kernels are written with the compiler's generic vector types: the same
// source becomes SSSE3, AVX, AVX2 or AVX-512 code depending on the function
// it is inlined into. The widest one keeps one state word of sixteen blocks
// per register and is written with AVX-512 intrinsics.
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "core/chacha.hpp"
#include "core/x86_intrinsics.hpp"

namespace mirabund_core::random {

#if defined(__x86_64__)

namespace {

using u32x4 = std::uint32_t __attribute__((vector_size(16)));
using u32x8 = std::uint32_t __attribute__((vector_size(32)));
using u8x16 = std::uint8_t __attribute__((vector_size(16)));
using u8x32 = std::uint8_t __attribute__((vector_size(32)));

// The helpers take vectors by reference: a 256-bit vector passed by value in
// code compiled without AVX would change the calling convention.

// Rotations by whole bytes are one byte shuffle (pshufb); the others are two
// shifts and an or.
[[gnu::always_inline]] inline void rotl16(u32x4& x) {
    const auto b = __builtin_bit_cast(u8x16, x);
    x = __builtin_bit_cast(u32x4, __builtin_shufflevector(b, b, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
}

[[gnu::always_inline]] inline void rotl8(u32x4& x) {
    const auto b = __builtin_bit_cast(u8x16, x);
    x = __builtin_bit_cast(u32x4, __builtin_shufflevector(b, b, 3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14));
}

[[gnu::always_inline]] inline void rotl16(u32x8& x) {
    const auto b = __builtin_bit_cast(u8x32, x);
    x = __builtin_bit_cast(u32x8, __builtin_shufflevector(b, b, 2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13,
                                                          18, 19, 16, 17, 22, 23, 20, 21, 26, 27, 24, 25, 30, 31, 28, 29));
}

[[gnu::always_inline]] inline void rotl8(u32x8& x) {
    const auto b = __builtin_bit_cast(u8x32, x);
    x = __builtin_bit_cast(u32x8, __builtin_shufflevector(b, b, 3, 0, 1, 2, 7, 4, 5, 6, 11, 8, 9, 10, 15, 12, 13, 14,
                                                          19, 16, 17, 18, 23, 20, 21, 22, 27, 24, 25, 26, 31, 28, 29, 30));
}

template <int bits, class V>
[[gnu::always_inline]] inline void rotl_shift(V& x) {
    x = (x << bits) | (x >> (32 - bits));
}

template <class V>
[[gnu::always_inline]] inline void quarter_round(V& a, V& b, V& c, V& d) {
    a += b; d ^= a; rotl16(d);
    c += d; b ^= c; rotl_shift<12>(b);
    a += b; d ^= a; rotl8(d);
    c += d; b ^= c; rotl_shift<7>(b);
}

template <class V>
[[gnu::always_inline]] inline void double_round(std::array<V, 16>& x) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
}

// Input words of `lanes` consecutive blocks, one block per lane: vector i
// holds state word i of every block, so the rounds need no shuffles.
template <class V, std::size_t lanes>
[[gnu::always_inline]] inline std::array<V, 16> input_lanes(const ChaChaCore& core, std::uint64_t first) {
    std::array<V, 16> x;
    for (std::size_t i = 0; i < 4; ++i) x[i] = V{} + sigma[i];
    for (std::size_t i = 0; i < 8; ++i) x[4 + i] = V{} + core.key[i];
    for (std::size_t j = 0; j < lanes; ++j) {
        const std::uint64_t counter = first + j;  // 64-bit wrap-around, carry into word 13
        x[12][j] = static_cast<std::uint32_t>(counter);
        x[13][j] = static_cast<std::uint32_t>(counter >> 32);
    }
    x[14] = V{} + core.stream[0];
    x[15] = V{} + core.stream[1];
    return x;
}

// Words 4g .. 4g+3 of four blocks, one block per lane, back in block order.
[[gnu::always_inline]] inline void store_transposed(const u32x4& a, const u32x4& b, const u32x4& c, const u32x4& d,
                                                    std::uint32_t* out) {
    const u32x4 ab_low = __builtin_shufflevector(a, b, 0, 4, 1, 5);
    const u32x4 ab_high = __builtin_shufflevector(a, b, 2, 6, 3, 7);
    const u32x4 cd_low = __builtin_shufflevector(c, d, 0, 4, 1, 5);
    const u32x4 cd_high = __builtin_shufflevector(c, d, 2, 6, 3, 7);
    const std::array<u32x4, 4> blocks{
        __builtin_shufflevector(ab_low, cd_low, 0, 1, 4, 5),
        __builtin_shufflevector(ab_low, cd_low, 2, 3, 6, 7),
        __builtin_shufflevector(ab_high, cd_high, 0, 1, 4, 5),
        __builtin_shufflevector(ab_high, cd_high, 2, 3, 6, 7),
    };
    for (std::size_t j = 0; j < 4; ++j) std::memcpy(out + block_words * j, &blocks[j], sizeof(u32x4));
}

[[gnu::always_inline]] inline void store_blocks(const std::array<u32x4, 16>& x, std::uint32_t* out) {
    for (std::size_t g = 0; g < 4; ++g) store_transposed(x[4 * g], x[4 * g + 1], x[4 * g + 2], x[4 * g + 3], out + 4 * g);
}

// Eight blocks: an 8x8 transpose per half of the state words, in three
// rounds of interleaving (words, pairs of words, 128-bit halves).
[[gnu::always_inline]] inline void store_blocks(const std::array<u32x8, 16>& x, std::uint32_t* out) {
    for (std::size_t h = 0; h < 2; ++h) {
        const u32x8* w = x.data() + 8 * h;
        std::array<u32x8, 8> t;
        for (std::size_t k = 0; k < 4; ++k) {
            t[2 * k] = __builtin_shufflevector(w[2 * k], w[2 * k + 1], 0, 8, 1, 9, 4, 12, 5, 13);
            t[2 * k + 1] = __builtin_shufflevector(w[2 * k], w[2 * k + 1], 2, 10, 3, 11, 6, 14, 7, 15);
        }
        // u[4q + b] holds words 8h + 4q .. +3 of block b (low half) and b + 4 (high half).
        std::array<u32x8, 8> u;
        for (std::size_t q = 0; q < 2; ++q) {
            u[4 * q] = __builtin_shufflevector(t[4 * q], t[4 * q + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            u[4 * q + 1] = __builtin_shufflevector(t[4 * q], t[4 * q + 2], 2, 3, 10, 11, 6, 7, 14, 15);
            u[4 * q + 2] = __builtin_shufflevector(t[4 * q + 1], t[4 * q + 3], 0, 1, 8, 9, 4, 5, 12, 13);
            u[4 * q + 3] = __builtin_shufflevector(t[4 * q + 1], t[4 * q + 3], 2, 3, 10, 11, 6, 7, 14, 15);
        }
        for (std::size_t b = 0; b < 4; ++b) {
            const u32x8 low = __builtin_shufflevector(u[b], u[4 + b], 0, 1, 2, 3, 8, 9, 10, 11);
            const u32x8 high = __builtin_shufflevector(u[b], u[4 + b], 4, 5, 6, 7, 12, 13, 14, 15);
            std::memcpy(out + block_words * b + 8 * h, &low, sizeof(u32x8));
            std::memcpy(out + block_words * (b + 4) + 8 * h, &high, sizeof(u32x8));
        }
    }
}

template <class V, std::size_t lanes>
[[gnu::always_inline]] inline void word_lane_blocks(const ChaChaCore& core, std::uint64_t first,
                                                    std::uint32_t double_rounds, std::uint32_t* out) {
    const std::array<V, 16> input = input_lanes<V, lanes>(core, first);
    std::array<V, 16> x = input;
    for (std::uint32_t r = 0; r < double_rounds; ++r) double_round(x);
    for (std::size_t i = 0; i < 16; ++i) x[i] += input[i];
    store_blocks(x, out);
}

// One group with 256-bit vectors: a vector holds one state row (four words)
// of two blocks, the earlier block in the low half, and two such sets give
// the four blocks. The diagonal round rotates rows b, c, d within each half
// so that diagonals become columns, and rotates them back after. Fewer
// registers than eight blocks side by side, which suits a lone group.
struct RowPair {
    u32x8 a, b, c, d;
};

[[gnu::always_inline]] inline void diagonals_to_columns(RowPair& x) {
    x.b = __builtin_shufflevector(x.b, x.b, 1, 2, 3, 0, 5, 6, 7, 4);
    x.c = __builtin_shufflevector(x.c, x.c, 2, 3, 0, 1, 6, 7, 4, 5);
    x.d = __builtin_shufflevector(x.d, x.d, 3, 0, 1, 2, 7, 4, 5, 6);
}

[[gnu::always_inline]] inline void columns_to_diagonals(RowPair& x) {
    x.b = __builtin_shufflevector(x.b, x.b, 3, 0, 1, 2, 7, 4, 5, 6);
    x.c = __builtin_shufflevector(x.c, x.c, 2, 3, 0, 1, 6, 7, 4, 5);
    x.d = __builtin_shufflevector(x.d, x.d, 1, 2, 3, 0, 5, 6, 7, 4);
}

// Adds the input rows and stores the two blocks, each in state order.
[[gnu::always_inline]] inline void finish_pair(RowPair& x, const RowPair& input, std::uint32_t* out) {
    x.a += input.a;
    x.b += input.b;
    x.c += input.c;
    x.d += input.d;
    const u32x8 first_low = __builtin_shufflevector(x.a, x.b, 0, 1, 2, 3, 8, 9, 10, 11);
    const u32x8 first_high = __builtin_shufflevector(x.c, x.d, 0, 1, 2, 3, 8, 9, 10, 11);
    const u32x8 second_low = __builtin_shufflevector(x.a, x.b, 4, 5, 6, 7, 12, 13, 14, 15);
    const u32x8 second_high = __builtin_shufflevector(x.c, x.d, 4, 5, 6, 7, 12, 13, 14, 15);
    std::memcpy(out, &first_low, sizeof(u32x8));
    std::memcpy(out + 8, &first_high, sizeof(u32x8));
    std::memcpy(out + 16, &second_low, sizeof(u32x8));
    std::memcpy(out + 24, &second_high, sizeof(u32x8));
}

[[gnu::always_inline]] inline void row_pair_group(const ChaChaCore& core, std::uint64_t first,
                                                  std::uint32_t double_rounds, std::uint32_t* out) {
    std::array<std::uint32_t, 4> low;
    std::array<std::uint32_t, 4> high;
    for (std::size_t j = 0; j < 4; ++j) {
        low[j] = static_cast<std::uint32_t>(first + j);
        high[j] = static_cast<std::uint32_t>((first + j) >> 32);
    }
    const std::uint32_t s0 = core.stream[0];
    const std::uint32_t s1 = core.stream[1];
    const std::array<std::uint32_t, 8>& k = core.key;
    const u32x8 row_a{sigma[0], sigma[1], sigma[2], sigma[3], sigma[0], sigma[1], sigma[2], sigma[3]};
    const u32x8 row_b{k[0], k[1], k[2], k[3], k[0], k[1], k[2], k[3]};
    const u32x8 row_c{k[4], k[5], k[6], k[7], k[4], k[5], k[6], k[7]};
    const RowPair input0{row_a, row_b, row_c, u32x8{low[0], high[0], s0, s1, low[1], high[1], s0, s1}};
    const RowPair input1{row_a, row_b, row_c, u32x8{low[2], high[2], s0, s1, low[3], high[3], s0, s1}};

    RowPair x0 = input0;
    RowPair x1 = input1;
    for (std::uint32_t r = 0; r < double_rounds; ++r) {
        quarter_round(x0.a, x0.b, x0.c, x0.d);
        quarter_round(x1.a, x1.b, x1.c, x1.d);
        diagonals_to_columns(x0);
        diagonals_to_columns(x1);
        quarter_round(x0.a, x0.b, x0.c, x0.d);
        quarter_round(x1.a, x1.b, x1.c, x1.d);
        columns_to_diagonals(x0);
        columns_to_diagonals(x1);
    }
    finish_pair(x0, input0, out);
    finish_pair(x1, input1, out + 2 * block_words);
}

template <int a, int b, int c, int d>
[[gnu::target("avx512f"), gnu::always_inline]] inline void quarter_round_512(__m512i* x) {
    x[a] = _mm512_add_epi32(x[a], x[b]); x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 16);
    x[c] = _mm512_add_epi32(x[c], x[d]); x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 12);
    x[a] = _mm512_add_epi32(x[a], x[b]); x[d] = _mm512_rol_epi32(_mm512_xor_si512(x[d], x[a]), 8);
    x[c] = _mm512_add_epi32(x[c], x[d]); x[b] = _mm512_rol_epi32(_mm512_xor_si512(x[b], x[c]), 7);
}

// Sixteen blocks, one per 32-bit lane of a 512-bit register, with native
// rotations; a 16x16 transpose restores the block order.
[[gnu::target("avx512f")]] void sixteen_blocks(const ChaChaCore& core, std::uint64_t first,
                                               std::uint32_t double_rounds, std::uint32_t* out) {
    const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i first_low = _mm512_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(first)));
    const __m512i counter_low = _mm512_add_epi32(first_low, lane);
    // A lane whose low word wrapped carries into its high word.
    const __mmask16 carried = _mm512_cmplt_epu32_mask(counter_low, first_low);
    const __m512i first_high = _mm512_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(first >> 32)));
    const __m512i counter_high = _mm512_mask_add_epi32(first_high, carried, first_high, _mm512_set1_epi32(1));

    __m512i input[16];
    for (std::size_t i = 0; i < 4; ++i) input[i] = _mm512_set1_epi32(static_cast<int>(sigma[i]));
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = _mm512_set1_epi32(static_cast<int>(core.key[i]));
    input[12] = counter_low;
    input[13] = counter_high;
    input[14] = _mm512_set1_epi32(static_cast<int>(core.stream[0]));
    input[15] = _mm512_set1_epi32(static_cast<int>(core.stream[1]));

    __m512i x[16];
    for (std::size_t i = 0; i < 16; ++i) x[i] = input[i];
    for (std::uint32_t r = 0; r < double_rounds; ++r) {
        quarter_round_512<0, 4, 8, 12>(x);
        quarter_round_512<1, 5, 9, 13>(x);
        quarter_round_512<2, 6, 10, 14>(x);
        quarter_round_512<3, 7, 11, 15>(x);
        quarter_round_512<0, 5, 10, 15>(x);
        quarter_round_512<1, 6, 11, 12>(x);
        quarter_round_512<2, 7, 8, 13>(x);
        quarter_round_512<3, 4, 9, 14>(x);
    }
    for (std::size_t i = 0; i < 16; ++i) x[i] = _mm512_add_epi32(x[i], input[i]);

    // Interleave words, then pairs of words: u[4q + b] holds, in its 128-bit
    // lane L, words 4q .. 4q+3 of block 4L + b.
    __m512i t[16];
    for (std::size_t k = 0; k < 8; ++k) {
        t[2 * k] = _mm512_unpacklo_epi32(x[2 * k], x[2 * k + 1]);
        t[2 * k + 1] = _mm512_unpackhi_epi32(x[2 * k], x[2 * k + 1]);
    }
    __m512i u[16];
    for (std::size_t q = 0; q < 4; ++q) {
        u[4 * q] = _mm512_unpacklo_epi64(t[4 * q], t[4 * q + 2]);
        u[4 * q + 1] = _mm512_unpackhi_epi64(t[4 * q], t[4 * q + 2]);
        u[4 * q + 2] = _mm512_unpacklo_epi64(t[4 * q + 1], t[4 * q + 3]);
        u[4 * q + 3] = _mm512_unpackhi_epi64(t[4 * q + 1], t[4 * q + 3]);
    }
    // Then a 4x4 transpose of 128-bit lanes gathers each block's four quarters.
    for (std::size_t b = 0; b < 4; ++b) {
        const __m512i ab_low = _mm512_shuffle_i32x4(u[b], u[4 + b], _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i ab_high = _mm512_shuffle_i32x4(u[b], u[4 + b], _MM_SHUFFLE(3, 2, 3, 2));
        const __m512i cd_low = _mm512_shuffle_i32x4(u[8 + b], u[12 + b], _MM_SHUFFLE(1, 0, 1, 0));
        const __m512i cd_high = _mm512_shuffle_i32x4(u[8 + b], u[12 + b], _MM_SHUFFLE(3, 2, 3, 2));
        _mm512_storeu_si512(out + block_words * b, _mm512_shuffle_i32x4(ab_low, cd_low, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm512_storeu_si512(out + block_words * (4 + b), _mm512_shuffle_i32x4(ab_low, cd_low, _MM_SHUFFLE(3, 1, 3, 1)));
        _mm512_storeu_si512(out + block_words * (8 + b), _mm512_shuffle_i32x4(ab_high, cd_high, _MM_SHUFFLE(2, 0, 2, 0)));
        _mm512_storeu_si512(out + block_words * (12 + b),
                            _mm512_shuffle_i32x4(ab_high, cd_high, _MM_SHUFFLE(3, 1, 3, 1)));
    }
}

// The groups of a call: as many as possible `wide` groups at a time with
// `wide_kernel`, the rest one at a time with `group_kernel`.
// Template arguments rather than function arguments, so that the calls are
// direct and the kernels are inlined under the caller's instruction set.
template <std::size_t wide, auto wide_kernel, auto group_kernel>
[[gnu::always_inline]] inline void groups_with(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups,
                                               std::uint32_t* out) {
    std::uint64_t first = core.block_counter;
    for (; groups >= wide; groups -= wide) {
        wide_kernel(core, first, double_rounds, out);
        first += group_blocks * wide;
        out += group_words * wide;
    }
    for (; groups > 0; --groups) {
        group_kernel(core, first, double_rounds, out);
        first += group_blocks;
        out += group_words;
    }
}

[[gnu::target("avx512f,avx512vl")]] void blocks_avx512(const ChaChaCore& core, std::uint32_t double_rounds,
                                                       std::size_t groups, std::uint32_t* out) {
    groups_with<4, sixteen_blocks, row_pair_group>(core, double_rounds, groups, out);
}

[[gnu::target("avx2")]] void blocks_avx2(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups,
                                         std::uint32_t* out) {
    groups_with<2, word_lane_blocks<u32x8, 8>, row_pair_group>(core, double_rounds, groups, out);
}

// The 128-bit kernel under three instruction sets. AVX gains the
// three-operand encodings; SSE4.1 adds nothing this code uses over SSSE3 but
// is listed so every family of processor gets its own named entry.
[[gnu::target("avx")]] void blocks_avx(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups,
                                       std::uint32_t* out) {
    groups_with<1, word_lane_blocks<u32x4, 4>, word_lane_blocks<u32x4, 4>>(core, double_rounds, groups, out);
}

[[gnu::target("sse4.1")]] void blocks_sse41(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups,
                                            std::uint32_t* out) {
    groups_with<1, word_lane_blocks<u32x4, 4>, word_lane_blocks<u32x4, 4>>(core, double_rounds, groups, out);
}

[[gnu::target("ssse3")]] void blocks_ssse3(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups,
                                           std::uint32_t* out) {
    groups_with<1, word_lane_blocks<u32x4, 4>, word_lane_blocks<u32x4, 4>>(core, double_rounds, groups, out);
}

}  // namespace

#endif  // __x86_64__

namespace {

using BlockFunctions = KernelList<BlockFunction, 6>;

BlockFunctions detect_block_functions() {
    BlockFunctions found;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) found.add("avx512", blocks_avx512);
    if (__builtin_cpu_supports("avx2")) found.add("avx2", blocks_avx2);
    if (__builtin_cpu_supports("avx")) found.add("avx", blocks_avx);
    if (__builtin_cpu_supports("sse4.1")) found.add("sse4.1", blocks_sse41);
    if (__builtin_cpu_supports("ssse3")) found.add("ssse3", blocks_ssse3);
#endif
    found.add("scalar", blocks_scalar);
    return found;
}

}  // namespace

std::span<const NamedBlockFunction> available_block_functions() {
    static const BlockFunctions functions = detect_block_functions();
    return functions.view();
}

}  // namespace mirabund_core::random
