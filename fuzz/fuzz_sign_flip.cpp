// Sign-flip test: checks in their order, the p-value against the literal
// flips (or the exact binomial tail), ordered bounds around D / N, each
// finite bound the last accepted value before a rejected one, infinite
// bounds only where the patterns flipping all signs or none reach alpha,
// and reproducibility for a seed. Enumerated runs keep to 8 units and
// drawn ones to 64 patterns, so each input is cheap even where a bound
// is bisected down to 0 through every binade.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/sign_flip.hpp"
#include "fuzz/fuzz_input.hpp"
#include "tests/core/sign_flip_reference.hpp"

namespace {

using namespace mirabund_core::sign_flip;
using Error = SignFlipError;
using Outcome = mirabund_core::Result<SignFlipOutcome, SignFlipError>;
constexpr double inf = std::numeric_limits<double>::infinity();

std::string describe(const Outcome& r) {
    if (!r) return std::string("error: ") + std::string(display_text(r.error()));
    return "p " + fuzz::show(r->p_value) + ", ci " + fuzz::show(r->ci_lower) + " .. " + fuzz::show(r->ci_upper) +
           ", flips " + std::to_string(r->n_flips) + (r->binomial ? ", binomial" : "");
}

std::optional<Error> expected_error(const std::vector<double>& totals, const std::vector<double>& sizes,
                                    std::uint64_t n_resamples, double level) {
    if (totals.empty()) return Error::EmptyTotals;
    if (sizes.size() != totals.size()) return Error::SizeLengthMismatch;
    for (double n : sizes)
        if (!(n >= 1.0 && n <= 0x1p53 && std::trunc(n) == n)) return Error::InvalidSizes;
    if (!(level > 0.0 && level < 1.0)) return Error::InvalidConfidenceLevel;
    if (n_resamples == 0) return Error::InvalidResampleCount;
    if (!fuzz::all_finite(totals)) return Error::NonFiniteTotals;
    double magnitudes = -0.0;
    for (double t : totals) magnitudes = magnitudes + std::fabs(t);
    if (!std::isfinite(magnitudes)) return Error::TotalsTooLarge;
    return std::nullopt;
}

void check_p_value(const std::vector<double>& totals, const reference::LiteralFlips& flips, const Outcome& result) {
    std::uint64_t positive = 0;
    std::uint64_t negative = 0;
    std::vector<double> magnitudes;
    for (double t : totals) {
        if (t == 0.0) continue;
        (t > 0.0 ? positive : negative) += 1;
        magnitudes.push_back(std::fabs(t));
    }
    const bool one_magnitude = std::all_of(magnitudes.begin(), magnitudes.end(),
                                           [&](double m) { return m == magnitudes.front(); });
    FUZZ_CHECK(result->binomial == one_magnitude, describe(result));
    FUZZ_CHECK(result->p_value >= 0.0 && result->p_value <= 1.0, describe(result));
    const double literal = reference::literal_p_value(flips, 0.0);
    if (!one_magnitude) {
        FUZZ_CHECK(fuzz::same(result->p_value, literal), describe(result) + ", literal " + fuzz::show(literal));
        return;
    }
    if (positive + negative <= 62)
        FUZZ_CHECK(fuzz::same(result->p_value, reference::exact_binomial_p_value(positive, negative)), describe(result));
    // Sums of a power of two's multiples are exact, so the flips' share is
    // the same tail.
    const double magnitude = magnitudes.empty() ? 1.0 : magnitudes.front();
    int exponent = 0;
    const bool power_of_two = std::frexp(magnitude, &exponent) == 0.5 && exponent > -900 && exponent < 900;
    if (flips.enumerated && power_of_two)
        FUZZ_CHECK(fuzz::same(result->p_value, literal), describe(result) + ", flips' share " + fuzz::show(literal));
}

// False where the interval is the centre standing in for a rejected one.
bool check_bounds(const std::vector<double>& totals, const reference::LiteralFlips& flips, double level,
                  const Outcome& result) {
    const double lower = result->ci_lower;
    const double upper = result->ci_upper;
    const double centre = flips.total / flips.size;
    FUZZ_CHECK(!std::isnan(lower) && !std::isnan(upper) && lower <= centre && centre <= upper,
               describe(result) + ", centre " + fuzz::show(centre));
    const double alpha = 1.0 - level;
    // Equal unit means: the centre stands for the interval even where
    // rounding rejects it.
    if (lower == centre && upper == centre && reference::literal_p_value(flips, centre) < alpha) return false;

    // Far out only the patterns with |W_s| = N tie the observed.
    std::uint64_t extreme = 0;
    for (double w : flips.sizes) extreme += std::fabs(w) == flips.size;
    const double patterns = static_cast<double>(flips.sizes.size());
    const double limit = flips.enumerated ? static_cast<double>(extreme) / patterns
                                          : (1.0 + static_cast<double>(extreme)) / (1.0 + patterns);
    for (const double bound : {lower, upper}) {
        const double outward_limit = bound == lower ? -inf : inf;
        if (std::isinf(bound)) {
            // Reached by doubling out of the floats or because nothing is
            // ever rejected; the latter alone where no sum can overflow.
            const bool moderate = std::all_of(totals.begin(), totals.end(), [](double t) { return std::fabs(t) < 1e200; });
            if (moderate && limit < alpha) {
                const double far = std::copysign(1e250, outward_limit);
                FUZZ_CHECK(reference::literal_p_value(flips, far) < alpha,
                           describe(result) + ", limit " + fuzz::show(limit));
            }
            continue;
        }
        const double outward = std::nextafter(bound, outward_limit);
        FUZZ_CHECK(reference::literal_p_value(flips, bound) >= alpha,
                   describe(result) + ", p at the bound " + fuzz::show(reference::literal_p_value(flips, bound)));
        FUZZ_CHECK(reference::literal_p_value(flips, outward) < alpha,
                   describe(result) + ", p past the bound " + fuzz::show(reference::literal_p_value(flips, outward)));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    const bool drawn = flags & 1;
    const std::size_t g = drawn ? 17 + in.below(48) : in.below(9);
    std::vector<double> totals(g);
    if (flags & 2) {
        // Wins, losses and ties of one magnitude (McNemar's pairs).
        const double magnitude = in.number();
        const double zero = (flags & 32) ? -0.0 : 0.0;
        for (double& t : totals) t = std::array<double, 3>{zero, magnitude, -magnitude}[in.below(3)];
    } else {
        totals = in.numbers(g);
    }
    std::vector<double> sizes(g);
    if (flags & 4) sizes = in.numbers(g);
    else
        for (double& n : sizes) n = static_cast<double>(1 + in.below(4));
    if (flags & 8) {
        if (flags & 16) sizes.push_back(1.0);
        else if (!sizes.empty()) sizes.pop_back();
    }
    const std::uint64_t n_resamples = in.below(65);
    const double level = in.unit();
    const std::uint64_t seed = in.u64();

    const Outcome result = sign_flip_test(totals, sizes, n_resamples, level, seed);
    const std::optional<Error> error = expected_error(totals, sizes, n_resamples, level);
    if (error) {
        FUZZ_CHECK(!result && result.error() == *error,
                   describe(result) + ", expected " + std::string(display_text(*error)));
        return 0;
    }
    FUZZ_CHECK(result.has_value(), describe(result));
    FUZZ_CHECK(result->enumerated == (g <= enumerated_units) &&
                   result->n_flips == (g <= enumerated_units ? std::uint64_t{1} << g : n_resamples) &&
                   fuzz::same(result->confidence_level, level),
               describe(result));
    const reference::LiteralFlips flips = reference::literal_flips(totals, sizes, n_resamples, seed);
    check_p_value(totals, flips, result);
    const bool inverted = check_bounds(totals, flips, level, result);
    if (inverted && !result->binomial)
        FUZZ_CHECK((result->ci_lower <= 0.0 && 0.0 <= result->ci_upper) == (result->p_value >= 1.0 - level),
                   describe(result));

    if (result->enumerated) return 0;  // the seed draws nothing
    const Outcome again = sign_flip_test(totals, sizes, n_resamples, level, seed);
    FUZZ_CHECK(again && fuzz::same(again->p_value, result->p_value) && fuzz::same(again->ci_lower, result->ci_lower) &&
                   fuzz::same(again->ci_upper, result->ci_upper),
               describe(result) + " then " + describe(again));
    return 0;
}
