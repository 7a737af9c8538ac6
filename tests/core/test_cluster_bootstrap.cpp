#include "core/cluster_bootstrap.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tests/core/cluster_reference.hpp"

namespace {

using namespace mirabund_core::cluster_bootstrap;
using mirabund_core::InterruptCheck;
using mirabund_core::random::RandomSource;
using Error = ClusterBootstrapError;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Clusters 0 = {1, 2}, 1 = {10}, 2 = {100, 200, 300}, their items interleaved:
// totals 3, 10, 600 and sizes 2, 1, 3, so every draw of three names its
// resample's mean.
const std::vector<double> values{1, 10, 100, 2, 200, 300};
const std::vector<std::uint64_t> codes{0, 1, 2, 0, 2, 2};

TEST(ClusterBootstrap, SeededDrawsStatisticsAndInterval) {
    struct Case {
        std::uint64_t seed;
        std::vector<std::uint64_t> draws;  // 5 resamples of 3
        std::vector<double> statistics;
        double lower, upper;
    };
    const Case cases[] = {
        {42, {2, 1, 0, 2, 2, 0, 1, 2, 2, 0, 1, 0, 1, 0, 0},
         {613.0 / 6, 1203.0 / 8, 1210.0 / 7, 16.0 / 5, 16.0 / 5}, 16.0 / 5, 1210.0 / 7},
        {0, {2, 1, 2, 0, 2, 1, 2, 2, 0, 2, 2, 1, 1, 2, 0},
         {1210.0 / 7, 613.0 / 6, 1203.0 / 8, 1210.0 / 7, 613.0 / 6}, 613.0 / 6, 1210.0 / 7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        RandomSource stream = RandomSource::seed_from_u64(c.seed);
        for (std::uint64_t expected : c.draws) ASSERT_EQ(stream.gen_range(0, 2), expected);

        RandomSource source = RandomSource::seed_from_u64(c.seed);
        std::vector<double> statistics;
        InterruptCheck never;
        append_resample_means(cluster_totals(values, codes, 3), 5, source, statistics, never);
        EXPECT_EQ(statistics, c.statistics);

        const auto out = cluster_bootstrap_mean(values, codes, 5, 0.8, c.seed);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->point_estimate, 613.0 / 6);
        EXPECT_EQ(out->ci_lower, c.lower);
        EXPECT_EQ(out->ci_upper, c.upper);
        EXPECT_EQ(out->confidence_level, 0.8);
        EXPECT_EQ(out->n_resamples, 5u);
        EXPECT_EQ(out->n_items, 6u);
        EXPECT_EQ(out->n_clusters, 3u);
    }
}

TEST(ClusterBootstrap, BatchedDrawsMatchLiteralOnesBitForBit) {
    std::mt19937_64 rng(20250113);
    // Values at scales far apart, so that another order of additions shows in
    // the last bits; cluster counts for every group width (8 up to 8192
    // clusters, then 4, 2 and 1) and resample counts for every remainder.
    constexpr double scales[] = {1e-300, 1e-10, 1.0, 1e10, 1e300};
    for (const std::uint64_t k : {2, 3, 7, 100, 1000, 8192, 8193, 16385, 32769, 70000}) {
        const std::size_t n = k + rng() % (2 * k);
        std::vector<double> data(n);
        for (double& x : data) x = (rng() & 1 ? -1.0 : 1.0) * static_cast<double>(rng() % 1000) * scales[rng() % 5];
        std::vector<std::uint64_t> clusters(n);
        for (std::size_t i = 0; i < n; ++i) clusters[i] = i < k ? i : rng() % k;
        std::shuffle(clusters.begin(), clusters.end(), rng);
        for (const std::uint64_t n_resamples : {1, 2, 3, 7, 8, 15, 23}) {
            SCOPED_TRACE(::testing::Message() << "k " << k << " resamples " << n_resamples);
            const std::uint64_t seed = rng();
            const ClusterTotals totals = cluster_totals(data, clusters, k);
            const std::vector<double> literal = reference::literal_statistics(totals, n_resamples, seed);

            RandomSource source = RandomSource::seed_from_u64(seed);
            std::vector<double> batched;
            InterruptCheck never;
            append_resample_means(totals, n_resamples, source, batched, never);
            ASSERT_EQ(batched.size(), literal.size());
            for (std::size_t r = 0; r < literal.size(); ++r) ASSERT_EQ(bits(batched[r]), bits(literal[r])) << r;
            // And the batches leave the source where k draws per resample do.
            RandomSource after = RandomSource::seed_from_u64(seed);
            for (std::uint64_t d = 0; d < k * n_resamples; ++d) after.gen_range(0, k - 1);
            ASSERT_EQ(source.next_u64(), after.next_u64());
        }
        if (HasFatalFailure()) return;
    }
}

TEST(ClusterBootstrap, NaNResamplesPanicLikeTheBlockBootstrap) {
    const std::vector<double> poisoned{1.0, std::numeric_limits<double>::quiet_NaN(), 3.0};
    const std::vector<std::uint64_t> three{0, 1, 2};
    try {
        (void)cluster_bootstrap_mean(poisoned, three, 50, 0.9, 1);
        ADD_FAILURE() << "no panic";
    } catch (const mirabund_core::Panic& p) {
        EXPECT_EQ(p.message, "statistic produced NaN");
    }
    const auto single = cluster_bootstrap_mean(poisoned, three, 1, 0.9, 1);
    ASSERT_TRUE(single.has_value());
    EXPECT_TRUE(std::isnan(single->point_estimate));
}

TEST(MeanStandardError, HandComputedValues) {
    struct Case {
        std::vector<double> data;
        std::optional<std::vector<std::uint64_t>> clusters;
        double mean, sd, se;
        std::uint64_t n_clusters;
    };
    const std::vector<double> one_to_six{1, 2, 3, 4, 5, 6};
    const Case cases[] = {
        {{1, 2, 3, 4}, std::nullopt, 2.5, std::sqrt(5.0 / 3), std::sqrt(5.0 / 3) / 2, 4},
        // Residual totals -2 and 2: sqrt(2 / 1 * 8) / 4.
        {{1, 2, 3, 4}, std::vector<std::uint64_t>{0, 0, 1, 1}, 2.5, std::sqrt(5.0 / 3), 1.0, 2},
        // -1 and 1: sqrt(2 * 2) / 4.
        {{1, 2, 3, 4}, std::vector<std::uint64_t>{0, 1, 0, 1}, 2.5, std::sqrt(5.0 / 3), 0.5, 2},
        // -2, 0 and 2: sqrt(3 / 2 * 8) / 6.
        {one_to_six, std::vector<std::uint64_t>{0, 1, 2, 0, 1, 2}, 3.5, std::sqrt(3.5), std::sqrt(12.0) / 6, 3},
        // Unequal sizes 1, 4 and 1: 1.5, -4 and 2.5, so sqrt(3 / 2 * 24.5) / 6.
        {one_to_six, std::vector<std::uint64_t>{1, 1, 1, 1, 0, 2}, 3.5, std::sqrt(3.5), std::sqrt(36.75) / 6, 3},
    };
    for (const Case& c : cases) {
        const auto out = c.clusters ? mean_standard_error(c.data, *c.clusters) : mean_standard_error(c.data);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(bits(out->mean), bits(c.mean));
        EXPECT_EQ(bits(out->standard_deviation), bits(c.sd));
        EXPECT_EQ(bits(out->standard_error), bits(c.se)) << out->standard_error << " vs " << c.se;
        EXPECT_EQ(out->n_items, c.data.size());
        EXPECT_EQ(out->n_clusters, c.n_clusters);
    }
}

TEST(ClusterBootstrap, ErrorsInOrder) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    using Codes = std::vector<std::uint64_t>;
    struct Case {
        std::vector<double> data;
        Codes clusters;
        double level;
        std::uint64_t n_resamples;
        Error bootstrap;  // and the standard error's, with the same clusters
        std::optional<Error> standard_error;
        const char* text;
    };
    const Case cases[] = {
        {{}, {0}, 2.0, 0, Error::EmptyValues, Error::EmptyValues, "values must not be empty"},
        {{1, 2}, {0}, 2.0, 0, Error::ClusterLengthMismatch, Error::ClusterLengthMismatch,
         "clusters must hold one code per value"},
        {{1, 2}, {0, 2}, 2.0, 0, Error::InvalidClusterCodes, Error::InvalidClusterCodes,
         "clusters must be codes 0 .. k-1, each used at least once"},
        {{1, 2, 3}, {0, 2, 0}, 2.0, 0, Error::InvalidClusterCodes, Error::InvalidClusterCodes,
         "clusters must be codes 0 .. k-1, each used at least once"},
        {{1, 2}, {0, std::numeric_limits<std::uint64_t>::max()}, 0.5, 1, Error::InvalidClusterCodes,
         Error::InvalidClusterCodes, "clusters must be codes 0 .. k-1, each used at least once"},
        {{1}, {0}, 2.0, 0, Error::TooFewClusters, Error::TooFewValues, "values must hold at least 2 items"},
        {{1, 2}, {0, 0}, 2.0, 0, Error::TooFewClusters, Error::TooFewClusters,
         "clusters must hold at least 2 distinct codes"},
        {{1, 2}, {1, 0}, nan, 0, Error::InvalidConfidenceLevel, std::nullopt, "confidence_level must be in (0.0, 1.0)"},
        {{1, 2}, {1, 0}, 1.0, 0, Error::InvalidConfidenceLevel, std::nullopt, "confidence_level must be in (0.0, 1.0)"},
        {{1, 2}, {1, 0}, 0.0, 0, Error::InvalidConfidenceLevel, std::nullopt, "confidence_level must be in (0.0, 1.0)"},
        {{1, 2}, {1, 0}, 0.5, 0, Error::InvalidResampleCount, std::nullopt, "n_resamples must be >= 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto bootstrap = cluster_bootstrap_mean(c.data, c.clusters, c.n_resamples, c.level, 1);
        ASSERT_FALSE(bootstrap.has_value());
        EXPECT_EQ(bootstrap.error(), c.bootstrap);
        const auto standard_error = mean_standard_error(c.data, c.clusters);
        EXPECT_EQ(standard_error.has_value(), !c.standard_error.has_value());
        if (c.standard_error) {
            EXPECT_EQ(standard_error.error(), *c.standard_error);
            EXPECT_EQ(display_text(*c.standard_error), c.text);
        } else {
            EXPECT_EQ(display_text(c.bootstrap), c.text);
        }
    }
    EXPECT_EQ(mean_standard_error(std::vector<double>{}).error(), Error::EmptyValues);
    EXPECT_EQ(mean_standard_error(std::vector<double>{1}).error(), Error::TooFewValues);
}

}  // namespace
