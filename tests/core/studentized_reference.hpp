// The bootstrap-t of a mean straight from its documented order of
// operations, one gen_range draw at a time and one sort: the reference the
// batched resamples and the selected bounds are held to, by the core tests
// and the fuzz target alike. Expects arguments that pass every check.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "core/random.hpp"

namespace mirabund_core::studentized_bootstrap::reference {

struct Literal {
    double mean;
    double standard_error;
    std::vector<double> statistics;  // t*, in resample order
    std::uint64_t count_at_least;
    std::uint64_t count_at_most;
    double p_value;
    double ci_lower;
    double ci_upper;
};

inline Literal literal(std::span<const double> values, std::uint64_t n_resamples, double confidence_level,
                       std::uint64_t seed) {
    constexpr double inf = std::numeric_limits<double>::infinity();
    const std::uint64_t n = values.size();
    const double count = static_cast<double>(n);
    Literal out{};
    double sum = -0.0;
    for (double x : values) sum = sum + x;
    out.mean = sum / count;
    std::vector<double> y(n);
    std::vector<double> s(n);
    double squares = -0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        y[i] = values[i] - out.mean;
        s[i] = y[i] * y[i];
        squares = squares + s[i];
    }
    out.standard_error = std::sqrt(squares / (count - 1.0)) / std::sqrt(count);

    random::RandomSource source = random::RandomSource::seed_from_u64(seed);
    for (std::uint64_t r = 0; r < n_resamples; ++r) {
        double a_sum = -0.0;
        double b_sum = -0.0;
        for (std::uint64_t i = 0; i < n; ++i) {
            const std::uint64_t j = source.gen_range(0, n - 1);
            a_sum = a_sum + y[j];
            b_sum = b_sum + s[j];
        }
        const double a = a_sum / count;
        const double excess = b_sum - count * (a * a);
        const double var = excess > 4.0 * count * std::numeric_limits<double>::epsilon() * b_sum
                               ? excess / (count - 1.0)
                               : 0.0;
        double t;
        if (var == 0.0) t = a == 0.0 ? 0.0 : std::copysign(inf, a);
        else t = a / (std::sqrt(var) / std::sqrt(count));
        out.statistics.push_back(t);
    }

    const double t = out.mean / out.standard_error;
    for (double x : out.statistics) {
        out.count_at_least += x >= t;
        out.count_at_most += x <= t;
    }
    const double resamples = static_cast<double>(n_resamples);
    auto p_of = [&](std::uint64_t c) { return std::min(1.0, 2.0 * (static_cast<double>(c) + 1.0) / (resamples + 1.0)); };
    out.p_value = p_of(std::min(out.count_at_least, out.count_at_most));
    const double alpha = 1.0 - confidence_level;
    std::uint64_t j = 0;
    while (j < n_resamples && p_of(j) < alpha) ++j;
    std::vector<double> sorted = out.statistics;
    std::sort(sorted.begin(), sorted.end());
    auto order = [&](std::uint64_t i) { return i == 0 ? -inf : i > n_resamples ? inf : sorted[i - 1]; };
    out.ci_lower = out.mean - order(n_resamples - j + 1) * out.standard_error;
    out.ci_upper = out.mean - order(j) * out.standard_error;
    return out;
}

}  // namespace mirabund_core::studentized_bootstrap::reference
