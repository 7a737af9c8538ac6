#include "core/judge_calibration.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

using namespace mirabund_core::judge_calibration;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Fit {
    std::vector<double> scores;
    std::vector<double> lengths;
    double slope;
    double intercept;
    double correlation;
    std::vector<double> adjusted;
};

TEST(LengthBiasCorrection, KnownFitsToTheLastBit) {
    const Fit cases[] = {
        // 50 / (sqrt(5) * sqrt(500)) rounds just below 1.
        {{1, 2, 3, 4}, {10, 20, 30, 40}, 0.1, 0.0, 0.9999999999999999, {2.5, 2.5, 2.5, 2.5}},
        {{3, 1, 4, 1, 5},
         {100, 200, 300, 400, 500},
         0.004,
         1.5999999999999999,
         0.35355339059327373,
         {3.8, 1.4, 4.0, 0.5999999999999996, 4.2}},
        // Scores without spread are not an error: no correlation, flat fit.
        {{2, 2, 2}, {1, 2, 3}, 0.0, 2.0, 0.0, {2.0, 2.0, 2.0}},
        // Irregular data whose last bits move if the residual is formed in
        // another order, e.g. score - length * slope - intercept + mean.
        {{0.7, 0.2, 0.9, 0.4, 0.65},
         {120, 340, 95, 410, 260},
         -0.0017124664879356567,
         0.98955428954423585,
         -0.85680770444437238,
         {0.48594168900804291, 0.36268431635388737, 0.64313002680965148, 0.68255697050938335,
          0.67568699731903492}},
    };
    for (const Fit& c : cases) {
        const auto result = length_bias_correction(c.scores, c.lengths);
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->slope, c.slope);
        EXPECT_EQ(result->intercept, c.intercept);
        EXPECT_EQ(result->correlation, c.correlation);
        EXPECT_EQ(result->adjusted_scores, c.adjusted);
    }
}

TEST(LengthBiasCorrection, FirstFailedCheckWins) {
    struct Case {
        std::vector<double> scores;
        std::vector<double> lengths;
        JudgeCalibrationError error;
    };
    const Case cases[] = {
        {{1, 2, 3}, {1, 2}, JudgeCalibrationError::LengthMismatch},
        {{1}, {}, JudgeCalibrationError::LengthMismatch},
        {{}, {}, JudgeCalibrationError::TooFewPairs},
        {{1, 2}, {1, 2}, JudgeCalibrationError::TooFewPairs},
        {{1, 2, 3}, {5, 5, 5}, JudgeCalibrationError::IdenticalLengths},
        // Not all equal, but the squared deviations sum to 2e-14.
        {{1, 2, 3}, {0.0, 1e-7, 2e-7}, JudgeCalibrationError::IdenticalLengths},
    };
    for (const Case& c : cases) {
        const auto result = length_bias_correction(c.scores, c.lengths);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error(), c.error);
    }
}

TEST(LengthBiasCorrection, NaNFlowsIntoTheFit) {
    // A NaN length is not "identical lengths": it poisons the whole fit.
    const std::vector<double> scores{1, 2, 3};
    const std::vector<double> nan_length{1, kNaN, 3};
    const auto by_length = length_bias_correction(scores, nan_length);
    ASSERT_TRUE(by_length.has_value());
    EXPECT_TRUE(std::isnan(by_length->slope));
    EXPECT_TRUE(std::isnan(by_length->intercept));
    EXPECT_TRUE(std::isnan(by_length->correlation));
    for (double a : by_length->adjusted_scores) EXPECT_TRUE(std::isnan(a));

    // A NaN score spread is not "no spread": the correlation is NaN, not 0.
    const std::vector<double> nan_score{1, kNaN, 3};
    const std::vector<double> lengths{1, 2, 3};
    const auto by_score = length_bias_correction(nan_score, lengths);
    ASSERT_TRUE(by_score.has_value());
    EXPECT_TRUE(std::isnan(by_score->correlation));
    EXPECT_TRUE(std::isnan(by_score->slope));
}

TEST(LengthBiasCorrection, DisplayTexts) {
    EXPECT_EQ(display_text(JudgeCalibrationError::LengthMismatch),
              "scores and lengths must have the same number of elements");
    EXPECT_EQ(display_text(JudgeCalibrationError::TooFewPairs),
              "need at least 3 (score, length) pairs to fit a regression");
    // The dash is U+2014 in UTF-8.
    EXPECT_EQ(display_text(JudgeCalibrationError::IdenticalLengths),
              "all lengths are identical \xE2\x80\x94 length effect cannot be estimated");
}

TEST(DebiasPairwiseJudgment, FullTable) {
    using enum Preference;
    struct Row {
        Preference original;
        Preference swapped;
        Preference preference;
        bool bias;
    };
    const Row table[] = {
        {PrefersA, PrefersA, PrefersA, false}, {PrefersA, PrefersB, Tie, true},
        {PrefersA, Tie, Tie, true},            {PrefersB, PrefersA, Tie, true},
        {PrefersB, PrefersB, PrefersB, false}, {PrefersB, Tie, Tie, true},
        {Tie, PrefersA, Tie, true},            {Tie, PrefersB, Tie, true},
        {Tie, Tie, Tie, false},
    };
    for (const Row& row : table) {
        const PairwiseDebiasOutcome out = debias_pairwise_judgment(row.original, row.swapped);
        EXPECT_EQ(out.preference, row.preference)
            << static_cast<int>(row.original) << " vs " << static_cast<int>(row.swapped);
        EXPECT_EQ(out.position_bias_detected, row.bias)
            << static_cast<int>(row.original) << " vs " << static_cast<int>(row.swapped);
    }
    EXPECT_EQ(static_cast<int>(Tie), 2);
}

}  // namespace
