// Effect size: checks in their order; counts echoed; the magnitude bucket of
// |d|; g shrinks d without changing its sign; swapping the groups negates d
// and g exactly; non-finite values give NaN, not an error; two constant
// groups have no pooled spread.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "core/effect_size.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace mirabund_core::effect_size;

// The number of bounds that |d| does not stay below; NaN stays below none.
EffectMagnitude bucket(double d) {
    const double a = std::fabs(d);
    const auto passed = std::count_if(std::begin(magnitude_bounds), std::end(magnitude_bounds),
                                      [&](double bound) { return !(a < bound); });
    return static_cast<EffectMagnitude>(passed);
}

bool constant_and_moderate(const std::vector<double>& values) {
    return std::all_of(values.begin(), values.end(), [&](double v) {
        return fuzz::same(v, values.front()) && std::isfinite(v) && std::fabs(v) <= 1e6;
    });
}

// b == -a; equal means give +0.0 in both orders, so zeros compare by value.
bool negated(double a, double b) { return (std::isnan(a) && std::isnan(b)) || b == -a; }

std::string describe(const EffectSizeOutcome& o) {
    return "d " + fuzz::show(o.cohens_d) + ", g " + fuzz::show(o.hedges_g) + ", magnitude " +
           std::to_string(static_cast<int>(o.magnitude));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::vector<double> baseline = in.numbers(in.below(21));
    const std::vector<double> treatment = in.numbers(in.below(21));

    const auto result = cohens_d(baseline, treatment);
    const auto swapped = cohens_d(treatment, baseline);

    if (baseline.size() < 2 || treatment.size() < 2) {
        FUZZ_CHECK(!result && result.error() == EffectSizeError::InsufficientObservations, "short group accepted");
        FUZZ_CHECK(!swapped && swapped.error() == EffectSizeError::InsufficientObservations, "short group accepted");
        return 0;
    }
    const bool finite = fuzz::all_finite(baseline) && fuzz::all_finite(treatment);
    if (!finite) FUZZ_CHECK(result.has_value(), "non-finite values must flow into the result, not fail");
    if (constant_and_moderate(baseline) && constant_and_moderate(treatment))
        FUZZ_CHECK(!result && result.error() == EffectSizeError::ZeroPooledStdDev, "constant groups have spread");

    FUZZ_CHECK(result.has_value() == swapped.has_value(), "swapping the groups changed the outcome kind");
    if (!result) {
        FUZZ_CHECK(result.error() == EffectSizeError::ZeroPooledStdDev, "unexpected error kind");
        FUZZ_CHECK(swapped.error() == EffectSizeError::ZeroPooledStdDev, "unexpected error kind");
        return 0;
    }
    const EffectSizeOutcome& out = *result;
    FUZZ_CHECK(out.n_baseline == baseline.size() && out.n_treatment == treatment.size(), "counts not echoed");
    FUZZ_CHECK(out.magnitude == bucket(out.cohens_d), describe(out));
    FUZZ_CHECK(out.magnitude == magnitude_of(out.cohens_d), describe(out));
    if (!finite) FUZZ_CHECK(std::isnan(out.cohens_d) && std::isnan(out.hedges_g), describe(out));
    FUZZ_CHECK(std::isnan(out.cohens_d) == std::isnan(out.hedges_g), describe(out));
    if (!std::isnan(out.cohens_d)) {
        FUZZ_CHECK(std::fabs(out.hedges_g) <= std::fabs(out.cohens_d), describe(out));
        FUZZ_CHECK(std::signbit(out.hedges_g) == std::signbit(out.cohens_d), describe(out));
    }
    FUZZ_CHECK(negated(out.cohens_d, swapped->cohens_d) && negated(out.hedges_g, swapped->hedges_g),
               describe(out) + " swapped " + describe(*swapped));
    FUZZ_CHECK(swapped->magnitude == out.magnitude && swapped->n_baseline == out.n_treatment, describe(*swapped));
    return 0;
}
