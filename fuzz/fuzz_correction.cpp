// Multiple-comparisons correction: checks in their order; adjusted values in
// [0, 1], one per input and in input order; rejection against alpha; the
// Benjamini-Hochberg values ordered like the p-values, never above the
// Bonferroni ones, and unchanged by reversing the input.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/correction.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace mirabund_core::correction;

std::string at(std::size_t i, double p, double adjusted) {
    return "position " + std::to_string(i) + ": p " + fuzz::show(p) + ", adjusted " + fuzz::show(adjusted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::vector<double> p = in.units(in.below(65));
    const double alpha = in.unit();
    const std::size_t m = p.size();

    std::optional<CorrectionError> expected_error;
    if (m == 0) expected_error = CorrectionError::EmptyPValues;
    else if (!(alpha > 0.0 && alpha < 1.0)) expected_error = CorrectionError::InvalidAlpha;
    else if (std::any_of(p.begin(), p.end(), [](double v) { return !(v >= 0.0 && v <= 1.0); }))
        expected_error = CorrectionError::PValueOutOfRange;

    const auto bonferroni = correct_p_values(p, alpha, CorrectionMethod::Bonferroni);
    const auto bh = correct_p_values(p, alpha, CorrectionMethod::BenjaminiHochberg);
    if (expected_error) {
        FUZZ_CHECK(!bonferroni && bonferroni.error() == *expected_error, "Bonferroni: wrong or no error");
        FUZZ_CHECK(!bh && bh.error() == *expected_error, "Benjamini-Hochberg: wrong or no error");
        return 0;
    }
    FUZZ_CHECK(bonferroni.has_value(), std::string(display_text(bonferroni.error())));
    FUZZ_CHECK(bh.has_value(), std::string(display_text(bh.error())));

    for (const auto* out : {&*bonferroni, &*bh}) {
        FUZZ_CHECK(out->adjusted_p_values.size() == m && out->rejected.size() == m, "output length");
        FUZZ_CHECK(fuzz::same(out->alpha, alpha), "alpha not echoed");
        for (std::size_t i = 0; i < m; ++i) {
            const double q = out->adjusted_p_values[i];
            FUZZ_CHECK(q >= 0.0 && q <= 1.0, at(i, p[i], q));
            FUZZ_CHECK(out->rejected[i] == (q <= alpha), at(i, p[i], q));
            // Adjusting never lowers a p-value beyond rounding.
            FUZZ_CHECK(q == 1.0 || q >= p[i] - p[i] * 1e-13, at(i, p[i], q));
        }
    }
    FUZZ_CHECK(bonferroni->method == CorrectionMethod::Bonferroni, "method not echoed");
    FUZZ_CHECK(bh->method == CorrectionMethod::BenjaminiHochberg, "method not echoed");

    const double scale = static_cast<double>(m);
    for (std::size_t i = 0; i < m; ++i) {
        const double capped = p[i] * scale < 1.0 ? p[i] * scale : 1.0;
        FUZZ_CHECK(fuzz::same(bonferroni->adjusted_p_values[i], capped), at(i, p[i], bonferroni->adjusted_p_values[i]));
        FUZZ_CHECK(bh->adjusted_p_values[i] <= bonferroni->adjusted_p_values[i],
                   "Benjamini-Hochberg above Bonferroni at " + at(i, p[i], bh->adjusted_p_values[i]));
    }
    // Step-up: the adjusted values follow the order of the p-values, ties
    // sharing one value.
    for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < m; ++j) {
            if (p[i] < p[j]) {
                FUZZ_CHECK(bh->adjusted_p_values[i] <= bh->adjusted_p_values[j],
                           at(i, p[i], bh->adjusted_p_values[i]) + " vs " + at(j, p[j], bh->adjusted_p_values[j]));
            } else if (p[i] == p[j]) {
                FUZZ_CHECK(bh->adjusted_p_values[i] == bh->adjusted_p_values[j],
                           at(i, p[i], bh->adjusted_p_values[i]) + " tie " + at(j, p[j], bh->adjusted_p_values[j]));
            }
        }
    }

    // The input order only decides where each value is written.
    std::vector<double> reversed(p.rbegin(), p.rend());
    const auto bh_reversed = correct_p_values(reversed, alpha, CorrectionMethod::BenjaminiHochberg);
    FUZZ_CHECK(bh_reversed.has_value(), "reversed input refused");
    for (std::size_t i = 0; i < m; ++i) {
        FUZZ_CHECK(bh_reversed->adjusted_p_values[m - 1 - i] == bh->adjusted_p_values[i],
                   "reversal changed " + at(i, p[i], bh->adjusted_p_values[i]));
    }
    return 0;
}
