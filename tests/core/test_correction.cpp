#include "core/correction.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

using mirabund_core::correction::correct_p_values;
using mirabund_core::correction::CorrectionError;
using mirabund_core::correction::CorrectionMethod;
using mirabund_core::correction::display_text;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr CorrectionMethod kMethods[] = {CorrectionMethod::Bonferroni,
                                         CorrectionMethod::BenjaminiHochberg};

// Bit patterns, so that the sign of a zero counts too.
std::vector<std::uint64_t> bits_of(const std::vector<double>& values) {
    std::vector<std::uint64_t> bits;
    for (double v : values) bits.push_back(std::bit_cast<std::uint64_t>(v));
    return bits;
}

struct Expected {
    std::vector<double> p_values;
    double alpha;
    CorrectionMethod method;
    std::vector<double> adjusted;
    std::vector<bool> rejected;
};

TEST(CorrectPValues, KnownFamiliesToTheLastBit) {
    const Expected cases[] = {
        {{0.01, 0.04, 0.03, 0.005}, 0.05, CorrectionMethod::Bonferroni,
         {0.04, 0.16, 0.12, 0.02}, {true, false, false, true}},
        {{0.01, 0.04, 0.03, 0.005}, 0.05, CorrectionMethod::BenjaminiHochberg,
         {0.02, 0.04, 0.04, 0.02}, {true, true, true, true}},
        // The third raw ratio, (0.03 * 5) / 3, rounds below 0.05 and the
        // step-up carries it down to the first two; 0.05 <= alpha rejects.
        {{0.01, 0.02, 0.03, 0.04, 0.05}, 0.05, CorrectionMethod::BenjaminiHochberg,
         {0.049999999999999996, 0.049999999999999996, 0.049999999999999996, 0.05, 0.05},
         {true, true, true, true, true}},
        {{0.3, 0.6, 0.9}, 0.05, CorrectionMethod::Bonferroni,
         {0.8999999999999999, 1.0, 1.0}, {false, false, false}},
        // Bounds of the range are valid p-values; -0.0 keeps its sign.
        {{0.0, 1.0, -0.0}, 0.5, CorrectionMethod::Bonferroni, {0.0, 1.0, -0.0},
         {true, false, true}},
        {{0.0, 1.0, -0.0}, 0.5, CorrectionMethod::BenjaminiHochberg, {0.0, 1.0, -0.0},
         {true, false, true}},
    };
    for (const Expected& c : cases) {
        const auto result = correct_p_values(c.p_values, c.alpha, c.method);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(bits_of(result->adjusted_p_values), bits_of(c.adjusted));
        EXPECT_EQ(result->rejected, c.rejected);
        EXPECT_EQ(result->alpha, c.alpha);
        EXPECT_EQ(result->method, c.method);
    }
}

TEST(CorrectPValues, SingleValueIsUnchanged) {
    for (CorrectionMethod method : kMethods) {
        for (double p : {0.0, 0.03, 0.5, 1.0}) {
            const std::vector<double> one{p};
            const auto result = correct_p_values(one, 0.05, method);
            ASSERT_TRUE(result.has_value());
            EXPECT_EQ(result->adjusted_p_values, one);
            EXPECT_EQ(result->rejected, std::vector<bool>{p <= 0.05});
        }
    }
}

TEST(CorrectPValues, FirstFailedCheckWins) {
    struct Case {
        std::vector<double> p_values;
        double alpha;
        CorrectionError error;
    };
    const Case cases[] = {
        {{}, 0.05, CorrectionError::EmptyPValues},
        {{}, 2.0, CorrectionError::EmptyPValues},
        {{0.1}, 0.0, CorrectionError::InvalidAlpha},
        {{0.1}, 1.0, CorrectionError::InvalidAlpha},
        {{0.1}, kNaN, CorrectionError::InvalidAlpha},
        {{2.0, kNaN}, -1.0, CorrectionError::InvalidAlpha},
        {{0.1, kNaN}, 0.05, CorrectionError::PValueOutOfRange},
        {{0.1, std::nextafter(0.0, -1.0)}, 0.05, CorrectionError::PValueOutOfRange},
        {{std::nextafter(1.0, 2.0)}, 0.05, CorrectionError::PValueOutOfRange},
        {{0.1, 0.2, std::numeric_limits<double>::infinity()}, 0.05,
         CorrectionError::PValueOutOfRange},
    };
    for (CorrectionMethod method : kMethods) {
        for (const Case& c : cases) {
            const auto result = correct_p_values(c.p_values, c.alpha, method);
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        }
    }
}

TEST(CorrectPValues, DisplayTexts) {
    EXPECT_EQ(display_text(CorrectionError::EmptyPValues), "p_values must not be empty");
    EXPECT_EQ(display_text(CorrectionError::InvalidAlpha), "alpha must be in (0.0, 1.0)");
    EXPECT_EQ(display_text(CorrectionError::PValueOutOfRange),
              "all p-values must be in [0.0, 1.0]");
}

// Ranking by a plain comparison sort: each adjusted value is the smallest
// capped ratio at its rank or above, tied p-values ranked in input order.
std::vector<double> reference_benjamini_hochberg(const std::vector<double>& p) {
    const std::size_t m = p.size();
    std::vector<std::size_t> order(m);
    for (std::size_t i = 0; i < m; ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return p[a] < p[b]; });
    std::vector<double> adjusted(m);
    double following = 1.0;
    for (std::size_t k = m; k >= 1; --k) {
        const double q = (p[order[k - 1]] * static_cast<double>(m)) / static_cast<double>(k);
        // Replaced only by a strictly smaller follower: a 0.0 stays 0.0 ahead of -0.0.
        following = std::min(q < 1.0 ? q : 1.0, following);
        adjusted[order[k - 1]] = following;
    }
    return adjusted;
}

template <class ValueAt>
std::vector<double> family(std::size_t m, ValueAt value_at) {
    std::vector<double> p(m);
    for (std::size_t i = 0; i < m; ++i) p[i] = value_at(i);
    return p;
}

// Families that stress the ranking: heavy ties, signed zeros, values crowded
// near zero, a spread of subnormals, reversed input, and a large mixed family.
TEST(CorrectPValues, BenjaminiHochbergRanksLikeAStableSort) {
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    const auto uniform = [&state] {
        state = state * 6364136223846793005u + 1442695040888963407u;
        return static_cast<double>(state >> 11) * 0x1.0p-53;
    };
    const std::vector<double> families[] = {
        family(257, [](std::size_t i) { return static_cast<double>((i * 37) % 23) / 40.0; }),
        family(400, [](std::size_t i) {
            constexpr double values[] = {0.0, -0.0, 0.5, 1.0, 0.5};
            return values[(i * 7) % 5];
        }),
        family(500, [](std::size_t i) {
            return i == 250 ? 1.0 : static_cast<double>((i * 101) % 997) * 1e-12;
        }),
        family(300, [](std::size_t i) { return static_cast<double>(300 - i) / 3000.0; }),
        family(50, [](std::size_t) { return 0.3; }),
        // A spread of a few subnormals: the bucket factor overflows.
        family(64, [](std::size_t i) { return static_cast<double>((i * 5) % 3) * 5e-324; }),
        family(100000, [&](std::size_t i) {
            const double u = uniform();
            return i % 3 == 0 ? u * 1e-9 : (i % 7 == 0 ? 0.25 : u);
        }),
    };
    for (const std::vector<double>& p : families) {
        SCOPED_TRACE(testing::Message() << "family of " << p.size());
        const auto result = correct_p_values(p, 0.1, CorrectionMethod::BenjaminiHochberg);
        ASSERT_TRUE(result.has_value());
        const std::vector<double> expected = reference_benjamini_hochberg(p);
        ASSERT_EQ(bits_of(result->adjusted_p_values), bits_of(expected));
        for (std::size_t i = 0; i < p.size(); ++i) {
            ASSERT_EQ(result->rejected[i], expected[i] <= 0.1);
        }
    }
}

}  // namespace
