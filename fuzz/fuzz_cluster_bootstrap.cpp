// Whole-cluster bootstrap of the mean and the standard errors: checks in
// their order, the point estimate, an ordered interval within the range the
// cluster means allow, reproducibility for a seed, the batched draws against
// literal ones, and the cluster-robust standard error against the plain one
// when every item is a cluster of its own.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/cluster_bootstrap.hpp"
#include "fuzz/fuzz_input.hpp"
#include "tests/core/cluster_reference.hpp"

namespace {

using namespace mirabund_core::cluster_bootstrap;
using mirabund_core::random::RandomSource;
using Error = ClusterBootstrapError;
using Outcome = mirabund_core::Result<ClusterBootstrapOutcome, ClusterBootstrapError>;

// Codes in order of first appearance, as the Python package makes them.
std::vector<std::uint64_t> factorized(const std::vector<std::uint64_t>& codes) {
    std::vector<std::uint64_t> seen;
    std::vector<std::uint64_t> out;
    for (std::uint64_t c : codes) {
        const auto at = std::find(seen.begin(), seen.end(), c);
        out.push_back(static_cast<std::uint64_t>(at - seen.begin()));
        if (at == seen.end()) seen.push_back(c);
    }
    return out;
}

std::string describe(const Outcome& r) {
    if (!r) return std::string("error: ") + std::string(display_text(r.error()));
    return "point " + fuzz::show(r->point_estimate) + ", ci " + fuzz::show(r->ci_lower) + " .. " +
           fuzz::show(r->ci_upper);
}

std::optional<Outcome> run(const std::vector<double>& data, const std::vector<std::uint64_t>& codes,
                           std::uint64_t n_resamples, double level, std::uint64_t seed) {
    try {
        return cluster_bootstrap_mean(data, codes, n_resamples, level, seed);
    } catch (const mirabund_core::Panic& p) {
        FUZZ_CHECK(p.message == "statistic produced NaN", p.message);
        return std::nullopt;
    }
}

void check_interval(const std::vector<double>& data, const std::vector<std::uint64_t>& codes, std::uint64_t k,
                    std::uint64_t n_resamples, double level, std::uint64_t seed,
                    const std::optional<Outcome>& result) {
    const ClusterTotals clusters = cluster_totals(data, codes, k);
    std::vector<double> literal = reference::literal_statistics(clusters, n_resamples, seed);
    const bool has_nan = std::any_of(literal.begin(), literal.end(), [](double s) { return std::isnan(s); });
    FUZZ_CHECK(result.has_value() == !(has_nan && n_resamples >= 2), "panicked unlike the literal statistics");
    if (!result) return;
    FUZZ_CHECK(result->has_value(), describe(*result));
    const ClusterBootstrapOutcome& out = **result;
    FUZZ_CHECK(fuzz::same(out.point_estimate, fuzz::literal_mean(data)), describe(*result));
    FUZZ_CHECK(fuzz::same(out.confidence_level, level) && out.n_resamples == n_resamples &&
                   out.n_items == data.size() && out.n_clusters == k,
               describe(*result));

    mirabund_core::bootstrap::sort_statistics(literal);
    const auto at = mirabund_core::bootstrap::percentile_indices(level, n_resamples);
    FUZZ_CHECK(fuzz::same(out.ci_lower, literal[at.lower]) && fuzz::same(out.ci_upper, literal[at.upper]),
               describe(*result) + ", literal " + fuzz::show(literal[at.lower]) + " .. " +
                   fuzz::show(literal[at.upper]));
    if (std::isnan(out.ci_lower) || std::isnan(out.ci_upper)) return;
    FUZZ_CHECK(out.ci_lower <= out.ci_upper, describe(*result));

    // Each statistic weighs the cluster means by their sizes, so it lies
    // between the smallest and the largest, up to the rounding of k additions.
    double largest_total = 0.0;
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::uint64_t c = 0; c < k; ++c) {
        largest_total = std::max(largest_total, std::fabs(clusters.totals[c]));
        const double mean = clusters.totals[c] / static_cast<double>(clusters.sizes[c]);
        low = std::min(low, mean);
        high = std::max(high, mean);
    }
    // Sums of k totals may overflow where no total does.
    if (!std::isfinite(static_cast<double>(k) * largest_total) || !std::isfinite(low) || !std::isfinite(high))
        return;
    const double slack = static_cast<double>(k + 2) * std::numeric_limits<double>::epsilon() *
                         std::max({largest_total, std::fabs(low), std::fabs(high)});
    FUZZ_CHECK(out.ci_lower >= low - slack && out.ci_upper <= high + slack,
               describe(*result) + ", cluster means " + fuzz::show(low) + " .. " + fuzz::show(high));
}

void check_standard_errors(const std::vector<double>& data, const std::vector<std::uint64_t>& codes,
                           std::optional<Error> expected_error, std::uint64_t k) {
    const auto clustered = mean_standard_error(data, codes);
    if (expected_error) {
        FUZZ_CHECK(!clustered && clustered.error() == *expected_error, "expected an error");
        return;
    }
    FUZZ_CHECK(clustered.has_value(), std::string(display_text(clustered.error())));
    const auto plain = mean_standard_error(data);
    FUZZ_CHECK(plain.has_value(), "plain standard error refused what the clustered one took");
    FUZZ_CHECK(fuzz::same(clustered->mean, fuzz::literal_mean(data)) && fuzz::same(plain->mean, clustered->mean),
               fuzz::show(clustered->mean));
    FUZZ_CHECK(fuzz::same(plain->standard_deviation, clustered->standard_deviation), "two standard deviations");
    FUZZ_CHECK(clustered->n_clusters == k && plain->n_clusters == data.size(), "cluster counts");
    FUZZ_CHECK(!(clustered->standard_error < 0.0) && !(plain->standard_error < 0.0), "negative standard error");

    // Clusters of one item in input order: the same squares in the same
    // order, only the last steps round differently.
    const double se = plain->standard_error;
    if (k == data.size() && codes == factorized(codes) && se > 1e-140 && se < 1e140)
        FUZZ_CHECK(std::fabs(clustered->standard_error - se) <= 1e-14 * se,
                   fuzz::show(clustered->standard_error) + " vs plain " + fuzz::show(se));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    const std::vector<double> data = in.numbers(in.below(41));
    const std::size_t n = data.size();
    // Codes below a bound around n (some unused, some too large), as the
    // package makes them, or anything at all; now and then one too few or
    // too many.
    const std::uint64_t bound = 1 + in.below(n + 2);
    std::vector<std::uint64_t> codes(n);
    for (std::uint64_t& c : codes) c = (flags & 4) ? in.u64() : in.below(bound);
    if (flags & 8) codes = factorized(codes);
    if (flags & 16) {
        if (flags & 32) codes.push_back(0);
        else if (!codes.empty()) codes.pop_back();
    }
    const std::uint64_t n_resamples = in.below(65);
    const double level = in.unit();
    const std::uint64_t seed = in.u64();

    const std::set<std::uint64_t> used(codes.begin(), codes.end());
    const std::uint64_t k = used.size();
    std::optional<Error> error;
    if (n == 0) error = Error::EmptyValues;
    else if (codes.size() != n) error = Error::ClusterLengthMismatch;
    else if (*used.rbegin() != k - 1) error = Error::InvalidClusterCodes;
    std::optional<Error> se_error = error;
    if (!error && n < 2) se_error = Error::TooFewValues;
    else if (!error && k < 2) se_error = Error::TooFewClusters;
    if (!error && k < 2) error = Error::TooFewClusters;
    else if (!error && !(level > 0.0 && level < 1.0)) error = Error::InvalidConfidenceLevel;
    else if (!error && n_resamples == 0) error = Error::InvalidResampleCount;

    check_standard_errors(data, codes, se_error, k);

    const std::optional<Outcome> result = run(data, codes, n_resamples, level, seed);
    if (error) {
        FUZZ_CHECK(result && !result->has_value() && result->error() == *error,
                   result ? describe(*result) : "panic");
        return 0;
    }
    check_interval(data, codes, k, n_resamples, level, seed, result);

    const std::optional<Outcome> again = run(data, codes, n_resamples, level, seed);
    FUZZ_CHECK(result.has_value() == again.has_value(), "the same seed panicked once");
    if (result)
        FUZZ_CHECK(fuzz::same((*result)->ci_lower, (*again)->ci_lower) &&
                       fuzz::same((*result)->ci_upper, (*again)->ci_upper),
                   describe(*result) + " then " + describe(*again));
    return 0;
}
