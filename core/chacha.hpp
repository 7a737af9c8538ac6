// The ChaCha block function with 8 rounds behind the random source, and its
// vectorised kernels. Blocks are computed in groups of four, the unit in
// which the source refills its buffer; a kernel may compute many groups in
// one call, which lets the wide ones keep every vector lane busy.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/kernel_list.hpp"

namespace mirabund_core::random {

// ChaCha state words 4 to 15; words 0 to 3 are the fixed constants.
struct ChaChaCore {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t block_counter = 0;  // words 12 (low half) and 13 (high half)
    std::array<std::uint32_t, 2> stream{};  // words 14 and 15

    bool operator==(const ChaChaCore&) const = default;
};

// State words 0 to 3 of every block, whichever kernel computes it.
inline constexpr std::array<std::uint32_t, 4> sigma{0x61707865, 0x3320646E, 0x79622D32, 0x6B206574};

inline constexpr std::size_t block_words = 16;
inline constexpr std::size_t group_blocks = 4;
inline constexpr std::size_t group_words = group_blocks * block_words;

// Computes the 4 * groups blocks core.block_counter, +1, ... (64-bit
// wrap-around) into out, block after block, each in state word order. Every
// kernel produces exactly the same words; only the speed differs.
using BlockFunction = void (*)(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups,
                               std::uint32_t* out);

void blocks_scalar(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups, std::uint32_t* out);

// Named "avx512", "avx2", "avx", "sse4.1", "ssse3" or "scalar".
using NamedBlockFunction = NamedKernel<BlockFunction>;

// Every kernel this processor can run, fastest first; the last is always the
// scalar one. Detected once per process.
std::span<const NamedBlockFunction> available_block_functions();

// The first of available_block_functions(), chosen on first use.
const NamedBlockFunction& chosen_block_function();

ChaChaCore init_chacha(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 8> nonce);

// Computes the next `groups` groups of blocks into out and advances the
// counter past them.
void compute_groups(ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups, std::uint32_t* out);

}  // namespace mirabund_core::random
