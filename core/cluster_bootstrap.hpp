// The mean of items that come in clusters: a percentile interval from
// resampling whole clusters with replacement, and the standard error with
// and without cluster-robust correction.
//
// Items are given as values with one cluster code each; the k clusters are
// the codes 0 .. k-1, each used at least once, in any order of the items.
//
// Order of operations, which fixes every bit:
//   mean       = (-0.0 + x_1 + ... + x_n) / n, in input order (bootstrap::mean)
//   T_c, N_c   = the total and the count of cluster c's values, its total in
//                one accumulator from -0.0 in input order
//   resample   = k draws j_1 .. j_k, each gen_range(0, k-1), all draws of a
//                resample before the next one's, from a source seeded once
//   statistic  = (-0.0 + T_j1 + ... + T_jk) / double(N_j1 + ... + N_jk),
//                the counts summed as integers
//   interval   = the statistics ordered and picked at the percentile indices
//                exactly as the block bootstrap does
//   sd         = sqrt((-0.0 + (x_1 - mean)^2 + ... + (x_n - mean)^2) / (n - 1)),
//                each square d * d with d = x_i - mean
//   plain se   = sd / sqrt(n)
//   R_c        = -0.0 + (x_i - mean) + ... over cluster c's items in input order
//   S          = -0.0 + R_0 * R_0 + ... + R_{k-1} * R_{k-1}, in code order
//   cluster se = sqrt((k / (k - 1)) * S) / n
//   q_c        = double(n - N_c) / n, the share of items outside cluster c
//   S2         = -0.0 + R_0 * R_0 / q_0 + ... in code order
//   cr2 se     = sqrt(S2) / n
//   u_c        = (p_c * p_c) / q_c with p_c = double(N_c) / n
//   U          = -0.0 + u_0 + ... in code order
//   trace      = -0.0 + (p_c * p_c + u_c * (U - u_c)) + ... in code order
//   df         = 1 / trace
// with n, k and k - 1 converted to double before they take part. Without
// clusters every item is its own cluster for the CR2 terms, which reduce to
// the plain se and n - 1 degrees of freedom; those are returned exactly.
//
// CR2 is the bias-reduced cluster-robust variance of a constant-only model
// (each cluster's residual total scaled by (1 - N_c / n)^(-1/2)), and df the
// Bell-McCaffrey degrees of freedom of its t reference under independent
// homoskedastic errors: (sum of eigenvalues)^2 / (sum of their squares) of
// the matrix G'G with G_c = (1_c - p_c 1) / (n sqrt(q_c)), whose trace is
// 1 / n and whose squared Frobenius norm is trace / n^2.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"
#include "core/random.hpp"

namespace mirabund_core::cluster_bootstrap {

struct ClusterBootstrapOutcome {
    double point_estimate;
    double ci_lower;
    double ci_upper;
    double confidence_level;
    std::uint64_t n_resamples;
    std::uint64_t n_items;
    std::uint64_t n_clusters;
};

struct MeanStandardErrorOutcome {
    double mean;
    double standard_deviation;
    double standard_error;
    double cr2_standard_error;
    double degrees_of_freedom;  // of the t reference of the CR2 standard error
    std::uint64_t n_items;
    std::uint64_t n_clusters;  // n_items when the items are not clustered
};

// Checked in this order; the first that applies is reported.
enum class ClusterBootstrapError {
    EmptyValues,
    ClusterLengthMismatch,
    InvalidClusterCodes,
    TooFewValues,  // the standard error only
    TooFewClusters,
    InvalidConfidenceLevel,
    InvalidResampleCount,
};

std::string_view display_text(ClusterBootstrapError error);

// k when the codes are 0 .. k-1 each used at least once, else the error of
// the first check above they fail (EmptyValues to InvalidClusterCodes).
Result<std::uint64_t, ClusterBootstrapError> count_clusters(std::span<const double> values,
                                                            std::span<const std::uint64_t> clusters);

// The clusters summarised for resampling: totals T_c and counts N_c.
struct ClusterTotals {
    std::vector<double> totals;
    std::vector<std::uint64_t> sizes;
};

ClusterTotals cluster_totals(std::span<const double> values, std::span<const std::uint64_t> clusters,
                             std::uint64_t n_clusters);

// Appends the statistics of n_resamples resamples of the clusters, drawn from
// source in the order above. Expects at least one cluster, counts whose sum
// over any k draws fits in 64 bits, and statistics reserved for n_resamples
// more values.
void append_resample_means(const ClusterTotals& clusters, std::uint64_t n_resamples,
                           random::RandomSource& source, std::vector<double>& statistics,
                           InterruptCheck& interrupt);

// `interrupt` is offered the work as it is done.
Result<ClusterBootstrapOutcome, ClusterBootstrapError> cluster_bootstrap_mean(
    std::span<const double> values, std::span<const std::uint64_t> clusters, std::uint64_t n_resamples,
    double confidence_level, std::uint64_t seed, InterruptCheck interrupt = {});

// Mean, standard deviation and sd / sqrt(n), every item its own cluster.
Result<MeanStandardErrorOutcome, ClusterBootstrapError> mean_standard_error(std::span<const double> values);

// Mean, standard deviation and the cluster-robust standard error.
Result<MeanStandardErrorOutcome, ClusterBootstrapError> mean_standard_error(
    std::span<const double> values, std::span<const std::uint64_t> clusters);

}  // namespace mirabund_core::cluster_bootstrap
