// Bootstrap-t of a mean: resamples of single items, each turned into the
// t statistic of its own mean against the data's mean, give the interval
// and the two-sided p-value of "the mean is 0", one the inversion of the
// other. Studentizing corrects the skew that a t reference and a
// percentile interval both miss with few items.
//
// Order of operations, which fixes every bit:
//   mean       = (-0.0 + x_1 + ... + x_n) / n, in input order (bootstrap::mean)
//   y_i, s_i   = x_i - mean and y_i * y_i
//   se         = sqrt((-0.0 + s_1 + ... + s_n) / (n - 1)) / sqrt(n)
//   resample   = n draws j_1 .. j_n, each gen_range(0, n-1), all draws of a
//                resample before the next one's, from a source seeded once
//                (the draws of the block bootstrap with blocks of one)
//   A, B       = -0.0 + y_j1 + ... + y_jn and -0.0 + s_j1 + ... + s_jn
//   a          = A / n
//   var        = (B - n * (a * a)) / (n - 1), taken as 0 unless B - n * (a * a)
//                exceeds 4 * n * epsilon * B (the rounding of a resample of
//                one value repeated)
//   t*         = a / (sqrt(var) / sqrt(n)); 0 when var = 0 and a = 0, and an
//                infinity of a's sign when var = 0 alone
//   t          = mean / se, the observed statistic (se > 0 is required)
//   p          = min(1, 2 * (1 + min(#{t* >= t}, #{t* <= t})) / (R + 1))
//   j          = the least count c in 0 .. R with 2 * (1 + c) / (R + 1) >= alpha,
//                alpha = 1 - confidence_level, computed as p is
//   interval   = [mean - t*_(R - j + 1) * se, mean - t*_(j) * se], t*_(i) the
//                i-th smallest, t*_(0) = -inf and t*_(R + 1) = +inf
// so a shifted null mean m lies in the interval exactly when the p-value of
// "the mean is m" (t = (mean - m) / se) is at least alpha, up to the rounding
// of t * se against mean - m.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"

namespace mirabund_core::studentized_bootstrap {

struct StudentizedBootstrapOutcome {
    double mean;
    double standard_error;
    double ci_lower;
    double ci_upper;
    double confidence_level;
    std::uint64_t n_resamples;
    std::uint64_t count_at_least;  // resamples with t* >= t
    std::uint64_t count_at_most;   // resamples with t* <= t
    double p_value;
};

// Checked in this order; the first that applies is reported.
enum class StudentizedBootstrapError {
    TooFewValues,
    InvalidConfidenceLevel,
    InvalidResampleCount,
    NonFiniteValues,
    ZeroStandardError,
    Overflow,  // the values' sum, or a resample's sum of squares
};

std::string_view display_text(StudentizedBootstrapError error);

// `interrupt` is offered the work as it is done.
Result<StudentizedBootstrapOutcome, StudentizedBootstrapError> studentized_bootstrap_mean(
    std::span<const double> values, std::uint64_t n_resamples, double confidence_level, std::uint64_t seed,
    InterruptCheck interrupt = {});

// The p-value above from its counts; the interval's j is the least count
// for which this is at least alpha.
double resample_p_value(std::uint64_t count, std::uint64_t n_resamples);

// The values with their mean and standard error, and y_i and s_i above.
struct Centered {
    double mean;
    double standard_error;
    std::vector<double> deviations;  // y_i
    std::vector<double> squares;     // s_i
};

// Checks the values (at least 2) from NonFiniteValues on and centres them.
Result<Centered, StudentizedBootstrapError> center(std::span<const double> values);

// t* of a resample of n draws from its sums A and B.
double resample_t(double sum, double squares, std::uint64_t n);

// Counts, p-value and interval from the t* of every resample; reorders them.
StudentizedBootstrapOutcome outcome_of(const Centered& data, std::vector<double>& statistics,
                                       double confidence_level);

}  // namespace mirabund_core::studentized_bootstrap
