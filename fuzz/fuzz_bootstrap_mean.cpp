// Block bootstrap with the library's mean: checks in their order, the point
// estimate, the interval, reproducibility for a seed, and the mean's own fast
// path against the general resampling path with the same mean.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bootstrap.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace mirabund_core::bootstrap;
using Kind = BootstrapError::Kind;
using Outcome = mirabund_core::Result<BootstrapOutcome, BootstrapError>;

// The mean through a statistic of another type, so the engine resamples into
// its buffer instead of summing in place.
struct BufferedMean {
    std::expected<double, std::string> operator()(std::span<const double> values) const { return mean(values); }
};

bool same_outcome(const Outcome& a, const Outcome& b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return a.error() == b.error();
    return fuzz::same(a->point_estimate, b->point_estimate) && fuzz::same(a->ci_lower, b->ci_lower) &&
           fuzz::same(a->ci_upper, b->ci_upper) && fuzz::same(a->confidence_level, b->confidence_level) &&
           a->n_resamples == b->n_resamples;
}

std::string describe(const Outcome& r) {
    if (!r) return "error: " + display_text(r.error());
    return "point " + fuzz::show(r->point_estimate) + ", ci " + fuzz::show(r->ci_lower) + " .. " +
           fuzz::show(r->ci_upper);
}

// Runs the bootstrap; a panic is an accepted outcome only when it is the
// sort meeting a NaN, which the mean yields only from non-finite data.
template <class Statistic>
std::optional<Outcome> run(const std::vector<double>& data, std::uint64_t block_size, std::uint64_t n_resamples,
                           double level, std::optional<std::uint64_t> seed) {
    try {
        return block_bootstrap(data, block_size, n_resamples, level, Statistic{}, seed);
    } catch (const mirabund_core::Panic& p) {
        FUZZ_CHECK(p.message == "statistic produced NaN", p.message);
        FUZZ_CHECK(!fuzz::all_finite(data), "NaN mean from finite data");
        FUZZ_CHECK(n_resamples >= 2, "a single statistic is never compared");
        return std::nullopt;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    const std::vector<double> data = in.numbers(in.below(41));
    const std::uint64_t n = data.size();
    // Around the valid range, 0 and n + 1 included; now and then far out.
    const std::uint64_t block_size = (flags & 1) ? in.u64() : in.below(n + 2);
    const std::uint64_t n_resamples = in.below(65);
    const double level = in.unit();
    const std::optional<std::uint64_t> seed =
        (flags & 2) ? std::nullopt : std::optional<std::uint64_t>(in.u64());

    std::optional<Kind> expected_error;
    if (n == 0) expected_error = Kind::EmptyData;
    else if (block_size == 0 || block_size > n) expected_error = Kind::InvalidBlockSize;
    else if (!(level > 0.0 && level < 1.0)) expected_error = Kind::InvalidConfidenceLevel;
    else if (n_resamples == 0) expected_error = Kind::InvalidResampleCount;

    const std::optional<Outcome> result = run<Mean>(data, block_size, n_resamples, level, seed);
    if (expected_error) {
        FUZZ_CHECK(result && !result->has_value(), "expected an error");
        FUZZ_CHECK(result->error().kind == *expected_error && result->error().text.empty(), describe(*result));
        return 0;
    }
    if (result) {
        FUZZ_CHECK(result->has_value(), describe(*result));
        const BootstrapOutcome& out = **result;
        FUZZ_CHECK(fuzz::same(out.point_estimate, fuzz::literal_mean(data)), describe(*result));
        FUZZ_CHECK(fuzz::same(out.confidence_level, level) && out.n_resamples == n_resamples, describe(*result));
        if (!std::isnan(out.ci_lower) && !std::isnan(out.ci_upper))
            FUZZ_CHECK(out.ci_lower <= out.ci_upper, describe(*result));
        else
            FUZZ_CHECK(n_resamples == 1 || !fuzz::all_finite(data), describe(*result));
        // One block covers the series: every resample is the series itself.
        if (block_size == n) {
            FUZZ_CHECK(fuzz::same(out.ci_lower, out.point_estimate) && fuzz::same(out.ci_upper, out.point_estimate),
                       describe(*result));
        }
    }

    if (seed) {
        const std::optional<Outcome> again = run<Mean>(data, block_size, n_resamples, level, seed);
        FUZZ_CHECK(result.has_value() == again.has_value(), "the same seed panicked once");
        if (result) FUZZ_CHECK(same_outcome(*result, *again), describe(*result) + " then " + describe(*again));

        const std::optional<Outcome> buffered = run<BufferedMean>(data, block_size, n_resamples, level, seed);
        FUZZ_CHECK(result.has_value() == buffered.has_value(), "only one of the two mean paths panicked");
        if (result)
            FUZZ_CHECK(same_outcome(*result, *buffered),
                       "fast path " + describe(*result) + ", buffered path " + describe(*buffered));
    }
    return 0;
}
