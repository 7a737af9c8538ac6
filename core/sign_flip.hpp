// The sign-flip randomization test of a mean of paired differences: under
// "the two models are exchangeable" each unit's total (an item's
// difference, or a cluster's sum of differences) is as likely to have come
// with the opposite sign, so the observed sum is compared with the sums of
// the same units under every pattern of flipped signs. Exact for any number
// of units; for 0/1 scores without clusters it is McNemar's exact test.
//
// Units g = 1 .. G have totals T_g and sizes n_g > 0 (items in the unit).
// For a null mean m the statistic of a flip pattern s is
//   |A_s - m * W_s|, A_s = -0.0 + s_1 * T_1 + ... + s_G * T_G, W_s = sum of s_g * n_g,
// against the observed |D - m * N| (D and N the same sums with every s_g = +1),
// a flip counting when it is at least the observed. Where |D - m * N|
// overflows, all of A_s, D and m are first scaled by the power of two 2^-k,
// N < 2^(k-2), which changes no comparison the floats could make.
//   flips    = all 2^G patterns when G <= enumerated_units (the p-value is
//              then their exact share), else R patterns of G signs each, the
//              signs taken from next_u64 words in order, lowest bit first, a
//              set bit a minus; the p-value is then (1 + count) / (1 + R)
//   p-value  = of m = 0; when the nonzero totals share one magnitude (0/1
//              pairs without clusters) it is the exact binomial tail
//              min(1, 2 * P(X <= min(b, c))), X ~ Binomial(b + c, 1/2), b and
//              c the counts of positive and negative totals, whatever G is
//   interval = the set of m the same flips do not reject at alpha (count
//              share >= alpha), each bound found by bisection to the last
//              representable value between an accepted and a rejected m; a
//              bound is infinite when no m on its side is rejected (too few
//              units for the level: 2 / 2^G >= alpha); both bounds are
//              D / N when rounding leaves D / N itself rejected (equal unit
//              means, where every flip ties the observed)
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"

namespace mirabund_core::sign_flip {

inline constexpr std::uint64_t enumerated_units = 16;

struct SignFlipOutcome {
    double p_value;
    double ci_lower;
    double ci_upper;
    double confidence_level;
    std::uint64_t n_flips;  // patterns compared: 2^G when enumerated, else R
    bool enumerated;
    bool binomial;  // the p-value is the binomial tail
};

// Checked in this order; the first that applies is reported.
enum class SignFlipError {
    EmptyTotals,
    SizeLengthMismatch,
    InvalidSizes,
    InvalidConfidenceLevel,
    InvalidResampleCount,
    NonFiniteTotals,
    TotalsTooLarge,
};

std::string_view display_text(SignFlipError error);

// `interrupt` is offered the work as it is done.
Result<SignFlipOutcome, SignFlipError> sign_flip_test(std::span<const double> totals,
                                                      std::span<const double> sizes, std::uint64_t n_resamples,
                                                      double confidence_level, std::uint64_t seed,
                                                      InterruptCheck interrupt = {});

// P(X <= k) for X ~ Binomial(m, 1/2), k <= m; correctly rounded for m <= 62.
double binomial_half_cdf(std::uint64_t k, std::uint64_t m);

}  // namespace mirabund_core::sign_flip
