#include "core/bootstrap.hpp"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/entropy.hpp"
#include "core/resample_sums.hpp"

namespace {

using namespace mirabund_core::bootstrap;
using mirabund_core::Panic;
using Kind = BootstrapError::Kind;
using Stat = std::expected<double, std::string>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
const std::vector<double> one_to_ten{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};

template <class F>
std::string panic_message(F f) {
    try {
        f();
    } catch (const Panic& p) {
        return p.message;
    }
    return "<no panic>";
}

TEST(BlockBootstrap, SeededRuns) {
    struct Case {
        std::uint64_t seed;
        std::vector<std::uint64_t> starts;
        std::vector<double> means;
        double lower, upper;
    };
    const Case cases[] = {
        {42, {5, 3, 5, 2, 1, 2, 6, 6, 4, 7, 1, 1, 1, 0, 2, 6, 5, 5, 5, 6}, {6.0, 5.2, 5.6, 3.4, 7.0}, 3.4, 7.0},
        {0, {0, 7, 4, 7, 6, 1, 7, 6, 4, 6, 5, 3, 7, 6, 4, 6, 7, 4, 5, 5}, {5.9, 6.7, 6.7, 7.6, 7.2}, 5.9, 7.6},
    };
    for (const Case& c : cases) {
        std::vector<std::vector<double>> seen;
        auto recording_mean = [&seen](std::span<const double> v) {
            seen.emplace_back(v.begin(), v.end());
            return mean(v);
        };
        const auto out = block_bootstrap(one_to_ten, 3, 5, 0.8, recording_mean, c.seed);
        ASSERT_TRUE(out.has_value());
        ASSERT_EQ(seen.size(), 6u);
        EXPECT_EQ(seen[0], one_to_ten);

        std::vector<std::uint64_t> starts;
        std::vector<double> means;
        for (std::size_t r = 1; r < seen.size(); ++r) {
            ASSERT_EQ(seen[r].size(), 10u);
            // Value v sits at position v - 1, so a block's first value names its start;
            // the rest of the resample must follow from the starts.
            std::vector<double> rebuilt;
            for (std::size_t b = 0; b < 10; b += 3) {
                starts.push_back(static_cast<std::uint64_t>(seen[r][b]) - 1);
                rebuilt.insert(rebuilt.end(), {seen[r][b], seen[r][b] + 1, seen[r][b] + 2});
            }
            rebuilt.resize(10);
            EXPECT_EQ(seen[r], rebuilt);
            means.push_back(*mean(seen[r]));
        }
        EXPECT_EQ(starts, c.starts) << "seed " << c.seed;
        EXPECT_EQ(means, c.means) << "seed " << c.seed;
        EXPECT_EQ(out->point_estimate, 5.5);
        EXPECT_EQ(out->ci_lower, c.lower);
        EXPECT_EQ(out->ci_upper, c.upper);
        EXPECT_EQ(out->confidence_level, 0.8);
        EXPECT_EQ(out->n_resamples, 5u);
    }
}

TEST(BlockBootstrap, UnseededCallsDrawFreshEntropy) {
    std::vector<double> resamples[2];
    for (auto& record : resamples) {
        const auto out = block_bootstrap(one_to_ten, 2, 20, 0.9, [&record](std::span<const double> v) {
            record.insert(record.end(), v.begin(), v.end());
            return mean(v);
        }, std::nullopt);
        ASSERT_TRUE(out.has_value());
    }
    EXPECT_NE(resamples[0], resamples[1]);
}

TEST(BlockBootstrap, PercentileIndexRule) {
    struct Case { double level; std::uint64_t n; PercentileIndices expected; };
    const Case cases[] = {
        {0.95, 1000, {25, 975}}, {0.9, 1000, {49, 950}}, {0.68, 1000, {159, 841}},
        {0.99, 100, {0, 99}},    {0.5, 10, {2, 8}},      {0.95, 2, {0, 1}},
        {0.8, 5, {0, 4}},        {0.999, 1, {0, 0}},     {5e-324, 1, {0, 0}},
    };
    for (const Case& c : cases) EXPECT_EQ(percentile_indices(c.level, c.n), c.expected) << c.level << " " << c.n;

    const std::pair<double, std::uint64_t> saturation[] = {
        {nan, 0}, {-1.0, 0}, {-0.0, 0}, {0.75, 0}, {42.0, 42},
        {9223372036854775808.0, 9223372036854775808ULL},
        {18446744073709551616.0, std::numeric_limits<std::uint64_t>::max()},
        {inf, std::numeric_limits<std::uint64_t>::max()},
    };
    for (const auto& [x, expected] : saturation) EXPECT_EQ(saturating_u64(x), expected) << x;
}

TEST(BlockBootstrap, ValidationOrderAndTexts) {
    struct Case { std::vector<double> data; std::uint64_t block; std::uint64_t n; double level; Kind kind; const char* text; };
    const std::vector<double> d{1, 2, 3};
    const Case cases[] = {
        {{}, 0, 0, 2.0, Kind::EmptyData, "input data must not be empty"},
        {d, 0, 0, 2.0, Kind::InvalidBlockSize, "block_size must be >= 1 and <= data.len()"},
        {d, 4, 1, 0.5, Kind::InvalidBlockSize, "block_size must be >= 1 and <= data.len()"},
        {d, 3, 0, 2.0, Kind::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {d, 1, 1, nan, Kind::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {d, 1, 1, 0.0, Kind::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {d, 1, 1, 1.0, Kind::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {d, 1, 1, -0.5, Kind::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {d, 1, 0, 0.5, Kind::InvalidResampleCount, "n_resamples must be >= 1"},
    };
    for (const Case& c : cases) {
        int calls = 0;
        const auto out = block_bootstrap(c.data, c.block, c.n, c.level, [&calls](std::span<const double>) {
            ++calls;
            return Stat(0.0);
        }, 1);
        ASSERT_FALSE(out.has_value());
        EXPECT_EQ(out.error().kind, c.kind);
        EXPECT_EQ(display_text(out.error()), c.text);
        EXPECT_EQ(calls, 0);
    }
}

TEST(BlockBootstrap, NaNStatistics) {
    auto always_nan = [](std::span<const double>) { return Stat(nan); };
    EXPECT_EQ(panic_message([&] { block_bootstrap(one_to_ten, 2, 2, 0.9, always_nan, 5); }),
              "statistic produced NaN");
    int calls = 0;
    auto fifth_nan = [&calls](std::span<const double> v) { return ++calls == 5 ? Stat(nan) : mean(v); };
    EXPECT_EQ(panic_message([&] { block_bootstrap(one_to_ten, 2, 9, 0.9, fifth_nan, 5); }),
              "statistic produced NaN");

    const auto single = block_bootstrap(one_to_ten, 2, 1, 0.9, always_nan, 5);
    ASSERT_TRUE(single.has_value());
    EXPECT_TRUE(std::isnan(single->point_estimate));
    EXPECT_TRUE(std::isnan(single->ci_lower));
    EXPECT_TRUE(std::isnan(single->ci_upper));
}

TEST(BlockBootstrap, FailingStatisticStopsAtItsCall) {
    for (int j = 1; j <= 4; ++j) {
        int calls = 0;
        const auto out = block_bootstrap(one_to_ten, 4, 3, 0.9, [&calls, j](std::span<const double> v) -> Stat {
            if (++calls == j) return std::unexpected("boom " + std::to_string(j));
            return mean(v);
        }, 9);
        ASSERT_FALSE(out.has_value());
        EXPECT_EQ(calls, j);
        EXPECT_EQ(out.error(), (BootstrapError{Kind::StatisticFailed, "boom " + std::to_string(j)}));
        EXPECT_EQ(display_text(out.error()), "statistic function failed: boom " + std::to_string(j));
    }
}

long forbidden_getrandom(void*, std::size_t, unsigned) {
    ADD_FAILURE() << "entropy drawn";
    return -1;
}

TEST(BlockBootstrap, FailedPointEstimateDrawsNoEntropy) {
    using namespace mirabund_core::random;
    EntropyCalls fake = system_entropy_calls();
    fake.getrandom = forbidden_getrandom;
    const EntropyCalls saved = replace_entropy_calls(fake);
    auto failing = [](std::span<const double>) -> Stat { return std::unexpected("no"); };
    const auto out = block_bootstrap(one_to_ten, 2, 3, 0.9, failing, std::nullopt);
    replace_entropy_calls(saved);
    ASSERT_FALSE(out.has_value());
}

TEST(BlockBootstrap, SortKeepsZeroOrderAndPutsInfinitiesAtEnds) {
    // Long enough that an unstable sort would not fall back to insertion sort.
    std::vector<double> v{inf, -inf};
    std::vector<bool> zero_signs;
    for (int i = 0; i < 60; ++i) {
        const double x = i % 3 == 0 ? 0.0 : (i % 3 == 1 ? -0.0 : static_cast<double>(i % 7) - 3.5);
        if (x == 0.0) zero_signs.push_back(std::signbit(x));
        v.push_back(x);
    }
    sort_statistics(v);
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    EXPECT_EQ(v.front(), -inf);
    EXPECT_EQ(v.back(), inf);
    std::vector<bool> sorted_signs;
    for (double x : v)
        if (x == 0.0) sorted_signs.push_back(std::signbit(x));
    EXPECT_EQ(sorted_signs, zero_signs);
}

TEST(Mean, OrderAndEdges) {
    const std::vector<double> zeros{-0.0, -0.0};
    EXPECT_TRUE(std::signbit(*mean(zeros)));
    EXPECT_EQ(mean({}).error(), "mean is undefined for empty data");
    // Left to right: 1 vanishes in 1e100 before the cancellation.
    const std::vector<double> cancelling{1.0, 1e100, -1e100};
    EXPECT_EQ(*mean(cancelling), 0.0);
}

TEST(BlockBootstrap, UnreservableStorageIsBadAlloc) {
    const std::vector<double> one{1.0};
    std::vector<std::uint64_t> counts{std::uint64_t{1} << 62, std::numeric_limits<std::uint64_t>::max()};
#if !defined(__SANITIZE_ADDRESS__)
    counts.push_back(std::uint64_t{1} << 50);  // within max_size, beyond any address space
#endif
    for (std::uint64_t n : counts) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_THROW(block_bootstrap(one, 1, n, 0.95, mean, 1), std::bad_alloc) << n;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    }
    std::vector<double> v;
    EXPECT_THROW(reserve_storage(v, std::numeric_limits<std::uint64_t>::max(), 2), std::bad_alloc);
}

// ---- Mean summed straight from the series against the literal resamples ----

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Run {
    std::optional<BootstrapOutcome> outcome;
    std::string panic;
};

template <class Statistic>
Run run_bootstrap(const std::vector<double>& data, std::uint64_t block, std::uint64_t n, std::uint64_t seed,
                  Statistic statistic) {
    try {
        return {*block_bootstrap(data, block, n, 0.8, statistic, seed), {}};
    } catch (const Panic& p) {
        return {std::nullopt, p.message};
    }
}

// Mostly values at a few scales from 1e-300 to 1e300 with both signs, so that
// large ones cancel and the order of the additions shows in the last bits;
// some zeros of both signs.
std::vector<double> mixed_values(std::mt19937_64& rng, std::size_t n) {
    constexpr double scales[] = {1e-300, 1e-10, 1.0, 1e10, 1e300};
    std::uniform_real_distribution<double> mantissa(1.0, 10.0);
    std::vector<double> v(n);
    for (double& x : v) {
        const std::uint64_t pick = rng() % 12;
        x = pick == 0 ? 0.0 : pick == 1 ? -0.0 : (rng() & 1 ? -1.0 : 1.0) * mantissa(rng) * scales[pick % 5];
    }
    return v;
}

// Every resample mean and the whole outcome (or panic) of the Mean path,
// bit for bit against the same engine with a statistic it cannot recognise.
void expect_same_as_literal(const std::vector<double>& data, std::uint64_t block, std::uint64_t n_resamples,
                            std::uint64_t seed) {
    SCOPED_TRACE(::testing::Message() << "n " << data.size() << " block " << block << " resamples "
                                      << n_resamples << " seed " << seed);
    std::vector<double> literal_means;
    const Run literal = run_bootstrap(data, block, n_resamples, seed, [&](std::span<const double> v) {
        const Stat m = mean(v);
        if (v.data() != data.data()) literal_means.push_back(*m);
        return m;
    });
    std::vector<double> fast_means;
    fast_means.reserve(n_resamples);
    auto source = mirabund_core::random::RandomSource::seed_from_u64(seed);
    mirabund_core::InterruptCheck never;
    append_resample_means(data, block, n_resamples, source, fast_means, never);
    ASSERT_EQ(fast_means.size(), literal_means.size());
    for (std::size_t r = 0; r < fast_means.size(); ++r)
        ASSERT_EQ(bits(fast_means[r]), bits(literal_means[r])) << "resample " << r;

    const Run fast = run_bootstrap(data, block, n_resamples, seed, mean);
    ASSERT_EQ(fast.panic, literal.panic);
    ASSERT_EQ(fast.outcome.has_value(), literal.outcome.has_value());
    if (!fast.outcome) return;
    const BootstrapOutcome& a = *fast.outcome;
    const BootstrapOutcome& b = *literal.outcome;
    EXPECT_EQ(bits(a.point_estimate), bits(b.point_estimate));
    EXPECT_EQ(bits(a.ci_lower), bits(b.ci_lower));
    EXPECT_EQ(bits(a.ci_upper), bits(b.ci_upper));
    EXPECT_EQ(bits(a.confidence_level), bits(b.confidence_level));
    EXPECT_EQ(a.n_resamples, b.n_resamples);
}

TEST(MeanBootstrap, MatchesLiteralResamplesBitForBit) {
    std::mt19937_64 rng(20240611);
    const std::uint64_t resample_counts[] = {1, 2, 3, 5, 8, 9, 15, 16, 23};
    std::size_t order_sensitive = 0;
    auto check = [&](const std::vector<double>& data, std::uint64_t block, std::uint64_t n_resamples) {
        std::vector<double> reversed(data.rbegin(), data.rend());
        order_sensitive += bits(*mean(data)) != bits(*mean(reversed));
        expect_same_as_literal(data, block, n_resamples, rng());
    };
    for (std::size_t n = 1; n <= 300; ++n) {
        std::vector<double> data = mixed_values(rng, n);
        if (n % 17 == 0) std::fill(data.begin(), data.end(), -0.0);
        if (n % 23 == 0) data[rng() % n] = inf;
        if (n % 29 == 0) data[rng() % n] = -inf;
        std::uniform_int_distribution<std::uint64_t> any_block(1, n);
        for (const std::uint64_t block : {std::uint64_t{1}, std::min<std::uint64_t>(2, n), n, any_block(rng),
                                          any_block(rng)})
            check(data, block, resample_counts[rng() % std::size(resample_counts)]);
    }
    for (const std::size_t n : {1000, 4099, 10000}) {
        const std::vector<double> data = mixed_values(rng, n);
        for (const std::uint64_t block : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{10}, std::uint64_t{100},
                                          std::uint64_t{n}})
            check(data, block, 9);
    }
    // Otherwise the comparison could not tell a different order of additions.
    EXPECT_GT(order_sensitive, 100u);
}

TEST(MeanBootstrap, ZerosAndInfinities) {
    const std::vector<double> negative_zeros(7, -0.0);
    const auto zeros = block_bootstrap(negative_zeros, 3, 9, 0.9, mean, 1);
    ASSERT_TRUE(zeros.has_value());
    EXPECT_EQ(bits(zeros->point_estimate), bits(-0.0));
    EXPECT_EQ(bits(zeros->ci_lower), bits(-0.0));
    EXPECT_EQ(bits(zeros->ci_upper), bits(-0.0));

    // Every resample holds both infinities.
    const std::vector<double> opposite{inf, -inf, 1.0};
    EXPECT_EQ(panic_message([&] { block_bootstrap(opposite, 3, 2, 0.9, mean, 1); }), "statistic produced NaN");
    const auto single = block_bootstrap(opposite, 3, 1, 0.9, mean, 1);
    ASSERT_TRUE(single.has_value());
    EXPECT_TRUE(std::isnan(single->point_estimate));
    EXPECT_TRUE(std::isnan(single->ci_lower));
    EXPECT_TRUE(std::isnan(single->ci_upper));
}

// Every vector sum kernel against the scalar one, for block lengths on both
// sides of the vector width, odd and even, and every count of resamples a
// call can get.
class SumKernelVariant : public ::testing::TestWithParam<std::string_view> {};

TEST_P(SumKernelVariant, SameSumsAsScalar) {
    const auto kernels = mirabund_core::bootstrap::available_sum_kernels();
    const auto found = std::find_if(kernels.begin(), kernels.end(), [](const auto& k) { return k.name == GetParam(); });
    if (found == kernels.end()) GTEST_SKIP() << "this processor cannot run the " << GetParam() << " sum kernel";

    std::mt19937_64 rng(77);
    for (const std::uint64_t n : {1, 2, 7, 40, 333}) {
        const std::vector<double> data = mixed_values(rng, n);
        for (const std::uint64_t block : {1, 2, 3, 4, 5, 10, 17, 100, 333}) {
            if (block > n) continue;
            const std::uint64_t blocks = (n - 1) / block + 1;
            const Resampling rs{data.data(), n, block, blocks, n - (blocks - 1) * block};
            std::vector<std::uint32_t> starts(max_lockstep * blocks);
            for (std::uint32_t& s : starts) s = static_cast<std::uint32_t>(rng() % (n - block + 1));
            const std::uint32_t* rows[max_lockstep];
            for (std::size_t r = 0; r < max_lockstep; ++r) rows[r] = starts.data() + r * blocks;
            for (std::size_t count = 1; count <= max_lockstep; ++count) {
                double expected[max_lockstep];
                double got[max_lockstep + 1];
                got[count] = 12345.0;
                resample_sums_scalar(rs, rows, count, expected);
                found->function(rs, rows, count, got);
                for (std::size_t r = 0; r < count; ++r)
                    ASSERT_EQ(bits(got[r]), bits(expected[r])) << "n " << n << " block " << block << " count "
                                                                << count << " resample " << r;
                ASSERT_EQ(got[count], 12345.0) << "wrote past the last resample";
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, SumKernelVariant, ::testing::Values("avx", "sse2"),
                         [](const auto& info) { return std::string(info.param); });

// The interval by selection against the literal sort and index rule, on
// statistics full of ties, signed zeros and infinities, and the NaN panic.
TEST(PercentileInterval, SameAsSortingThenIndexing) {
    std::mt19937_64 rng(5);
    const double pool[] = {0.0, -0.0, 0.0, -0.0, 1.5, -1.5, 2.0, inf, -inf, 1e-300};
    for (std::size_t size : {1, 2, 3, 5, 10, 17, 100, 1000}) {
        for (int trial = 0; trial < 30; ++trial) {
            std::vector<double> statistics(size);
            for (double& x : statistics) x = pool[rng() % std::size(pool)];
            if (trial % 3 == 0) std::fill(statistics.begin(), statistics.end(), trial % 2 ? 0.0 : -0.0);
            if (trial % 5 == 1) statistics[rng() % size] = nan;
            for (double level : {0.95, 0.5, 0.999, 1e-9}) {
                std::vector<double> sorted = statistics;
                std::vector<double> selected = statistics;
                const std::string sort_panic = panic_message([&] { sort_statistics(sorted); });
                std::optional<Interval> interval;
                const std::string select_panic =
                    panic_message([&] { interval = percentile_interval(selected, level); });
                ASSERT_EQ(select_panic, sort_panic) << "size " << size;
                if (interval.has_value() != (sort_panic == "<no panic>")) FAIL() << "panic without a message";
                if (!interval) continue;
                const PercentileIndices at = percentile_indices(level, size);
                ASSERT_EQ(bits(interval->lower), bits(sorted[at.lower])) << "size " << size << " level " << level;
                ASSERT_EQ(bits(interval->upper), bits(sorted[at.upper])) << "size " << size << " level " << level;
            }
        }
    }
}

}  // namespace

// Which NaN operand an addition passes on is the compiler's choice of operand
// order, so a NaN mean is the one positive quiet NaN on both paths.
TEST(MeanBootstrap, NaNMeansAreOneNaN) {
    std::mt19937_64 rng(7);
    constexpr double quiet = std::numeric_limits<double>::quiet_NaN();
    const double values[] = {inf, -inf, quiet, -quiet, 1.0, -2.0};
    for (std::size_t n = 1; n <= 40; ++n) {
        std::vector<double> data(n);
        for (double& x : data) x = values[rng() % std::size(values)];
        for (const std::uint64_t block : {std::uint64_t{1}, std::uint64_t{(n + 1) / 2}, std::uint64_t{n}})
            expect_same_as_literal(data, block, 1, rng());
    }
    EXPECT_EQ(bits(*mean(std::vector<double>{-quiet, 1.0})), bits(quiet));
}
