// Standardized effect size of two independent samples: Cohen's d with the
// pooled standard deviation, Hedges' g and a qualitative magnitude.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/outcome.hpp"

namespace mirabund_core::effect_size {

enum class EffectMagnitude : std::uint8_t { Negligible, Small, Medium, Large };

struct EffectSizeOutcome {
    double cohens_d;
    double hedges_g;
    EffectMagnitude magnitude;
    std::size_t n_baseline;
    std::size_t n_treatment;
};

enum class EffectSizeError { InsufficientObservations, ZeroPooledStdDev };

std::string_view display_text(EffectSizeError error);

// The least |d| of Small, Medium and Large, each bound in the higher bucket.
inline constexpr double magnitude_bounds[] = {0.2, 0.5, 0.8};

// Bucket of |d|; a NaN d fails every bound and lands in Large.
EffectMagnitude magnitude_of(double d);

Result<EffectSizeOutcome, EffectSizeError> cohens_d(std::span<const double> baseline,
                                                    std::span<const double> treatment);

}  // namespace mirabund_core::effect_size
