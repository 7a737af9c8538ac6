#include "core/studentized_bootstrap.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "core/random.hpp"
#include "tests/core/studentized_reference.hpp"

namespace {

using namespace mirabund_core::studentized_bootstrap;
using mirabund_core::random::RandomSource;
using Error = StudentizedBootstrapError;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double largest = std::numeric_limits<double>::max();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(StudentizedBootstrap, ErrorsInOrder) {
    struct Case {
        std::vector<double> values;
        std::uint64_t n_resamples;
        double level;
        Error error;
        const char* text;
    };
    const char* const overflow = "values are too large: their sum or a resample's sum of squares overflows a float";
    // Each case also breaks every later check it can.
    const Case cases[] = {
        {{}, 0, 2.0, Error::TooFewValues, "values must hold at least 2 items"},
        {{nan}, 0, 2.0, Error::TooFewValues, "values must hold at least 2 items"},
        {{nan, 1}, 0, nan, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {{nan, 1}, 0, 0.0, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {{nan, 1}, 0, 1.0, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {{nan, 1}, 0, 0.5, Error::InvalidResampleCount, "n_resamples must be >= 1"},
        // Not "values must not all be equal", as a NaN standard error said.
        {{2, nan}, 1, 0.5, Error::NonFiniteValues, "values must be finite"},
        {{inf, inf}, 1, 0.5, Error::NonFiniteValues, "values must be finite"},
        {{1, -inf}, 1, 0.5, Error::NonFiniteValues, "values must be finite"},
        {{2, 2, 2}, 1, 0.5, Error::ZeroStandardError, "values must not all be equal: their standard error is 0"},
        // Equal however large, even where their sum overflows.
        {{largest, largest}, 1, 0.5, Error::ZeroStandardError, "values must not all be equal: their standard error is 0"},
        // Deviations whose squares underflow.
        {{0, 1e-200}, 1, 0.5, Error::ZeroStandardError, "values must not all be equal: their standard error is 0"},
        {{largest, largest / 2}, 1, 0.5, Error::Overflow, overflow},
        // The data's squares sum to a float; n times the largest does not.
        {{1.3e154, 0, 0, 0}, 1, 0.5, Error::Overflow, overflow},
        {{1e200, -1e200}, 1, 0.5, Error::Overflow, overflow},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto out = studentized_bootstrap_mean(c.values, c.n_resamples, c.level, 1);
        ASSERT_FALSE(out.has_value());
        EXPECT_EQ(out.error(), c.error);
        EXPECT_EQ(display_text(c.error), c.text);
    }
}

TEST(StudentizedBootstrap, HandComputedResamples) {
    // Values 1, 3, 5 (mean 3) and -2, 0, 2 (mean 0) have the same deviations
    // -2, 0, 2, squares 4, 0, 4 and standard error sqrt(8 / 2) / sqrt(3).
    // Seed 89 draws five resamples of three.
    const std::vector<std::uint64_t> draws{1, 2, 1, 1, 1, 0, 2, 2, 2, 1, 1, 1, 0, 1, 2};
    RandomSource stream = RandomSource::seed_from_u64(89);
    for (std::uint64_t expected : draws) ASSERT_EQ(stream.gen_range(0, 2), expected);

    const double se = std::sqrt(8.0 / 2.0) / std::sqrt(3.0);
    const double root_3 = std::sqrt(3.0);
    // {0, 2, 0}: A 2, B 4. {0, 0, -2}: A -2, B 4, its mirror. {2, 2, 2}: no
    // spread, +inf. {0, 0, 0}: 0. {-2, 0, 2}: A 0, B 8, so 0.
    const double a = 2.0 / 3.0;
    const double one = a / (std::sqrt((4.0 - 3.0 * (a * a)) / 2.0) / root_3);
    const double minus_one = -a / (std::sqrt((4.0 - 3.0 * (-a * -a)) / 2.0) / root_3);
    ASSERT_EQ(minus_one, -one);
    struct Case {
        std::vector<double> values;
        double mean, level;
        std::uint64_t at_least, at_most;
        double p_value;
        double lower, upper;
    };
    // Mean 3: t = 3 / se beats all but +inf. Mean 0: t = 0 ties both zeros,
    // counted on both sides. j = 2 at alpha 0.8 takes t*(4) and t*(2); j = 1
    // at alpha 0.5 takes t*(5) and t*(1).
    const Case cases[] = {
        {{1, 3, 5}, 3.0, 0.2, 1, 4, 2.0 * 2.0 / 6.0, 3.0 - one * se, 3.0 - 0.0 * se},
        {{1, 3, 5}, 3.0, 0.5, 1, 4, 2.0 * 2.0 / 6.0, -inf, 3.0 - minus_one * se},
        {{-2, 0, 2}, 0.0, 0.2, 4, 3, 1.0, 0.0 - one * se, 0.0 - 0.0 * se},
        {{-2, 0, 2}, 0.0, 0.5, 4, 3, 1.0, -inf, 0.0 - minus_one * se},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "mean " << c.mean << " level " << c.level);
        const auto out = studentized_bootstrap_mean(c.values, 5, c.level, 89);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(bits(out->mean), bits(c.mean));
        EXPECT_EQ(bits(out->standard_error), bits(se));
        EXPECT_EQ(out->count_at_least, c.at_least);
        EXPECT_EQ(out->count_at_most, c.at_most);
        EXPECT_EQ(bits(out->p_value), bits(c.p_value));
        EXPECT_EQ(bits(out->ci_lower), bits(c.lower));
        EXPECT_EQ(bits(out->ci_upper), bits(c.upper));
        EXPECT_EQ(out->n_resamples, 5u);
        EXPECT_EQ(out->confidence_level, c.level);
    }
}

TEST(StudentizedBootstrap, BatchedResamplesMatchTheLiteralOrder) {
    std::mt19937_64 rng(20250612);
    constexpr double scales[] = {1e-100, 1e-3, 1.0, 1e5, 1e100};
    // Sizes on both sides of each narrowing of the resample groups (4 up to
    // 16384 items, then 2, then 1); resample counts for every remainder.
    for (const std::size_t n : {2, 3, 100, 16384, 16385, 32768, 32769}) {
        std::vector<double> values(n);
        const double scale = scales[rng() % 5];
        for (double& x : values) x = (static_cast<double>(rng() % 20001) - 9000.0) * scale;
        for (const std::uint64_t n_resamples : {1, 2, 3, 5, 7}) {
            SCOPED_TRACE(::testing::Message() << "n " << n << " resamples " << n_resamples);
            const std::uint64_t seed = rng();
            const reference::Literal literal = reference::literal(values, n_resamples, 0.6, seed);
            const auto out = studentized_bootstrap_mean(values, n_resamples, 0.6, seed);
            ASSERT_TRUE(out.has_value());
            EXPECT_EQ(bits(out->mean), bits(literal.mean));
            EXPECT_EQ(bits(out->standard_error), bits(literal.standard_error));
            EXPECT_EQ(out->count_at_least, literal.count_at_least);
            EXPECT_EQ(out->count_at_most, literal.count_at_most);
            EXPECT_EQ(bits(out->p_value), bits(literal.p_value));
            EXPECT_EQ(out->ci_lower, literal.ci_lower);
            EXPECT_EQ(out->ci_upper, literal.ci_upper);
        }
    }
}

TEST(StudentizedBootstrap, IntervalHoldsTheNullMeansWhosePValueReachesAlpha) {
    std::mt19937_64 rng(20250613);
    std::exponential_distribution<double> skewed(1.0);
    for (const std::size_t n : {5, 12, 40}) {
        for (const std::uint64_t n_resamples : {199, 200}) {
            std::vector<double> values(n);
            for (double& x : values) x = skewed(rng) - 0.8;
            const std::uint64_t seed = rng();
            double previous_lower = inf;
            double previous_upper = -inf;
            for (const double level : {0.6, 0.8, 0.95}) {
                SCOPED_TRACE(::testing::Message() << "n " << n << " resamples " << n_resamples << " level " << level);
                const auto out = studentized_bootstrap_mean(values, n_resamples, level, seed);
                ASSERT_TRUE(out.has_value());
                const double alpha = 1.0 - level;
                EXPECT_EQ(out->ci_lower <= 0.0 && 0.0 <= out->ci_upper, out->p_value >= alpha);
                EXPECT_LE(out->ci_lower, previous_lower);
                EXPECT_GE(out->ci_upper, previous_upper);
                previous_lower = out->ci_lower;
                previous_upper = out->ci_upper;

                // Null means just inside and outside each bound, and spread
                // across and around the interval, tested as values - m; the
                // margin keeps the rounding of t * se against mean - m apart.
                const double width = out->ci_upper - out->ci_lower;
                const double margin = 1e-7 * width;
                std::vector<double> nulls{out->ci_lower + margin, out->ci_lower - margin, out->ci_upper - margin,
                                          out->ci_upper + margin};
                for (int k = 0; k < 12; ++k)
                    nulls.push_back(out->ci_lower - width + 3.0 * width * static_cast<double>(rng() % 1000) / 999.0);
                for (const double m : nulls) {
                    if (std::abs(m - out->ci_lower) < margin / 2 || std::abs(m - out->ci_upper) < margin / 2) continue;
                    std::vector<double> shifted = values;
                    for (double& x : shifted) x -= m;
                    const auto at_m = studentized_bootstrap_mean(shifted, n_resamples, level, seed);
                    ASSERT_TRUE(at_m.has_value());
                    EXPECT_EQ(out->ci_lower <= m && m <= out->ci_upper, at_m->p_value >= alpha) << "m " << m;
                }
            }
        }
    }
}

TEST(StudentizedBootstrap, TooFewResamplesForTheLevelGiveAnUnboundedInterval) {
    // 1 - 0.95 rounds above 0.05: 2 / 39 reaches it, 2 / 40 does not.
    const std::vector<double> values{0.3, 1.9, -0.4, 2.2, 0.8};
    struct Case {
        std::uint64_t n_resamples;
        bool bounded;
    };
    for (const Case c : {Case{38, false}, Case{39, true}}) {
        const auto out = studentized_bootstrap_mean(values, c.n_resamples, 0.95, 5);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(std::isfinite(out->ci_lower), c.bounded) << c.n_resamples;
        EXPECT_EQ(std::isfinite(out->ci_upper), c.bounded) << c.n_resamples;
    }
}

}  // namespace
