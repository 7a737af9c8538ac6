#include "core/cluster_bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>

#include "core/bootstrap.hpp"

namespace mirabund_core::cluster_bootstrap {

std::string_view display_text(ClusterBootstrapError error) {
    switch (error) {
        case ClusterBootstrapError::EmptyValues:
            return "values must not be empty";
        case ClusterBootstrapError::ClusterLengthMismatch:
            return "clusters must hold one code per value";
        case ClusterBootstrapError::InvalidClusterCodes:
            return "clusters must be codes 0 .. k-1, each used at least once";
        case ClusterBootstrapError::TooFewValues:
            return "values must hold at least 2 items";
        case ClusterBootstrapError::TooFewClusters:
            return "clusters must hold at least 2 distinct codes";
        case ClusterBootstrapError::InvalidConfidenceLevel:
            return "confidence_level must be in (0.0, 1.0)";
        case ClusterBootstrapError::InvalidResampleCount:
            return "n_resamples must be >= 1";
    }
    return {};
}

namespace {

using Error = ClusterBootstrapError;

// Sums of term(x) per cluster, each in one accumulator from -0.0 in input
// order.
template <class Term>
std::vector<double> sums_per_cluster(std::span<const double> values, std::span<const std::uint64_t> clusters,
                                     std::uint64_t n_clusters, Term term) {
    std::vector<double> sums(n_clusters, -0.0);
    for (std::size_t i = 0; i < values.size(); ++i) sums[clusters[i]] = sums[clusters[i]] + term(values[i]);
    return sums;
}

struct Spread {
    double mean;
    double standard_deviation;
};

// Expects at least 2 values.
Spread spread_of(std::span<const double> values) {
    const double mean = *bootstrap::mean(values);
    double squares = -0.0;
    for (double x : values) {
        const double d = x - mean;
        squares = squares + d * d;
    }
    return {mean, std::sqrt(squares / static_cast<double>(values.size() - 1))};
}

// Appends the statistics of `width` consecutive resamples. All their draws
// are made first, in the fixed order, into draws (room for width * k), in one
// batch; then one pass adds each resample's totals to its own sum, in its
// own draw order: the sums do not wait on one another, while one sum alone
// waits on every addition.
template <std::uint64_t width>
void append_group_means(const ClusterTotals& clusters, random::RandomSource& source, std::uint64_t* draws,
                        std::vector<double>& statistics, InterruptCheck& interrupt) {
    const std::uint64_t k = clusters.totals.size();
    const double* totals = clusters.totals.data();
    const std::uint64_t* sizes = clusters.sizes.data();
    source.gen_range_fill(0, k - 1, std::span<std::uint64_t>(draws, width * k));
    double sums[width];
    std::uint64_t counts[width];
    for (std::uint64_t r = 0; r < width; ++r) {
        sums[r] = -0.0;
        counts[r] = 0;
    }
    for (std::uint64_t j = 0; j < k; ++j) {
        for (std::uint64_t r = 0; r < width; ++r) {
            const std::uint64_t c = draws[r * k + j];
            sums[r] = sums[r] + totals[c];
            counts[r] += sizes[c];
        }
    }
    for (std::uint64_t r = 0; r < width; ++r) statistics.push_back(sums[r] / static_cast<double>(counts[r]));
    // A draw costs a few additions.
    interrupt.add(width * 5 * k);
}

}  // namespace

// The largest code is checked against n first:
// n items cannot use more than n codes, and no table larger than the input
// is made.
Result<std::uint64_t, Error> count_clusters(std::span<const double> values,
                                            std::span<const std::uint64_t> clusters) {
    if (values.empty()) return std::unexpected(Error::EmptyValues);
    if (clusters.size() != values.size()) return std::unexpected(Error::ClusterLengthMismatch);
    const std::uint64_t largest = *std::max_element(clusters.begin(), clusters.end());
    if (largest >= clusters.size()) return std::unexpected(Error::InvalidClusterCodes);
    std::vector<bool> used(largest + 1);
    for (std::uint64_t code : clusters) used[code] = true;
    if (std::find(used.begin(), used.end(), false) != used.end())
        return std::unexpected(Error::InvalidClusterCodes);
    return largest + 1;
}

ClusterTotals cluster_totals(std::span<const double> values, std::span<const std::uint64_t> clusters,
                             std::uint64_t n_clusters) {
    ClusterTotals out{sums_per_cluster(values, clusters, n_clusters, [](double x) { return x; }),
                      std::vector<std::uint64_t>(n_clusters, 0)};
    for (std::uint64_t code : clusters) ++out.sizes[code];
    return out;
}

void append_resample_means(const ClusterTotals& clusters, std::uint64_t n_resamples,
                           random::RandomSource& source, std::vector<double>& statistics,
                           InterruptCheck& interrupt) {
    // Groups of up to 8 resamples side by side while their draws stay within
    // a cache's reach (many clusters leave few resamples in a group, and
    // there the draws cost far more than the additions anyway), then
    // narrower groups for the rest, in resample order. The buffer holds no
    // more draws than that, or than there are clusters.
    constexpr std::uint64_t most_draws = std::uint64_t{1} << 16;
    const std::uint64_t k = clusters.totals.size();
    std::uint64_t width = 8;
    while (width > 1 && width > most_draws / k) width /= 2;
    const auto draws = std::make_unique_for_overwrite<std::uint64_t[]>(width * k);

    std::uint64_t left = n_resamples;
    for (; width == 8 && left >= 8; left -= 8)
        append_group_means<8>(clusters, source, draws.get(), statistics, interrupt);
    for (; width >= 4 && left >= 4; left -= 4)
        append_group_means<4>(clusters, source, draws.get(), statistics, interrupt);
    for (; width >= 2 && left >= 2; left -= 2)
        append_group_means<2>(clusters, source, draws.get(), statistics, interrupt);
    for (; left >= 1; left -= 1)
        append_group_means<1>(clusters, source, draws.get(), statistics, interrupt);
}

Result<ClusterBootstrapOutcome, ClusterBootstrapError> cluster_bootstrap_mean(
    std::span<const double> values, std::span<const std::uint64_t> clusters, std::uint64_t n_resamples,
    double confidence_level, std::uint64_t seed, InterruptCheck interrupt) {
    const Result<std::uint64_t, Error> k = count_clusters(values, clusters);
    if (!k) return std::unexpected(k.error());
    if (*k < 2) return std::unexpected(Error::TooFewClusters);
    if (!(confidence_level > 0.0) || !(confidence_level < 1.0))
        return std::unexpected(Error::InvalidConfidenceLevel);
    if (n_resamples == 0) return std::unexpected(Error::InvalidResampleCount);

    const ClusterTotals totals = cluster_totals(values, clusters, *k);
    // k draws count at most k * n items: far inside 64 bits for any n that
    // fits in memory, checked all the same.
    if (*k > std::numeric_limits<std::uint64_t>::max() / values.size()) panic("too many items to count");
    interrupt.add(values.size());

    std::vector<double> statistics;
    bootstrap::reserve_storage(statistics, n_resamples);
    random::RandomSource source = random::RandomSource::seed_from_u64(seed);
    append_resample_means(totals, n_resamples, source, statistics, interrupt);

    const bootstrap::Interval interval = bootstrap::percentile_interval(statistics, confidence_level);
    return ClusterBootstrapOutcome{*bootstrap::mean(values), interval.lower, interval.upper,
                                   confidence_level, n_resamples, values.size(), *k};
}

Result<MeanStandardErrorOutcome, ClusterBootstrapError> mean_standard_error(std::span<const double> values) {
    if (values.empty()) return std::unexpected(Error::EmptyValues);
    if (values.size() < 2) return std::unexpected(Error::TooFewValues);
    const Spread s = spread_of(values);
    const double n = static_cast<double>(values.size());
    const double standard_error = s.standard_deviation / std::sqrt(n);
    return MeanStandardErrorOutcome{s.mean,  s.standard_deviation, standard_error, standard_error,
                                    n - 1.0, values.size(),        values.size()};
}

Result<MeanStandardErrorOutcome, ClusterBootstrapError> mean_standard_error(
    std::span<const double> values, std::span<const std::uint64_t> clusters) {
    const Result<std::uint64_t, Error> k = count_clusters(values, clusters);
    if (!k) return std::unexpected(k.error());
    if (values.size() < 2) return std::unexpected(Error::TooFewValues);
    if (*k < 2) return std::unexpected(Error::TooFewClusters);

    const Spread s = spread_of(values);
    const double mean = s.mean;
    const std::vector<double> residuals =
        sums_per_cluster(values, clusters, *k, [mean](double x) { return x - mean; });
    double squares = -0.0;
    for (double r : residuals) squares = squares + r * r;
    const double k_over = static_cast<double>(*k) / static_cast<double>(*k - 1);
    const double n = static_cast<double>(values.size());
    const double standard_error = std::sqrt(k_over * squares) / n;

    std::vector<std::uint64_t> sizes(*k, 0);
    for (std::uint64_t code : clusters) ++sizes[code];
    double scaled_squares = -0.0;
    std::vector<double> shares(*k);
    std::vector<double> leverages(*k);
    double leverage_total = -0.0;
    for (std::uint64_t c = 0; c < *k; ++c) {
        // k >= 2 leaves every cluster some items outside it, so q > 0.
        const double outside = static_cast<double>(values.size() - sizes[c]) / n;
        scaled_squares = scaled_squares + residuals[c] * residuals[c] / outside;
        shares[c] = static_cast<double>(sizes[c]) / n;
        leverages[c] = shares[c] * shares[c] / outside;
        leverage_total = leverage_total + leverages[c];
    }
    double trace = -0.0;
    for (std::uint64_t c = 0; c < *k; ++c)
        trace = trace + (shares[c] * shares[c] + leverages[c] * (leverage_total - leverages[c]));
    return MeanStandardErrorOutcome{mean,        s.standard_deviation, standard_error,
                                    std::sqrt(scaled_squares) / n,        1.0 / trace,
                                    values.size(), *k};
}

}  // namespace mirabund_core::cluster_bootstrap
