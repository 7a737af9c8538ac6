#include "core/chacha.hpp"

#include <bit>

namespace mirabund_core::random {

namespace {

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
}

void block(const ChaChaCore& core, std::uint64_t counter, std::uint32_t double_rounds, std::uint32_t* out) {
    std::array<std::uint32_t, 16> input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = sigma[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = core.key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = core.stream[0];
    input[15] = core.stream[1];

    std::array<std::uint32_t, 16> x = input;
    for (std::uint32_t r = 0; r < double_rounds; ++r) {
        quarter_round(x.data(), 0, 4, 8, 12);
        quarter_round(x.data(), 1, 5, 9, 13);
        quarter_round(x.data(), 2, 6, 10, 14);
        quarter_round(x.data(), 3, 7, 11, 15);
        quarter_round(x.data(), 0, 5, 10, 15);
        quarter_round(x.data(), 1, 6, 11, 12);
        quarter_round(x.data(), 2, 7, 8, 13);
        quarter_round(x.data(), 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void blocks_scalar(const ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups, std::uint32_t* out) {
    for (std::uint64_t i = 0; i < group_blocks * groups; ++i)
        block(core, core.block_counter + i, double_rounds, out + block_words * i);
}

const NamedBlockFunction& chosen_block_function() {
    static const NamedBlockFunction& chosen = available_block_functions().front();
    return chosen;
}

ChaChaCore init_chacha(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 8> nonce) {
    ChaChaCore core;
    for (std::size_t i = 0; i < 8; ++i) core.key[i] = load_le32(key.data() + 4 * i);
    core.block_counter = 0;
    core.stream[0] = load_le32(nonce.data());
    core.stream[1] = load_le32(nonce.data() + 4);
    return core;
}

void compute_groups(ChaChaCore& core, std::uint32_t double_rounds, std::size_t groups, std::uint32_t* out) {
    chosen_block_function().function(core, double_rounds, groups, out);
    core.block_counter += group_blocks * groups;
}

}  // namespace mirabund_core::random
