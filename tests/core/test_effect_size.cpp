#include "core/effect_size.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

namespace es = mirabund_core::effect_size;
using es::EffectMagnitude;
using es::EffectSizeError;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Bit equality: tells -0.0 from 0.0 and one ulp from the next.
::testing::AssertionResult SameBits(double expected, double actual) {
    if (std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << std::hexfloat << "expected " << expected << ", got " << actual;
}

struct ExactCase {
    const char* why;
    std::vector<double> baseline;
    std::vector<double> treatment;
    double d;
    double g;
    EffectMagnitude magnitude;
};

class CohensDExact : public ::testing::TestWithParam<ExactCase> {};

TEST_P(CohensDExact, MatchesToTheLastBit) {
    const ExactCase& c = GetParam();
    const auto result = es::cohens_d(c.baseline, c.treatment);
    ASSERT_TRUE(result.has_value()) << c.why;
    EXPECT_TRUE(SameBits(c.d, result->cohens_d)) << c.why;
    EXPECT_TRUE(SameBits(c.g, result->hedges_g)) << c.why;
    EXPECT_EQ(result->magnitude, c.magnitude) << c.why;
    EXPECT_EQ(result->n_baseline, c.baseline.size());
    EXPECT_EQ(result->n_treatment, c.treatment.size());
}

// Each case pins one rule of the computation; the value a plausible other
// order would give is noted where it differs.
INSTANTIATE_TEST_SUITE_P(
    EffectSize, CohensDExact,
    ::testing::Values(
        ExactCase{"J = 1 - 3/15 with d exactly 1", {1, 2, 3}, {2, 3, 4}, 1.0, 0.8, EffectMagnitude::Large},
        ExactCase{"sign follows treatment minus baseline; bucket from |d|",
                  {2, 3, 4}, {1, 2, 3}, -1.0, -0.8, EffectMagnitude::Large},
        // Reversed summation (or sum * (1/n)) gives d = 0x1.70ef6d9ddaf94p-1.
        ExactCase{"sums run first to last and are divided by n",
                  {0.1, 0.2, 0.3}, {0.0, 1.0}, 0x1.70ef6d9ddaf92p-1, 0x1.0c5109e72ae3cp-1,
                  EffectMagnitude::Medium},
        // Pooling the raw sums of squares gives d = 0x1.abd79130692f7p+0.
        ExactCase{"pooled variance uses (n - 1) * s2 products",
                  {0.6, 0.1, 0.3, 0.0}, {0.9, 0.5}, 0x1.abd79130692f9p+0, 0x1.56460dc054261p+0,
                  EffectMagnitude::Large},
        // (4 df - 4) / (4 df - 1) gives g = 0x1.6fc64f52edf8cp+1 at df 18.
        ExactCase{"J is 1 - 3 / (4 df - 1)",
                  {-1, 1}, std::vector<double>(18, 1.0), 3.0, 0x1.6fc64f52edf8dp+1, EffectMagnitude::Large},
        ExactCase{"sums start from negative zero", {1, -1}, {-0.0, -0.0}, -0.0, -0.0,
                  EffectMagnitude::Negligible}));

TEST(EffectSize, DocumentedApproximateValues) {
    struct Case {
        std::vector<double> baseline, treatment;
        double d, g;
        EffectMagnitude magnitude;
    };
    const Case cases[] = {
        {{0, 1, 2, 3}, {0.5, 1.5, 2.5, 3.5}, 0.387298, 0.336781, EffectMagnitude::Small},
        {{1, 2}, {3, 4}, 2.828427, 1.616244, EffectMagnitude::Large},
    };
    for (const Case& c : cases) {
        const auto r = es::cohens_d(c.baseline, c.treatment);
        ASSERT_TRUE(r.has_value());
        EXPECT_NEAR(r->cohens_d, c.d, 1e-6);
        EXPECT_NEAR(r->hedges_g, c.g, 1e-6);
        EXPECT_EQ(r->magnitude, c.magnitude);
    }
}

TEST(EffectSize, TooFewObservationsIsCheckedFirst) {
    const std::vector<std::vector<double>> short_ones = {{}, {7.0}};
    const std::vector<std::vector<double>> others = {{}, {7.0}, {1, 2}, {5, 5, 5}, {kNaN, 1}};
    for (const auto& s : short_ones) {
        for (const auto& o : others) {
            for (const bool short_first : {true, false}) {
                const auto r = short_first ? es::cohens_d(s, o) : es::cohens_d(o, s);
                ASSERT_FALSE(r.has_value());
                EXPECT_EQ(r.error(), EffectSizeError::InsufficientObservations);
            }
        }
    }
}

// x = 0x1.8e10d3a69204cp-40 makes the pooled deviation of {0, x} and {0, x}
// exactly 1e-12; the next double up makes it 1.0000000000000002e-12.
TEST(EffectSize, PooledDeviationThreshold) {
    const double at = 0x1.8e10d3a69204cp-40;
    const double above = std::nextafter(at, 1.0);
    const std::vector<double> a{0.0, at}, b{0.0, above};

    const auto zero = es::cohens_d(a, a);
    ASSERT_FALSE(zero.has_value());
    EXPECT_EQ(zero.error(), EffectSizeError::ZeroPooledStdDev);

    const auto ok = es::cohens_d(b, b);
    ASSERT_TRUE(ok.has_value());
    EXPECT_TRUE(SameBits(0.0, ok->cohens_d));
    EXPECT_EQ(ok->magnitude, EffectMagnitude::Negligible);

    const std::vector<double> one{1, 1, 1}, two{2, 2, 2};
    const auto constant = es::cohens_d(one, two);
    ASSERT_FALSE(constant.has_value());
    EXPECT_EQ(constant.error(), EffectSizeError::ZeroPooledStdDev);
}

TEST(EffectSize, NonFiniteValuesFlowThrough) {
    const std::vector<std::vector<double>> poisoned = {
        {kNaN, 1.0}, {1.0, 2.0, kNaN}, {kInf, 1.0}, {-kInf, 1.0}, {kInf, kInf}, {kNaN, kNaN},
    };
    const std::vector<double> plain{1.0, 2.0, 4.0};
    for (const auto& p : poisoned) {
        for (const bool in_baseline : {true, false}) {
            const auto r = in_baseline ? es::cohens_d(p, plain) : es::cohens_d(plain, p);
            ASSERT_TRUE(r.has_value()) << "a NaN spread is not a zero spread";
            EXPECT_TRUE(std::isnan(r->cohens_d));
            EXPECT_TRUE(std::isnan(r->hedges_g));
            EXPECT_EQ(r->magnitude, EffectMagnitude::Large);
        }
    }
    // Finite inputs can still overflow d: a spread just over the threshold
    // against a huge mean difference.
    const std::vector<double> tiny{0.0, 4e-12}, huge{1e300, 1e300};
    const auto r = es::cohens_d(tiny, huge);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->cohens_d, kInf);
    EXPECT_EQ(r->hedges_g, kInf);
    EXPECT_EQ(r->magnitude, EffectMagnitude::Large);
}

TEST(EffectSize, MagnitudeBoundsBelongToTheHigherBucket) {
    struct Case {
        double d;
        EffectMagnitude magnitude;
    };
    const Case cases[] = {
        {0.0, EffectMagnitude::Negligible},
        {-0.0, EffectMagnitude::Negligible},
        {std::nextafter(0.2, 0.0), EffectMagnitude::Negligible},
        {0.2, EffectMagnitude::Small},
        {std::nextafter(0.5, 0.0), EffectMagnitude::Small},
        {0.5, EffectMagnitude::Medium},
        {std::nextafter(0.8, 0.0), EffectMagnitude::Medium},
        {0.8, EffectMagnitude::Large},
        {kInf, EffectMagnitude::Large},
        {kNaN, EffectMagnitude::Large},
    };
    for (const Case& c : cases) {
        for (const double d : {c.d, -c.d}) {
            EXPECT_EQ(es::magnitude_of(d), c.magnitude) << std::hexfloat << d;
            // {-1, 1} against {d, d} has mean difference d and pooled
            // deviation exactly 1, so the operation sees d itself. Its g is
            // smaller (J = 4/7): the bucket must come from d.
            if (std::isfinite(d)) {
                const std::vector<double> baseline{-1.0, 1.0}, treatment{d, d};
                const auto r = es::cohens_d(baseline, treatment);
                ASSERT_TRUE(r.has_value());
                EXPECT_TRUE(SameBits(d, r->cohens_d));
                EXPECT_EQ(r->magnitude, c.magnitude) << std::hexfloat << d;
            }
        }
    }
}

TEST(EffectSize, UnequalSizesAndCounts) {
    const std::vector<double> baseline{1, 2}, treatment{1, 2, 3, 4, 5};
    const auto r = es::cohens_d(baseline, treatment);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->n_baseline, 2u);
    EXPECT_EQ(r->n_treatment, 5u);
}

TEST(EffectSize, DisplayTexts) {
    EXPECT_EQ(es::display_text(EffectSizeError::InsufficientObservations),
              std::string_view("each group must have at least 2 observations"));
    EXPECT_EQ(es::display_text(EffectSizeError::ZeroPooledStdDev),
              std::string_view("pooled standard deviation is zero - groups have no variance, "
                               "effect size is undefined"));
}

TEST(EffectSize, MagnitudeValuesAreDeclarationOrder) {
    EXPECT_EQ(static_cast<int>(EffectMagnitude::Negligible), 0);
    EXPECT_EQ(static_cast<int>(EffectMagnitude::Small), 1);
    EXPECT_EQ(static_cast<int>(EffectMagnitude::Medium), 2);
    EXPECT_EQ(static_cast<int>(EffectMagnitude::Large), 3);
}

}  // namespace
