// Bootstrap-t of a mean: checks in their order, every field against the
// literal order of operations, ordered bounds, a p-value in (0, 1], the
// interval as the inversion of the p-value up to the rounding of t * se,
// and reproducibility for a seed.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/studentized_bootstrap.hpp"
#include "fuzz/fuzz_input.hpp"
#include "tests/core/studentized_reference.hpp"

namespace {

using namespace mirabund_core::studentized_bootstrap;
using Error = StudentizedBootstrapError;
using Outcome = mirabund_core::Result<StudentizedBootstrapOutcome, StudentizedBootstrapError>;

std::string describe(const Outcome& r) {
    if (!r) return std::string("error: ") + std::string(display_text(r.error()));
    return "mean " + fuzz::show(r->mean) + ", se " + fuzz::show(r->standard_error) + ", ci " + fuzz::show(r->ci_lower) +
           " .. " + fuzz::show(r->ci_upper) + ", p " + fuzz::show(r->p_value) + ", counts " +
           std::to_string(r->count_at_least) + " " + std::to_string(r->count_at_most);
}

// The first check that applies, found from the literal sums.
std::optional<Error> expected_error(const std::vector<double>& values, std::uint64_t n_resamples, double level) {
    if (values.size() < 2) return Error::TooFewValues;
    if (!(level > 0.0 && level < 1.0)) return Error::InvalidConfidenceLevel;
    if (n_resamples == 0) return Error::InvalidResampleCount;
    if (!fuzz::all_finite(values)) return Error::NonFiniteValues;
    const double mean = fuzz::literal_mean(values);
    if (!std::isfinite(mean)) {
        const bool equal = std::all_of(values.begin(), values.end(), [&](double x) { return x == values[0]; });
        return equal ? Error::ZeroStandardError : Error::Overflow;
    }
    double total = -0.0;
    double largest = 0.0;
    for (double x : values) {
        const double square = (x - mean) * (x - mean);
        total = total + square;
        largest = std::max(largest, square);
    }
    const double n = static_cast<double>(values.size());
    if (!(std::sqrt(total / (n - 1.0)) / std::sqrt(n) > 0.0)) return Error::ZeroStandardError;
    if (!std::isfinite(largest * n) || !std::isfinite(total)) return Error::Overflow;
    return std::nullopt;
}

void check_outcome(const std::vector<double>& values, std::uint64_t n_resamples, double level, std::uint64_t seed,
                   const Outcome& result) {
    FUZZ_CHECK(result.has_value(), describe(result));
    const StudentizedBootstrapOutcome& out = *result;
    const reference::Literal literal = reference::literal(values, n_resamples, level, seed);
    for (double t : literal.statistics) FUZZ_CHECK(!std::isnan(t), "a literal t* is NaN");
    FUZZ_CHECK(fuzz::same(out.mean, literal.mean) && fuzz::same(out.standard_error, literal.standard_error),
               describe(result));
    FUZZ_CHECK(out.count_at_least == literal.count_at_least && out.count_at_most == literal.count_at_most &&
                   fuzz::same(out.p_value, literal.p_value),
               describe(result));
    // Zeros of both signs tie in the order, so a bound's zero sign may differ.
    FUZZ_CHECK(out.ci_lower == literal.ci_lower && out.ci_upper == literal.ci_upper,
               describe(result) + ", literal " + fuzz::show(literal.ci_lower) + " .. " + fuzz::show(literal.ci_upper));
    FUZZ_CHECK(fuzz::same(out.confidence_level, level) && out.n_resamples == n_resamples, describe(result));
    FUZZ_CHECK(out.p_value > 0.0 && out.p_value <= 1.0, describe(result));
    FUZZ_CHECK(!std::isnan(out.ci_lower) && !std::isnan(out.ci_upper) && out.ci_lower <= out.ci_upper,
               describe(result));
    FUZZ_CHECK(out.count_at_least + out.count_at_most >= n_resamples, describe(result));

    // 0 is inside exactly when its p-value reaches alpha, but for the
    // rounding of t * se against the mean at a finite bound.
    const double alpha = 1.0 - level;
    auto slack = [&](double bound) {
        return 8.0 * std::numeric_limits<double>::epsilon() * (std::fabs(out.mean) + std::fabs(bound)) +
               8.0 * std::numeric_limits<double>::denorm_min();
    };
    if (out.p_value >= alpha)
        FUZZ_CHECK(out.ci_lower <= slack(out.ci_lower) && out.ci_upper >= -slack(out.ci_upper), describe(result));
    else
        FUZZ_CHECK(out.ci_lower >= -slack(out.ci_lower) || out.ci_upper <= slack(out.ci_upper), describe(result));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    std::vector<double> values = in.numbers(in.below(25));
    // Now and then a few distinct values repeated, for ties and resamples
    // without spread.
    if ((flags & 1) && values.size() > 3)
        for (std::size_t i = 3; i < values.size(); ++i) values[i] = values[i % 3];
    const std::uint64_t n_resamples = in.below(40);
    const double level = in.unit();
    const std::uint64_t seed = in.u64();

    const Outcome result = studentized_bootstrap_mean(values, n_resamples, level, seed);
    const std::optional<Error> error = expected_error(values, n_resamples, level);
    if (error) {
        FUZZ_CHECK(!result && result.error() == *error,
                   describe(result) + ", expected " + std::string(display_text(*error)));
        return 0;
    }
    check_outcome(values, n_resamples, level, seed, result);

    const Outcome again = studentized_bootstrap_mean(values, n_resamples, level, seed);
    FUZZ_CHECK(again && fuzz::same(again->ci_lower, result->ci_lower) &&
                   fuzz::same(again->ci_upper, result->ci_upper) && fuzz::same(again->p_value, result->p_value),
               describe(result) + " then " + describe(again));
    return 0;
}
