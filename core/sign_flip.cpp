#include "core/sign_flip.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/random.hpp"

namespace mirabund_core::sign_flip {

std::string_view display_text(SignFlipError error) {
    switch (error) {
        case SignFlipError::EmptyTotals:
            return "totals must not be empty";
        case SignFlipError::SizeLengthMismatch:
            return "sizes must hold one size per total";
        case SignFlipError::InvalidSizes:
            return "sizes must be positive whole numbers";
        case SignFlipError::InvalidConfidenceLevel:
            return "confidence_level must be in (0.0, 1.0)";
        case SignFlipError::InvalidResampleCount:
            return "n_resamples must be >= 1";
        case SignFlipError::NonFiniteTotals:
            return "totals must be finite";
        case SignFlipError::TotalsTooLarge:
            return "totals are too large: a sum of them with flipped signs overflows a float";
    }
    return {};
}

double binomial_half_cdf(std::uint64_t k, std::uint64_t m) {
    if (k >= m) return 1.0;
    // Up to 62 trials the sum of C(m, i) is a whole number (and C(m, i) * (m - i)
    // stays below 2^64), so the tail is rounded once: the share of the
    // enumerated flips to the bit, and 1/2 exactly where it is 1/2.
    if (m <= 62) {
        std::uint64_t term = 1;
        std::uint64_t sum = 0;
        for (std::uint64_t i = 0; i <= k; ++i) {
            sum += term;
            term = term * (m - i) / (i + 1);
        }
        return std::ldexp(static_cast<double>(sum), -static_cast<int>(m));
    }
    // log C(m, i) / 2^m term by term, then summed relative to the largest.
    std::vector<double> logs(k + 1);
    logs[0] = -static_cast<double>(m) * std::log(2.0);
    for (std::uint64_t i = 0; i < k; ++i)
        logs[i + 1] = logs[i] + std::log(static_cast<double>(m - i) / static_cast<double>(i + 1));
    const double largest = *std::max_element(logs.begin(), logs.end());
    double sum = -0.0;
    for (double l : logs) sum = sum + std::exp(l - largest);
    return std::min(1.0, std::exp(largest) * sum);
}

namespace {

using Error = SignFlipError;
constexpr double infinity = std::numeric_limits<double>::infinity();

// Every flip pattern's signed sums A_s and W_s.
struct Flips {
    std::vector<double> sums;
    std::vector<double> sizes;
    bool enumerated;
};

Flips make_flips(std::span<const double> totals, std::span<const double> sizes, std::uint64_t n_resamples,
                 std::uint64_t seed, InterruptCheck& interrupt) {
    const std::uint64_t g = totals.size();
    Flips flips;
    flips.enumerated = g <= enumerated_units;
    const std::uint64_t count = flips.enumerated ? std::uint64_t{1} << g : n_resamples;
    bootstrap::reserve_storage(flips.sums, count);
    bootstrap::reserve_storage(flips.sizes, count);
    random::RandomSource source = random::RandomSource::seed_from_u64(seed);
    std::vector<std::uint64_t> words((g + 63) / 64);
    for (std::uint64_t f = 0; f < count; ++f) {
        if (flips.enumerated) words[0] = f;
        else
            for (std::uint64_t& w : words) w = source.next_u64();
        double a = -0.0;
        double w_sum = -0.0;
        for (std::uint64_t u = 0; u < g; ++u) {
            const bool minus = (words[u / 64] >> (u % 64)) & 1;
            a = a + (minus ? -totals[u] : totals[u]);
            w_sum = w_sum + (minus ? -sizes[u] : sizes[u]);
        }
        flips.sums.push_back(a);
        flips.sizes.push_back(w_sum);
        interrupt.add(2 * g);
    }
    return flips;
}

struct Observed {
    double total;
    double size;
};

// The share of flips at least as extreme as the observed under null mean m:
// the exact share when enumerated, else (1 + count) / (1 + R).
double p_value_at(const Flips& flips, Observed observed, double m) {
    double reference = std::abs(observed.total - m * observed.size);
    std::uint64_t count = 0;
    if (std::isfinite(reference)) {
        for (std::size_t f = 0; f < flips.sums.size(); ++f)
            count += std::abs(flips.sums[f] - m * flips.sizes[f]) >= reference;
    } else {
        // Past the floats every flip would tie the observed at infinity. The
        // same comparisons in units of 2^-k with N < 2^(k-2), where no
        // product or difference overflows and scaling a double is exact.
        const double unit = std::ldexp(1.0, -(std::ilogb(observed.size) + 3));
        const double scaled_m = m * unit;
        reference = std::abs(observed.total * unit - scaled_m * observed.size);
        for (std::size_t f = 0; f < flips.sums.size(); ++f)
            count += std::abs(flips.sums[f] * unit - scaled_m * flips.sizes[f]) >= reference;
    }
    const double flips_count = static_cast<double>(flips.sums.size());
    if (flips.enumerated) return static_cast<double>(count) / flips_count;
    return (1.0 + static_cast<double>(count)) / (1.0 + flips_count);
}

// The bound of the accepted set on one side (direction +1 or -1) of the
// accepted centre: infinite when no m that way is rejected.
double bound(const Flips& flips, Observed observed, double centre, double scale, double direction,
             double alpha, InterruptCheck& interrupt) {
    // Far enough out, only the patterns flipping every sign or none tie the
    // observed; when they alone reach alpha nothing is ever rejected.
    std::uint64_t extreme = 0;
    for (double w : flips.sizes) extreme += std::abs(w) == observed.size;
    const double flips_count = static_cast<double>(flips.sums.size());
    const double limit = flips.enumerated ? static_cast<double>(extreme) / flips_count
                                          : (1.0 + static_cast<double>(extreme)) / (1.0 + flips_count);
    if (limit >= alpha) return direction * infinity;

    // The first step stays among the floats: an infinite first m would end
    // the bisection at once, with the bound at the centre.
    double accepted = centre;
    double step = std::min(scale, std::numeric_limits<double>::max());
    while (!std::isfinite(centre + direction * step)) step /= 2.0;
    double rejected = centre + direction * step;
    while (p_value_at(flips, observed, rejected) >= alpha) {
        accepted = rejected;
        step *= 2.0;
        rejected = centre + direction * step;
        if (!std::isfinite(rejected)) return direction * infinity;
        interrupt.add(flips.sums.size());
    }
    for (;;) {
        const double middle = accepted + (rejected - accepted) / 2.0;
        if (middle == accepted || middle == rejected) return accepted;
        if (p_value_at(flips, observed, middle) >= alpha) accepted = middle;
        else rejected = middle;
        interrupt.add(flips.sums.size());
    }
}

}  // namespace

Result<SignFlipOutcome, SignFlipError> sign_flip_test(std::span<const double> totals,
                                                      std::span<const double> sizes, std::uint64_t n_resamples,
                                                      double confidence_level, std::uint64_t seed,
                                                      InterruptCheck interrupt) {
    if (totals.empty()) return std::unexpected(Error::EmptyTotals);
    if (sizes.size() != totals.size()) return std::unexpected(Error::SizeLengthMismatch);
    for (double n : sizes)
        if (!(n >= 1.0) || n != std::floor(n) || n > 0x1p53) return std::unexpected(Error::InvalidSizes);
    if (!(confidence_level > 0.0) || !(confidence_level < 1.0))
        return std::unexpected(Error::InvalidConfidenceLevel);
    if (n_resamples == 0) return std::unexpected(Error::InvalidResampleCount);
    for (double t : totals)
        if (!std::isfinite(t)) return std::unexpected(Error::NonFiniteTotals);
    // No flip's sum is larger than the sum of the magnitudes.
    Observed observed{-0.0, -0.0};
    double magnitudes = -0.0;
    for (std::size_t g = 0; g < totals.size(); ++g) {
        observed.total = observed.total + totals[g];
        observed.size = observed.size + sizes[g];
        magnitudes = magnitudes + std::abs(totals[g]);
    }
    if (!std::isfinite(magnitudes)) return std::unexpected(Error::TotalsTooLarge);

    const Flips flips = make_flips(totals, sizes, n_resamples, seed, interrupt);

    // One magnitude among the nonzero totals: the flip distribution is a
    // binomial, whose tail is exact for any number of units.
    std::uint64_t positive = 0;
    std::uint64_t negative = 0;
    double magnitude = 0.0;
    bool one_magnitude = true;
    for (double t : totals) {
        if (t == 0.0) continue;
        if (magnitude == 0.0) magnitude = std::abs(t);
        one_magnitude = one_magnitude && std::abs(t) == magnitude;
        (t > 0.0 ? positive : negative) += 1;
    }
    const bool binomial = one_magnitude;
    double p_value;
    if (binomial) {
        const std::uint64_t fewer = std::min(positive, negative);
        p_value = positive == negative ? 1.0 : std::min(1.0, 2.0 * binomial_half_cdf(fewer, positive + negative));
    } else {
        p_value = p_value_at(flips, observed, 0.0);
    }

    const double alpha = 1.0 - confidence_level;
    const double centre = observed.total / observed.size;
    double scale = 0.0;
    for (std::size_t g = 0; g < totals.size(); ++g) scale = std::max(scale, std::abs(totals[g] / sizes[g] - centre));
    if (!(scale > 0.0)) scale = std::max(std::abs(centre), 1.0);
    double lower = centre;
    double upper = centre;
    if (p_value_at(flips, observed, centre) >= alpha) {
        lower = bound(flips, observed, centre, scale, -1.0, alpha, interrupt);
        upper = bound(flips, observed, centre, scale, 1.0, alpha, interrupt);
    }
    return SignFlipOutcome{p_value, lower, upper, confidence_level, flips.sums.size(), flips.enumerated, binomial};
}

}  // namespace mirabund_core::sign_flip
