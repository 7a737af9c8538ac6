#include "core/judge_calibration.hpp"

#include <cmath>
#include <cstddef>

#include "core/summation.hpp"

namespace mirabund_core::judge_calibration {

std::string_view display_text(JudgeCalibrationError error) {
    switch (error) {
        case JudgeCalibrationError::LengthMismatch:
            return "scores and lengths must have the same number of elements";
        case JudgeCalibrationError::TooFewPairs:
            return "need at least 3 (score, length) pairs to fit a regression";
        case JudgeCalibrationError::IdenticalLengths:
            return "all lengths are identical \u2014 length effect cannot be estimated";
    }
    return {};
}

Result<LengthBiasOutcome, JudgeCalibrationError> length_bias_correction(
    std::span<const double> scores, std::span<const double> lengths) {
    if (scores.size() != lengths.size()) {
        return std::unexpected(JudgeCalibrationError::LengthMismatch);
    }
    const std::size_t count = scores.size();
    if (count < 3) return std::unexpected(JudgeCalibrationError::TooFewPairs);

    const double n = static_cast<double>(count);
    const auto [sum_s, sum_l] = sums_side_by_side(scores, lengths);
    const double mean_s = sum_s / n;
    const double mean_l = sum_l / n;

    // The deviation sums start from +0.0, unlike the sums for the means.
    double ss_s = 0.0;
    double ss_l = 0.0;
    double s_sl = 0.0;
    for (std::size_t i = 0; i < count; ++i) {
        const double ds = scores[i] - mean_s;
        const double dl = lengths[i] - mean_l;
        ss_s = ss_s + ds * ds;
        ss_l = ss_l + dl * dl;
        s_sl = s_sl + dl * ds;
    }
    // Ordered test on the sum itself: a NaN spread passes and flows on.
    if (ss_l <= 1e-12) return std::unexpected(JudgeCalibrationError::IdenticalLengths);

    const double correlation = ss_s <= 1e-12 ? 0.0 : s_sl / (std::sqrt(ss_s) * std::sqrt(ss_l));
    const double slope = s_sl / ss_l;
    const double intercept = mean_s - mean_l * slope;

    std::vector<double> adjusted(count);
    for (std::size_t i = 0; i < count; ++i) {
        adjusted[i] = (scores[i] - (lengths[i] * slope + intercept)) + mean_s;
    }
    return LengthBiasOutcome{std::move(adjusted), slope, intercept, correlation};
}

PairwiseDebiasOutcome debias_pairwise_judgment(Preference original_order,
                                               Preference swapped_order) {
    const bool disagree = original_order != swapped_order;
    return PairwiseDebiasOutcome{disagree ? Preference::Tie : original_order, disagree};
}

}  // namespace mirabund_core::judge_calibration
