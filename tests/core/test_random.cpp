#include "core/random.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/outcome.hpp"

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
    wide_blocks_scalar(core, 4, wide.data());
    // Block 0x100000001 (fourth of the batch) starts a batch of its own.
    ChaChaCore single = core;
    single.block_counter = 0x100000001ULL;
    OutputBuffer alone{};
    wide_blocks_scalar(single, 4, alone.data());
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
// refills, for ranges that reject often, rarely and never.
TEST(RandomSource, BatchDrawMatchesSuccessiveDraws) {
    const std::uint64_t ranges[][2] = {{0, 9}, {0, 9990}, {5, 5}, {0, u64_max}, {3, (1ull << 63) + 7}};
    for (const auto& [low, high] : ranges) {
        for (std::size_t count : {0u, 1u, 31u, 32u, 33u, 200u, 1000u}) {
            RandomSource batch = seed_from_u64(count + high);
            RandomSource single = seed_from_u64(count + high);
            // Start from a partly read buffer.
            next_u64(batch);
            next_u64(single);
            std::vector<std::uint64_t> drawn(count);
            batch.gen_range_fill(low, high, drawn);
            for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(drawn[i], gen_range(single, low, high)) << i;
            EXPECT_EQ(batch.read_position(), single.read_position());
            EXPECT_EQ(next_u64(batch), next_u64(single));
        }
    }
}

// ---- Vectorised block variants ----

std::uint64_t splitmix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

TEST(WideBlockVariants, SelectionAndFallback) {
    const auto variants = available_wide_block_functions();
    ASSERT_FALSE(variants.empty());
    EXPECT_EQ(variants.back().name, "scalar");
    EXPECT_EQ(variants.back().function, &wide_blocks_scalar);
    EXPECT_EQ(wide_block_function(), variants.front().function);
    for (std::size_t i = 0; i < variants.size(); ++i)
        for (std::size_t j = i + 1; j < variants.size(); ++j) EXPECT_NE(variants[i].name, variants[j].name);
}

TEST(WideBlockVariants, SameWordsAsScalar) {
    // Counters where the low word carries at each position of a batch, and
    // where the 64-bit counter wraps inside a batch.
    std::vector<std::uint64_t> counters{0, 1, 4, 0x7FFFFFFF, 0xFFFFFFFC, 0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF,
                                        0x100000000ULL, 0x1FFFFFFFEULL, 0xFFFFFFFF00000000ULL,
                                        u64_max - 3, u64_max - 2, u64_max - 1, u64_max};
    std::uint64_t state = 0x0123456789ABCDEFULL;
    for (int i = 0; i < 20; ++i) counters.push_back(splitmix(state));
    std::vector<ChaChaCore> cores;
    for (std::uint64_t seed : std::array<std::uint64_t, 4>{0, 1, 42, u64_max}) cores.push_back(seed_from_u64(seed).core());
    for (int i = 0; i < 12; ++i) {
        ChaChaCore core;
        for (std::uint32_t& word : core.key) word = static_cast<std::uint32_t>(splitmix(state));
        // Stream words are zero in every source; nonzero ones catch words 14
        // and 15 landing in the wrong place.
        if (i % 2 == 1) core.stream = {static_cast<std::uint32_t>(splitmix(state)), 0xFFFFFFFFu};
        cores.push_back(core);
    }

    for (const NamedWideBlockFunction& variant : available_wide_block_functions()) {
        SCOPED_TRACE(std::string(variant.name));
        std::size_t mismatches = 0;
        for (ChaChaCore core : cores) {
            for (std::uint64_t counter : counters) {
                core.block_counter = counter;
                for (std::uint32_t double_rounds : {0u, 1u, 4u, 10u}) {
                    OutputBuffer expected{};
                    wide_blocks_scalar(core, double_rounds, expected.data());
                    // One word in, so the stores are not aligned, with guard
                    // words on both sides.
                    std::array<std::uint32_t, buffer_words + 2> got;
                    got.fill(0xA5A5A5A5);
                    variant.function(core, double_rounds, got.data() + 1);
                    EXPECT_EQ(got.front(), 0xA5A5A5A5u);
                    EXPECT_EQ(got.back(), 0xA5A5A5A5u);
                    if (!std::equal(expected.begin(), expected.end(), got.begin() + 1)) {
                        ADD_FAILURE() << "counter " << counter << ", double rounds " << double_rounds;
                        if (++mismatches > 5) return;
                    }
                }
            }
        }
        // Independent of the scalar code: seed 0 starts with 0xB585F767A79A3B6C.
        OutputBuffer first{};
        variant.function(seed_from_u64(0).core(), 4, first.data());
        EXPECT_EQ(first[0] | static_cast<std::uint64_t>(first[1]) << 32, 0xB585F767A79A3B6CULL);
    }
}

// ---- Faults of the operating-system entropy path ----

struct Step { long result; int error; std::size_t bytes; };
std::deque<Step> script;
bool probe_fails = false;
int probe_errno = 0;

long scripted_fill(void* p, std::size_t n, unsigned char byte) {
    if (script.empty()) {
        ADD_FAILURE() << "unscripted call";
        return 0;
    }
    const Step s = script.front();
    script.pop_front();
    std::memset(p, byte, std::min(n, s.bytes));
    errno = s.error;
    return s.result;
}
long fake_getrandom(void* p, std::size_t n, unsigned) {
    if (n == 0) {
        errno = probe_errno;
        return probe_fails ? -1 : 0;
    }
    return scripted_fill(p, n, 0xAB);
}
int fake_open(const char*, int) { return 1000; }
int fake_poll(pollfd*, nfds_t, int) { return 1; }
ssize_t fake_read(int, void* p, std::size_t n) { return scripted_fill(p, n, 0xCD); }
int fake_close(int) { return 0; }

class EntropyFaults : public ::testing::Test {
protected:
    void SetUp() override { saved_ = replace_entropy_calls({fake_getrandom, fake_open, fake_poll, fake_read, fake_close}); }
    void TearDown() override {
        replace_entropy_calls(saved_);
        script.clear();
        probe_fails = false;
    }
    EntropyCalls saved_{};
};

TEST_F(EntropyFaults, FillResults) {
    struct Case { bool use_file; std::vector<Step> steps; EntropyError expected; };
    const Case cases[] = {
        {false, {{-1, EINTR, 0}, {10, 0, 10}, {22, 0, 22}}, entropy_ok},
        {false, {{33, 0, 32}}, unexpected_result},
        {false, {{0, 0, 0}}, unexpected_result},
        {false, {{-2, 0, 0}}, unexpected_result},
        {false, {{-1, 0, 0}}, errno_not_positive},
        {false, {{-1, -3, 0}}, errno_not_positive},
        {false, {{-1, EIO, 0}}, static_cast<EntropyError>(EIO)},
        {true, {{-1, EINTR, 0}, {31, 0, 31}, {1, 0, 1}}, entropy_ok},
        {true, {{-1, EIO, 0}}, static_cast<EntropyError>(EIO)},
    };
    for (const Case& c : cases) {
        replace_entropy_calls({fake_getrandom, fake_open, fake_poll, fake_read, fake_close});
        probe_fails = c.use_file;
        probe_errno = c.use_file ? ENOSYS : 0;
        script.assign(c.steps.begin(), c.steps.end());
        std::array<std::byte, 32> buffer{};
        EXPECT_EQ(getrandom_inner(buffer), c.expected);
        EXPECT_TRUE(script.empty());
        if (c.expected == entropy_ok) {
            EXPECT_EQ(buffer[31], std::byte{static_cast<unsigned char>(c.use_file ? 0xCD : 0xAB)});
        }
    }
}

TEST_F(EntropyFaults, FromEntropyPanicsWithText) {
    script = {{-1, EIO, 0}};
    try {
        from_entropy();
        FAIL() << "no panic";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message, "from_entropy failed: Input/output error");
    }
}

TEST(EntropyText, Codes) {
    EXPECT_EQ(display_text(errno_not_positive), "errno: did not return a positive value");
    EXPECT_EQ(display_text(unexpected_result), "unexpected situation");
    EXPECT_EQ(display_text(static_cast<EntropyError>(EPERM)), "Operation not permitted");
    EXPECT_EQ(display_text(0x7FFFFFFF), "OS Error: 2147483647");
}

}  // namespace
