#include "core/sign_flip.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tests/core/sign_flip_reference.hpp"

namespace {

using namespace mirabund_core::sign_flip;
using Error = SignFlipError;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

TEST(SignFlip, ErrorsInOrder) {
    struct Case {
        std::vector<double> totals, sizes;
        std::uint64_t n_resamples;
        double level;
        Error error;
        const char* text;
    };
    // Each case also breaks every later check.
    const Case cases[] = {
        {{}, {0}, 0, 2.0, Error::EmptyTotals, "totals must not be empty"},
        {{nan, 2}, {1}, 0, 2.0, Error::SizeLengthMismatch, "sizes must hold one size per total"},
        {{nan, 2}, {1, 0}, 0, 2.0, Error::InvalidSizes, "sizes must be positive whole numbers"},
        {{nan, 2}, {1, 0.5}, 0, 2.0, Error::InvalidSizes, "sizes must be positive whole numbers"},
        {{nan, 2}, {-1, 1}, 0, 2.0, Error::InvalidSizes, "sizes must be positive whole numbers"},
        {{nan, 2}, {nan, 1}, 0, 2.0, Error::InvalidSizes, "sizes must be positive whole numbers"},
        {{nan, 2}, {1, inf}, 0, 2.0, Error::InvalidSizes, "sizes must be positive whole numbers"},
        {{nan, 2}, {1, 0x1p53 + 2}, 0, 2.0, Error::InvalidSizes, "sizes must be positive whole numbers"},
        {{nan, 2}, {1, 0x1p53}, 0, 2.0, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {{nan, 2}, {1, 1}, 0, nan, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {{nan, 2}, {1, 1}, 0, 0.0, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        {{nan, 2}, {1, 1}, 0, 1.0, Error::InvalidConfidenceLevel, "confidence_level must be in (0.0, 1.0)"},
        // Refused even where every pattern is enumerated and none drawn.
        {{nan, 2}, {1, 1}, 0, 0.5, Error::InvalidResampleCount, "n_resamples must be >= 1"},
        {{1e308, 1e308, nan}, {1, 1, 1}, 1, 0.5, Error::NonFiniteTotals, "totals must be finite"},
        {{1e308, 1e308, -inf}, {1, 1, 1}, 1, 0.5, Error::NonFiniteTotals, "totals must be finite"},
        // A flip's sum would overflow though the observed one does not.
        {{1e308, -1e308}, {1, 1}, 1, 0.5, Error::TotalsTooLarge,
         "totals are too large: a sum of them with flipped signs overflows a float"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto out = sign_flip_test(c.totals, c.sizes, c.n_resamples, c.level, 1);
        ASSERT_FALSE(out.has_value());
        EXPECT_EQ(out.error(), c.error);
        EXPECT_EQ(display_text(c.error), c.text);
    }
    // More drawn patterns than memory can hold is a failed allocation, as
    // for every resampling operation, not a length error.
    const std::vector<double> many(17, 1.5);
    const std::vector<double> ones(17, 1.0);
    EXPECT_THROW((void)sign_flip_test(many, ones, std::numeric_limits<std::uint64_t>::max(), 0.9, 1),
                 std::bad_alloc);
}

TEST(BinomialHalfCdf, ExactThroughSixtyTwoTrialsCloseBeyond) {
    // Pascal's rows in whole numbers: every tail below 2^62, rounded once.
    std::vector<std::uint64_t> row{1};
    for (std::uint64_t m = 1; m <= 62; ++m) {
        std::vector<std::uint64_t> next(m + 1, 1);
        for (std::uint64_t i = 1; i < m; ++i) next[i] = row[i - 1] + row[i];
        row = next;
        std::uint64_t tail = 0;
        for (std::uint64_t k = 0; k <= m; ++k) {
            tail += row[k];
            ASSERT_EQ(bits(binomial_half_cdf(k, m)), bits(std::ldexp(static_cast<double>(tail), -static_cast<int>(m))))
                << "k " << k << " m " << m;
        }
    }
    // Past 62 trials, against the exact fractions rounded to doubles: the sum
    // of logarithms loses about m ulps.
    struct Known {
        std::uint64_t k, m;
        double p;
    };
    const Known known[] = {
        {0, 63, 1.0842021724855044e-19},
        {20, 63, 0.0025761985210460314},
        {31, 63, 0.5},
        {450, 1000, 0.0008652680424881588},
        {4900, 10000, 0.023292763852473693},
    };
    for (const Known& c : known) EXPECT_NEAR(binomial_half_cdf(c.k, c.m), c.p, 1e-10 * c.p) << c.k << " " << c.m;
}

// Totals of several magnitudes (so the p-value is the flips' own), sizes 1
// to 4.
void random_units(std::mt19937_64& rng, std::size_t g, std::vector<double>& totals, std::vector<double>& sizes) {
    totals.resize(g);
    sizes.resize(g);
    for (std::size_t u = 0; u < g; ++u) {
        sizes[u] = static_cast<double>(1 + rng() % 4);
        totals[u] = (static_cast<double>(rng() % 2001) - 700.0) / 97.0 * sizes[u];
    }
    totals[0] = 1.25;
    totals[1 % g] = -3.5;
}

TEST(SignFlip, PValueAndBoundsAreThoseOfTheLiteralFlips) {
    std::mt19937_64 rng(20250611);
    constexpr std::uint64_t n_resamples = 257;
    struct Units {
        std::vector<double> totals, sizes;
    };
    std::vector<Units> cases;
    // Both sides of the enumeration boundary, and of a second sign word.
    for (const std::size_t g : {2, 3, 7, 16, 17, 64, 65, 100}) {
        Units units;
        random_units(rng, g, units.totals, units.sizes);
        cases.push_back(units);
    }
    // |D - m N| overflows already at the first step out of the centre:
    // infinite statistics must not all tie there.
    cases.push_back({{-1.7e308, 3e-304, 0.0, -2.3e305, -0.0625, -0.0625}, {4, 4, 3, 4, 4, 4}});
    for (const Units& units : cases) {
        const std::size_t g = units.totals.size();
        const std::uint64_t seed = rng();
        const reference::LiteralFlips flips = reference::literal_flips(units.totals, units.sizes, n_resamples, seed);
        const double p = reference::literal_p_value(flips, 0.0);
        double previous_lower = inf;
        double previous_upper = -inf;
        for (const double level : {0.5, 0.8, 0.95}) {
            SCOPED_TRACE(::testing::Message() << "G " << g << " total " << units.totals[0] << " level " << level);
            const auto out = sign_flip_test(units.totals, units.sizes, n_resamples, level, seed);
            ASSERT_TRUE(out.has_value());
            EXPECT_EQ(out->enumerated, g <= enumerated_units);
            EXPECT_EQ(out->n_flips, g <= enumerated_units ? std::uint64_t{1} << g : n_resamples);
            EXPECT_FALSE(out->binomial);
            EXPECT_EQ(bits(out->p_value), bits(p));
            EXPECT_EQ(out->confidence_level, level);

            // Each bound the last accepted value before a rejected one, and
            // finite once the patterns flipping all or none fall below alpha.
            const double alpha = 1.0 - level;
            ASSERT_LE(out->ci_lower, out->ci_upper);
            if (g <= enumerated_units && std::ldexp(2.0, -static_cast<int>(g)) < alpha) {
                EXPECT_TRUE(std::isfinite(out->ci_lower) && std::isfinite(out->ci_upper));
            }
            for (const auto& [bound, outward_limit] : {std::pair{out->ci_lower, -inf}, std::pair{out->ci_upper, inf}}) {
                if (std::isinf(bound)) continue;
                const double outward = std::nextafter(bound, outward_limit);
                EXPECT_GE(reference::literal_p_value(flips, bound), alpha) << bound;
                EXPECT_LT(reference::literal_p_value(flips, outward), alpha) << outward;
            }
            EXPECT_EQ(out->ci_lower <= 0.0 && 0.0 <= out->ci_upper, p >= alpha);
            // A higher level only widens the interval.
            EXPECT_LE(out->ci_lower, previous_lower);
            EXPECT_GE(out->ci_upper, previous_upper);
            previous_lower = out->ci_lower;
            previous_upper = out->ci_upper;
        }
    }
}

TEST(SignFlip, McNemarTailIsTheEnumeratedShareToTheBit) {
    // b wins, c losses and one tie; the p-value 2 * P(X <= min(b, c)) in
    // whole numbers, and at the level whose alpha is exactly that p-value,
    // 0 must still be inside.
    for (std::uint64_t b = 0; b <= 7; ++b) {
        for (std::uint64_t c = 0; c <= 7; ++c) {
            SCOPED_TRACE(::testing::Message() << "b " << b << " c " << c);
            std::vector<double> totals(b, 1.0);
            totals.insert(totals.end(), c, -1.0);
            totals.push_back(0.0);
            const std::vector<double> sizes(totals.size(), 1.0);
            const double expected = reference::exact_binomial_p_value(b, c);
            const double level = expected < 1.0 ? 1.0 - expected : 0.5;
            ASSERT_EQ(1.0 - level, expected < 1.0 ? expected : 0.5);

            const auto out = sign_flip_test(totals, sizes, 1, level, 3);
            ASSERT_TRUE(out.has_value());
            EXPECT_TRUE(out->binomial);
            EXPECT_EQ(bits(out->p_value), bits(expected));
            const reference::LiteralFlips flips = reference::literal_flips(totals, sizes, 1, 3);
            EXPECT_EQ(bits(out->p_value), bits(reference::literal_p_value(flips, 0.0)));
            if (expected < 1.0) {
                EXPECT_TRUE(out->ci_lower <= 0.0 && 0.0 <= out->ci_upper);
            }
        }
    }
    // Past the enumeration the tail is still exact: 25 nonzero pairs, 5 the
    // fewer sign, as many ties.
    std::vector<double> totals(20, 0.5);
    totals.insert(totals.end(), 5, -0.5);
    totals.insert(totals.end(), 25, -0.0);
    const std::vector<double> sizes(totals.size(), 1.0);
    const auto out = sign_flip_test(totals, sizes, 99, 0.95, 3);
    ASSERT_TRUE(out.has_value());
    EXPECT_TRUE(out->binomial);
    EXPECT_FALSE(out->enumerated);
    EXPECT_EQ(out->p_value, 2.0 * (1 + 25 + 300 + 2300 + 12650 + 53130) / 33554432.0);
}

TEST(SignFlip, DegenerateUnits) {
    struct Case {
        const char* name;
        std::vector<double> totals, sizes;
        double level;
        double p, lower, upper;
    };
    const std::vector<double> ones(8, 1.0);
    const Case cases[] = {
        // One unit: both patterns tie the observed at every m.
        {"one unit", {2.5}, {3}, 0.5, 1.0, -inf, inf},
        // 2 / 2^5 >= 0.05: nothing is ever rejected; at 0.1 the far side is.
        {"five units at 0.95", {1, 2, 3, 4, 6}, {1, 1, 1, 1, 1}, 0.95, 0.0625, -inf, inf},
        {"all zero", {0, 0, -0.0, 0, 0, 0, 0, 0}, ones, 0.95, 1.0, 0.0, 0.0},
        {"negative zeros", std::vector<double>(8, -0.0), ones, 0.95, 1.0, -0.0, -0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = sign_flip_test(c.totals, c.sizes, 1, c.level, 1);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(bits(out->p_value), bits(c.p));
        EXPECT_EQ(bits(out->ci_lower), bits(c.lower));
        EXPECT_EQ(bits(out->ci_upper), bits(c.upper));
    }
    const std::vector<double> five{1, 2, 3, 4, 6};
    const auto at_90 = sign_flip_test(five, std::vector<double>(5, 1.0), 1, 0.9, 1);
    ASSERT_TRUE(at_90.has_value());
    EXPECT_TRUE(std::isfinite(at_90->ci_lower) && std::isfinite(at_90->ci_upper));

    // Equal unit means: every flip ties the observed at D / N, so the
    // interval is that point whether or not rounding rejects it there.
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        const std::size_t g = 6 + rng() % 20;
        const double mean = static_cast<double>(rng() % 1000) / 997.0;
        std::vector<double> totals(g), sizes(g);
        for (std::size_t u = 0; u < g; ++u) {
            sizes[u] = static_cast<double>(1 + rng() % 5);
            totals[u] = mean * sizes[u];
        }
        const auto out = sign_flip_test(totals, sizes, 99, 0.95, rng());
        ASSERT_TRUE(out.has_value());
        EXPECT_NEAR(out->ci_lower, mean, 1e-15);
        EXPECT_NEAR(out->ci_upper, mean, 1e-15);
    }
}

}  // namespace
