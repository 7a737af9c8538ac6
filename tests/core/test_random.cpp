#include "core/random.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/outcome.hpp"
#include "core/range_filter.hpp"

namespace {

using namespace mirabund_core::random;
using mirabund_core::Panic;

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

TEST(RandomSource, SeedZeroFirstValues) {
    RandomSource source = seed_from_u64(0);
    EXPECT_EQ(next_u64(source), 0xB585F767A79A3B6CULL);
    EXPECT_EQ(next_u64(source), 0x7746A55FBAD8C037ULL);
    EXPECT_EQ(next_u64(source), 0xB2FB0D3281E2A6E6ULL);
}

TEST(RandomSource, ZeroKeyKeystream) {
    // Published 8-round keystream for an all-zero key and nonce.
    const std::array<std::uint8_t, 32> key{};
    const std::array<std::uint8_t, 8> nonce{};
    ChaChaCore core = init_chacha(key, nonce);
    OutputBuffer buffer{};
    refill_wide(core, 4, buffer);
    EXPECT_EQ(core.block_counter, 4u);
    const std::array<std::uint32_t, 4> expected{0x2FEF003E, 0xD6405F89, 0xE8B85B7F, 0xA1A5091F};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(buffer[i], expected[i]) << i;
}

TEST(RandomSource, GenRangeSequences) {
    struct Case { std::uint64_t seed, high; std::vector<std::uint64_t> draws; };
    const Case cases[] = {
        {0, 9, {7, 0, 5, 8, 9, 8, 1, 5, 3, 6}},
        {42, 99, {68, 95, 42, 62, 80, 77, 50, 90, 95, 59}},
    };
    for (const Case& c : cases) {
        RandomSource source = seed_from_u64(c.seed);
        std::vector<std::uint64_t> got;
        for (std::size_t i = 0; i < c.draws.size(); ++i) got.push_back(gen_range(source, 0, c.high));
        EXPECT_EQ(got, c.draws) << "seed " << c.seed;
    }
}

TEST(RandomSource, SecondRefillStartsAtBlockFour) {
    RandomSource source = seed_from_u64(7);
    for (int i = 0; i < 32; ++i) next_u64(source);
    EXPECT_EQ(source.core().block_counter, 4u);
    ChaChaCore at_four = source.core();
    RandomSource later(at_four);
    const std::uint64_t draw33 = next_u64(source);
    EXPECT_EQ(source.core().block_counter, 8u);
    EXPECT_EQ(draw33, next_u64(later));
    EXPECT_EQ(source.read_position(), 2u);
}

TEST(RandomSource, CounterCarriesIntoHighWord) {
    ChaChaCore core = seed_from_u64(3).core();
    core.block_counter = 0xFFFFFFFEULL;
    OutputBuffer wide{};
    blocks_scalar(core, 4, 1, wide.data());
    // Block 0x100000001 (fourth of the batch) starts a batch of its own.
    ChaChaCore single = core;
    single.block_counter = 0x100000001ULL;
    OutputBuffer alone{};
    blocks_scalar(single, 4, 1, alone.data());
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(wide[48 + i], alone[i]) << i;
}

TEST(RandomSource, OddReadPositionSpansRefill) {
    const ChaChaCore core = seed_from_u64(0).core();
    OutputBuffer buffer{};
    buffer[63] = 0x01234567;
    RandomSource source(core, buffer, 63);
    // High half is word 0 of block 0 for seed 0 (low half of the first value).
    EXPECT_EQ(next_u64(source), 0xA79A3B6C01234567ULL);
    EXPECT_EQ(source.read_position(), 1u);
    EXPECT_EQ(next_u64(source), 0xBAD8C037B585F767ULL);
}

TEST(RandomSource, GenRangeEdges) {
    RandomSource a = seed_from_u64(11);
    RandomSource b = seed_from_u64(11);
    EXPECT_EQ(gen_range(a, 0, u64_max), next_u64(b));

    // A one-value range rejects every draw with the top bit set.
    RandomSource single = seed_from_u64(0);
    RandomSource mirror = seed_from_u64(0);
    std::size_t consumed = 0;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(gen_range(single, 5, 5), 5u);
        do ++consumed; while (next_u64(mirror) >> 63);
    }
    EXPECT_GT(consumed, 20u);
    EXPECT_EQ(next_u64(single), next_u64(mirror));

    try {
        gen_range(a, 4, 3);
        FAIL() << "no panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message, "cannot sample empty range");
    }
}

// The batch draw must consume exactly what successive draws consume, across
// refills and from any even read position, for ranges that reject often,
// rarely and never, in both widths of output.
template <class T>
void expect_batch_matches_successive_draws(std::uint64_t low, std::uint64_t high) {
    for (std::size_t count : {0u, 1u, 7u, 8u, 9u, 31u, 32u, 33u, 200u, 1000u, 5000u}) {
        for (std::size_t already_read : {0u, 1u, 31u, 32u}) {
            SCOPED_TRACE(::testing::Message() << "[" << low << ", " << high << "] count " << count << " after "
                                              << already_read << " values, " << 8 * sizeof(T) << " bits");
            RandomSource batch = seed_from_u64(count + high);
            RandomSource single = seed_from_u64(count + high);
            for (std::size_t i = 0; i < already_read; ++i) {
                next_u64(batch);
                next_u64(single);
            }
            std::vector<T> drawn(count);
            batch.gen_range_fill(low, high, std::span<T>(drawn));
            for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(drawn[i], gen_range(single, low, high)) << i;
            ASSERT_EQ(batch.read_position(), single.read_position());
            ASSERT_EQ(batch.core(), single.core());
            ASSERT_EQ(batch.buffer(), single.buffer());
        }
    }
}

TEST(RandomSource, BatchDrawMatchesSuccessiveDraws) {
    const std::uint64_t ranges[][2] = {{0, 9}, {0, 9990}, {5, 5}, {7, 7 + 0xFFFFFFFEull}, {0, 0xFFFFFFFFull}};
    for (const auto& [low, high] : ranges) {
        expect_batch_matches_successive_draws<std::uint64_t>(low, high);
        expect_batch_matches_successive_draws<std::uint32_t>(low, high);
    }
    const std::uint64_t wide_ranges[][2] = {{0, u64_max}, {3, (1ull << 63) + 7}, {1ull << 40, 1ull << 41}};
    for (const auto& [low, high] : wide_ranges) expect_batch_matches_successive_draws<std::uint64_t>(low, high);
}

// ---- Vectorised block variants ----

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// Every kernel name any processor may offer. A kernel this one lacks is
// skipped with a message, not passed.
template <class Named>
const Named* find_variant(std::span<const Named> available, std::string_view name) {
    const auto at = std::find_if(available.begin(), available.end(), [&](const Named& v) { return v.name == name; });
    return at == available.end() ? nullptr : &*at;
}

TEST(BlockVariants, SelectionAndFallback) {
    const auto variants = available_block_functions();
    ASSERT_FALSE(variants.empty());
    EXPECT_EQ(variants.back().name, "scalar");
    EXPECT_EQ(variants.back().function, &blocks_scalar);
    EXPECT_EQ(chosen_block_function().function, variants.front().function);
    for (std::size_t i = 0; i < variants.size(); ++i)
        for (std::size_t j = i + 1; j < variants.size(); ++j) EXPECT_NE(variants[i].name, variants[j].name);
}

class BlockVariant : public ::testing::TestWithParam<std::string_view> {};

TEST_P(BlockVariant, SameWordsAsScalar) {
    const NamedBlockFunction* variant = find_variant(available_block_functions(), GetParam());
    if (variant == nullptr) GTEST_SKIP() << "this processor cannot run the " << GetParam() << " kernel";

    // Counters where the low word carries at each position of a call, and
    // where the 64-bit counter wraps inside one.
    std::vector<std::uint64_t> counters{0, 1, 4, 0x7FFFFFFF, 0xFFFFFFF0, 0xFFFFFFFC, 0xFFFFFFFD, 0xFFFFFFFE,
                                        0xFFFFFFFF, 0x100000000ULL, 0x1FFFFFFFEULL, 0xFFFFFFFF00000000ULL,
                                        u64_max - 15, u64_max - 3, u64_max - 2, u64_max - 1, u64_max};
    std::uint64_t state = 0x0123456789ABCDEFULL;
    for (int i = 0; i < 12; ++i) counters.push_back(splitmix(state));
    std::vector<ChaChaCore> cores;
    for (std::uint64_t seed : std::array<std::uint64_t, 3>{0, 42, u64_max}) cores.push_back(seed_from_u64(seed).core());
    for (int i = 0; i < 8; ++i) {
        ChaChaCore core;
        for (std::uint32_t& word : core.key) word = static_cast<std::uint32_t>(splitmix(state));
        // Stream words are zero in every source; nonzero ones catch words 14
        // and 15 landing in the wrong place.
        if (i % 2 == 1) core.stream = {static_cast<std::uint32_t>(splitmix(state)), 0xFFFFFFFFu};
        cores.push_back(core);
    }

    std::size_t mismatches = 0;
    for (ChaChaCore core : cores) {
        for (std::uint64_t counter : counters) {
            core.block_counter = counter;
            // Widths around each kernel's own: 1 to 4 groups, and a wide
            // call with a remainder.
            for (std::size_t groups : {1u, 2u, 3u, 4u, 5u, 11u}) {
                for (std::uint32_t double_rounds : {0u, 1u, 4u, 10u}) {
                    std::vector<std::uint32_t> expected(groups * group_words);
                    blocks_scalar(core, double_rounds, groups, expected.data());
                    // One word in, so the stores are not aligned, with guard
                    // words on both sides.
                    std::vector<std::uint32_t> got(groups * group_words + 2, 0xA5A5A5A5);
                    variant->function(core, double_rounds, groups, got.data() + 1);
                    EXPECT_EQ(got.front(), 0xA5A5A5A5u);
                    EXPECT_EQ(got.back(), 0xA5A5A5A5u);
                    if (!std::equal(expected.begin(), expected.end(), got.begin() + 1)) {
                        ADD_FAILURE() << "counter " << counter << ", groups " << groups << ", double rounds "
                                      << double_rounds;
                        if (++mismatches > 5) return;
                    }
                }
            }
        }
    }
    // Independent of the scalar code: seed 0 starts with 0xB585F767A79A3B6C.
    OutputBuffer first{};
    variant->function(seed_from_u64(0).core(), 4, 1, first.data());
    EXPECT_EQ(first[0] | static_cast<std::uint64_t>(first[1]) << 32, 0xB585F767A79A3B6CULL);
}

INSTANTIATE_TEST_SUITE_P(Kernels, BlockVariant,
                         ::testing::Values("avx512", "avx2", "avx", "sse4.1", "ssse3"),
                         [](const auto& info) {
                             std::string name(info.param);
                             std::erase(name, '.');
                             return name;
                         });

// ---- Vectorised range filters ----

template <class T>
void expect_filter_matches_scalar(RangeFilter<T> filter) {
    std::uint64_t state = 99;
    std::vector<std::uint32_t> words(2 * 203);
    for (std::uint32_t& word : words) word = static_cast<std::uint32_t>(splitmix(state));
    // Ranges that reject often and rarely, the largest one, and lows that
    // carry.
    const RangeDraw draws[] = {range_draw(0, 1), range_draw(0, 10), range_draw(5, 91), range_draw(0, 9991),
                               range_draw(0, 0x80000001u), range_draw(0, 0xFFFFFFFFu), range_draw(1, 0xFFFFFFFEu),
                               range_draw(u64_max - 100, 50)};
    for (const RangeDraw& draw : draws) {
        if (sizeof(T) == 4 && draw.low + draw.range - 1 > 0xFFFFFFFFu) continue;
        for (std::size_t values : {0u, 1u, 7u, 8u, 9u, 16u, 17u, 203u}) {
            for (std::size_t wanted : {0u, 1u, 3u, 8u, 9u, 40u, 1000u}) {
                SCOPED_TRACE(::testing::Message() << "low " << draw.low << " range " << draw.range << " values "
                                                  << values << " wanted " << wanted);
                std::vector<T> expected(wanted);
                const FilterProgress reference = range_filter_scalar(words.data(), values, draw, expected.data(), wanted);
                // Guard values past `wanted`, which no store may reach.
                std::vector<T> got(wanted + 8, T{0x5A});
                const FilterProgress progress = filter(words.data(), values, draw, got.data(), wanted);
                ASSERT_EQ(progress.values, reference.values);
                ASSERT_EQ(progress.written, reference.written);
                ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + reference.written, got.begin()));
                ASSERT_TRUE(std::all_of(got.begin() + wanted, got.end(), [](T x) { return x == T{0x5A}; }));
            }
        }
    }
}

class RangeFilterVariant : public ::testing::TestWithParam<std::string_view> {};

TEST_P(RangeFilterVariant, SameDrawsAsScalar) {
    const auto* wide = find_variant(available_range_filters<std::uint64_t>(), GetParam());
    const auto* narrow = find_variant(available_range_filters<std::uint32_t>(), GetParam());
    if (wide == nullptr || narrow == nullptr)
        GTEST_SKIP() << "this processor cannot run the " << GetParam() << " range filter";
    expect_filter_matches_scalar<std::uint64_t>(wide->function);
    expect_filter_matches_scalar<std::uint32_t>(narrow->function);
}

INSTANTIATE_TEST_SUITE_P(Kernels, RangeFilterVariant, ::testing::Values("avx512", "avx2"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
