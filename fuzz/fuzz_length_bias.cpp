// Length-bias correction: checks in their order; one adjusted score per pair;
// non-finite lengths give NaN, not an error; the correlation within [-1, 1]
// (up to rounding) with the sign of the slope; constant scores have none.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/judge_calibration.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace mirabund_core::judge_calibration;

std::string describe(const LengthBiasOutcome& o) {
    return "slope " + fuzz::show(o.slope) + ", intercept " + fuzz::show(o.intercept) + ", correlation " +
           fuzz::show(o.correlation);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    const std::size_t n = in.below(33);
    // Mostly paired; now and then the lengths have a count of their own.
    const std::size_t n_lengths = (flags & 7) == 0 ? in.below(33) : n;
    const std::vector<double> scores = in.numbers(n);
    const std::vector<double> lengths = in.numbers(n_lengths);

    const auto result = length_bias_correction(scores, lengths);
    if (n != n_lengths) {
        FUZZ_CHECK(!result && result.error() == JudgeCalibrationError::LengthMismatch, "mismatch accepted");
        return 0;
    }
    if (n < 3) {
        FUZZ_CHECK(!result && result.error() == JudgeCalibrationError::TooFewPairs, "too few pairs accepted");
        return 0;
    }
    if (!fuzz::all_finite(lengths)) {
        FUZZ_CHECK(result.has_value(), "non-finite lengths must flow into the result, not fail");
        FUZZ_CHECK(std::isnan(result->slope) && std::isnan(result->intercept), describe(*result));
        for (double a : result->adjusted_scores) FUZZ_CHECK(std::isnan(a), fuzz::show(a));
    }
    if (!result) {
        FUZZ_CHECK(result.error() == JudgeCalibrationError::IdenticalLengths, "unexpected error kind");
        return 0;
    }
    const LengthBiasOutcome& out = *result;
    FUZZ_CHECK(out.adjusted_scores.size() == n, "adjusted scores length");

    const bool constant_scores = std::all_of(scores.begin(), scores.end(), [&](double s) {
        return fuzz::same(s, scores.front()) && std::isfinite(s) && std::fabs(s) <= 1e6;
    });
    if (constant_scores) FUZZ_CHECK(out.correlation == 0.0, describe(out));

    if (std::isfinite(out.correlation)) {
        FUZZ_CHECK(std::fabs(out.correlation) <= 1.0 + 1e-12, describe(out));
        if (out.correlation != 0.0 && !std::isnan(out.slope))
            FUZZ_CHECK(std::signbit(out.correlation) == std::signbit(out.slope), describe(out));
    }
    return 0;
}
