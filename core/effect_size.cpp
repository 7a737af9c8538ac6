#include "core/effect_size.hpp"

#include <cmath>

#include "core/summation.hpp"

namespace mirabund_core::effect_size {

std::string_view display_text(EffectSizeError error) {
    switch (error) {
        case EffectSizeError::InsufficientObservations:
            return "each group must have at least 2 observations";
        case EffectSizeError::ZeroPooledStdDev:
            return "pooled standard deviation is zero - groups have no variance, effect size is undefined";
    }
    return {};
}

EffectMagnitude magnitude_of(double d) {
    const double a = std::fabs(d);
    if (a < magnitude_bounds[0]) return EffectMagnitude::Negligible;
    if (a < magnitude_bounds[1]) return EffectMagnitude::Small;
    if (a < magnitude_bounds[2]) return EffectMagnitude::Medium;
    return EffectMagnitude::Large;
}

Result<EffectSizeOutcome, EffectSizeError> cohens_d(std::span<const double> baseline,
                                                    std::span<const double> treatment) {
    const std::size_t n_b = baseline.size();
    const std::size_t n_t = treatment.size();
    if (n_b < 2 || n_t < 2) return std::unexpected(EffectSizeError::InsufficientObservations);

    const double nb = static_cast<double>(n_b);
    const double nt = static_cast<double>(n_t);
    const auto [sum_b, sum_t] = sums_side_by_side(baseline, treatment);
    const double mean_b = sum_b / nb;
    const double mean_t = sum_t / nt;
    const auto [ss_b, ss_t] = sums_side_by_side(
        baseline, [mean_b](double x) { return (x - mean_b) * (x - mean_b); },
        treatment, [mean_t](double x) { return (x - mean_t) * (x - mean_t); });
    const double s2_b = ss_b / (nb - 1.0);
    const double s2_t = ss_t / (nt - 1.0);
    const double df = (nb + nt) - 2.0;
    const double sd = std::sqrt(((nb - 1.0) * s2_b + (nt - 1.0) * s2_t) / df);
    // Ordered test: a NaN spread is not zero and flows into the results.
    if (sd <= 1e-12) return std::unexpected(EffectSizeError::ZeroPooledStdDev);

    const double d = (mean_t - mean_b) / sd;
    const double j = 1.0 - 3.0 / (4.0 * df - 1.0);
    return EffectSizeOutcome{d, j * d, magnitude_of(d), n_b, n_t};
}

}  // namespace mirabund_core::effect_size
