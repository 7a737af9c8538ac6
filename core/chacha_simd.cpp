// Vectorised forms of the four-block ChaCha computation. Each x86-64 variant
// is compiled for its own instruction set through a function attribute, so one
// binary runs on any x86-64 processor and the variant is picked at run time.
// The kernels are written with the compiler's generic vector types: the same
// source becomes SSSE3, AVX or AVX2 code depending on the function it is
// inlined into.
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "core/random.hpp"

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

// Counter words 12 and 13 of blocks n .. n+3, with the 64-bit wrap-around.
struct CounterWords {
    std::array<std::uint32_t, 4> low;
    std::array<std::uint32_t, 4> high;
};

[[gnu::always_inline]] inline CounterWords counter_words(std::uint64_t n) {
    CounterWords words{};
    for (std::size_t j = 0; j < 4; ++j) {
        const std::uint64_t counter = n + j;
        words.low[j] = static_cast<std::uint32_t>(counter);
        words.high[j] = static_cast<std::uint32_t>(counter >> 32);
    }
    return words;
}

// Input word i of the four blocks, one block per lane.
[[gnu::always_inline]] inline u32x4 input_lanes(const ChaChaCore& core, const CounterWords& counters,
                                                std::size_t i) {
    if (i < 4) return u32x4{} + sigma[i];
    if (i < 12) return u32x4{} + core.key[i - 4];
    if (i == 12) return u32x4{counters.low[0], counters.low[1], counters.low[2], counters.low[3]};
    if (i == 13) return u32x4{counters.high[0], counters.high[1], counters.high[2], counters.high[3]};
    return u32x4{} + core.stream[i - 14];
}

// 128-bit lanes: vector i holds state word i of the four blocks, one block per
// lane, so the rounds need no shuffles; a 4x4 transpose per group of four
// words puts the blocks back in order.
[[gnu::always_inline]] inline void wide_blocks_word_lanes(const ChaChaCore& core, std::uint32_t double_rounds,
                                                          std::uint32_t* out) {
    const CounterWords counters = counter_words(core.block_counter);
    std::array<u32x4, 16> x;
    for (std::size_t i = 0; i < 16; ++i) x[i] = input_lanes(core, counters, i);
    for (std::uint32_t r = 0; r < double_rounds; ++r) {
        quarter_round(x[0], x[4], x[8], x[12]);
        quarter_round(x[1], x[5], x[9], x[13]);
        quarter_round(x[2], x[6], x[10], x[14]);
        quarter_round(x[3], x[7], x[11], x[15]);
        quarter_round(x[0], x[5], x[10], x[15]);
        quarter_round(x[1], x[6], x[11], x[12]);
        quarter_round(x[2], x[7], x[8], x[13]);
        quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (std::size_t i = 0; i < 16; ++i) x[i] += input_lanes(core, counters, i);

    for (std::size_t g = 0; g < 4; ++g) {
        const u32x4& a = x[4 * g];
        const u32x4& b = x[4 * g + 1];
        const u32x4& c = x[4 * g + 2];
        const u32x4& d = x[4 * g + 3];
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
        for (std::size_t j = 0; j < 4; ++j) std::memcpy(out + 16 * j + 4 * g, &blocks[j], sizeof(u32x4));
    }
}

// 256-bit lanes: a vector holds one state row (four words) of two blocks, the
// earlier block in the low half. Two such sets give the four blocks. The
// diagonal round rotates rows b, c, d within each half so that diagonals
// become columns, and rotates them back after.
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

[[gnu::always_inline]] inline void wide_blocks_row_pairs(const ChaChaCore& core, std::uint32_t double_rounds,
                                                         std::uint32_t* out) {
    const CounterWords n = counter_words(core.block_counter);
    const std::uint32_t s0 = core.stream[0];
    const std::uint32_t s1 = core.stream[1];
    const std::array<std::uint32_t, 8>& k = core.key;
    const u32x8 row_a{sigma[0], sigma[1], sigma[2], sigma[3], sigma[0], sigma[1], sigma[2], sigma[3]};
    const u32x8 row_b{k[0], k[1], k[2], k[3], k[0], k[1], k[2], k[3]};
    const u32x8 row_c{k[4], k[5], k[6], k[7], k[4], k[5], k[6], k[7]};
    const RowPair input0{row_a, row_b, row_c, u32x8{n.low[0], n.high[0], s0, s1, n.low[1], n.high[1], s0, s1}};
    const RowPair input1{row_a, row_b, row_c, u32x8{n.low[2], n.high[2], s0, s1, n.low[3], n.high[3], s0, s1}};

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
    finish_pair(x1, input1, out + 32);
}

[[gnu::target("avx2")]] void wide_blocks_avx2(const ChaChaCore& core, std::uint32_t double_rounds,
                                              std::uint32_t* out) {
    wide_blocks_row_pairs(core, double_rounds, out);
}

// The 128-bit kernel under three instruction sets. AVX gains the
// three-operand encodings; SSE4.1 adds nothing this code uses over SSSE3 but
// is listed so every family of processor gets its own named entry.
[[gnu::target("avx")]] void wide_blocks_avx(const ChaChaCore& core, std::uint32_t double_rounds,
                                            std::uint32_t* out) {
    wide_blocks_word_lanes(core, double_rounds, out);
}

[[gnu::target("sse4.1")]] void wide_blocks_sse41(const ChaChaCore& core, std::uint32_t double_rounds,
                                                 std::uint32_t* out) {
    wide_blocks_word_lanes(core, double_rounds, out);
}

[[gnu::target("ssse3")]] void wide_blocks_ssse3(const ChaChaCore& core, std::uint32_t double_rounds,
                                                std::uint32_t* out) {
    wide_blocks_word_lanes(core, double_rounds, out);
}

}  // namespace

#endif  // __x86_64__

namespace {

struct WideBlockFunctions {
    std::array<NamedWideBlockFunction, 5> entries{};
    std::size_t count = 0;

    void add(std::string_view name, WideBlockFunction function) { entries[count++] = {name, function}; }
};

WideBlockFunctions detect_wide_block_functions() {
    WideBlockFunctions found;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) found.add("avx2", wide_blocks_avx2);
    if (__builtin_cpu_supports("avx")) found.add("avx", wide_blocks_avx);
    if (__builtin_cpu_supports("sse4.1")) found.add("sse4.1", wide_blocks_sse41);
    if (__builtin_cpu_supports("ssse3")) found.add("ssse3", wide_blocks_ssse3);
#endif
    found.add("scalar", wide_blocks_scalar);
    return found;
}

}  // namespace

std::span<const NamedWideBlockFunction> available_wide_block_functions() {
    static const WideBlockFunctions functions = detect_wide_block_functions();
    return std::span(functions.entries.data(), functions.count);
}

}  // namespace mirabund_core::random
