// The sign-flip test straight from its documented rules: every pattern's
// signed sums made one sign at a time, and the p-value of any null mean by
// counting. The reference the operation's p-values and bounds are held to,
// by the core tests and the fuzz target alike. Expects arguments that pass
// every check.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/random.hpp"
#include "core/sign_flip.hpp"

namespace mirabund_core::sign_flip::reference {

struct LiteralFlips {
    std::vector<double> sums;   // A_s
    std::vector<double> sizes;  // W_s
    double total;               // D
    double size;                // N
    bool enumerated;
};

inline LiteralFlips literal_flips(std::span<const double> totals, std::span<const double> sizes,
                                  std::uint64_t n_resamples, std::uint64_t seed) {
    const std::uint64_t g = totals.size();
    LiteralFlips out{{}, {}, -0.0, -0.0, g <= enumerated_units};
    for (std::uint64_t u = 0; u < g; ++u) {
        out.total = out.total + totals[u];
        out.size = out.size + sizes[u];
    }
    random::RandomSource source = random::RandomSource::seed_from_u64(seed);
    const std::uint64_t patterns = out.enumerated ? std::uint64_t{1} << g : n_resamples;
    for (std::uint64_t f = 0; f < patterns; ++f) {
        std::vector<bool> minus(g);
        if (out.enumerated) {
            for (std::uint64_t u = 0; u < g; ++u) minus[u] = (f >> u) & 1;
        } else {
            // One word per 64 signs, lowest bit first; a pattern starts a new word.
            std::uint64_t word = 0;
            for (std::uint64_t u = 0; u < g; ++u) {
                if (u % 64 == 0) word = source.next_u64();
                minus[u] = (word >> (u % 64)) & 1;
            }
        }
        double a = -0.0;
        double w = -0.0;
        for (std::uint64_t u = 0; u < g; ++u) {
            a = a + (minus[u] ? -totals[u] : totals[u]);
            w = w + (minus[u] ? -sizes[u] : sizes[u]);
        }
        out.sums.push_back(a);
        out.sizes.push_back(w);
    }
    return out;
}

// The share of flips with |A_s - m W_s| >= |D - m N|: exact when
// enumerated, else (1 + count) / (1 + R). Where |D - m N| overflows, A_s,
// D and m are taken in units of 2^-k, N < 2^(k-2).
inline double literal_p_value(const LiteralFlips& flips, double m) {
    double unit = 1.0;
    if (!std::isfinite(std::abs(flips.total - m * flips.size))) {
        int k = 2;
        while (std::ldexp(1.0, k - 2) <= flips.size) ++k;
        unit = std::ldexp(1.0, -k);
    }
    const double observed = std::abs(flips.total * unit - (m * unit) * flips.size);
    std::uint64_t count = 0;
    for (std::size_t f = 0; f < flips.sums.size(); ++f)
        count += std::abs(flips.sums[f] * unit - (m * unit) * flips.sizes[f]) >= observed;
    const double patterns = static_cast<double>(flips.sums.size());
    if (flips.enumerated) return static_cast<double>(count) / patterns;
    return (1.0 + static_cast<double>(count)) / (1.0 + patterns);
}

// McNemar's p-value 2 P(X <= min(b, c)), X ~ Binomial(b + c, 1/2), in whole
// numbers (b + c <= 62) and rounded once; 1 when b = c.
inline double exact_binomial_p_value(std::uint64_t b, std::uint64_t c) {
    if (b == c) return 1.0;
    const std::uint64_t m = b + c;
    std::uint64_t tail = 0;
    std::uint64_t choose = 1;
    for (std::uint64_t i = 0; i <= std::min(b, c); ++i) {
        tail += choose;
        choose = choose * (m - i) / (i + 1);
    }
    return std::min(1.0, std::ldexp(static_cast<double>(tail), 1 - static_cast<int>(m)));
}

}  // namespace mirabund_core::sign_flip::reference
