// Calibration of a judge's verdicts: removing the linear effect of response
// length from scores, and settling a pairwise judgment made twice with the
// two positions swapped.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/outcome.hpp"

namespace mirabund_core::judge_calibration {

struct LengthBiasOutcome {
    std::vector<double> adjusted_scores;
    double slope;
    double intercept;
    double correlation;
};

enum class JudgeCalibrationError { LengthMismatch, TooFewPairs, IdenticalLengths };

std::string_view display_text(JudgeCalibrationError error);

// Least-squares fit of scores on lengths; each adjusted score is its residual
// plus the mean score, so it stays on the judge's scale.
Result<LengthBiasOutcome, JudgeCalibrationError> length_bias_correction(
    std::span<const double> scores, std::span<const double> lengths);

enum class Preference : std::uint8_t { PrefersA, PrefersB, Tie };

struct PairwiseDebiasOutcome {
    Preference preference;
    bool position_bias_detected;
};

// Agreement stands; any disagreement, a tie against a preference included,
// is taken as position bias and becomes a tie. The swapped judgment is
// compared as given, not mapped back to the original positions.
PairwiseDebiasOutcome debias_pairwise_judgment(Preference original_order,
                                               Preference swapped_order);

}  // namespace mirabund_core::judge_calibration
