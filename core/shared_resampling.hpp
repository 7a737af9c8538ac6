// Bootstrap of the means of several columns over the same units at once:
// each resample's units are drawn once, and every column is summed from that
// one draw. Resamples are spread over threads, and the results are the same
// to the last bit for any number of threads.
//
// Resample r draws from its own stream: RandomSource over the key of
// seed_from_u64(seed), block counter 0 and stream words (low, high 32 bits of
// r), so the seed fixes each resample whatever thread draws it. Within a
// resample every column keeps the rules of the routine that resamples it
// alone:
//   percentile, items    blocks of block_size consecutive items, ceil(n / b)
//                        starts each gen_range(0, n - b), the last block cut
//                        to the n values; statistic (-0.0 + values in draw
//                        order) / n
//   percentile, clusters k draws each gen_range(0, k - 1); statistic
//                        (-0.0 + T_j1 + ... + T_jk) / double(N_j1 + ... + N_jk),
//                        the counts summed as integers
//   studentized          n draws each gen_range(0, n - 1); A and B summed
//                        from -0.0 in draw order, t* as resample_t
// The percentile interval is bootstrap::percentile_interval of a column's
// statistics; the studentized p-value and interval those of
// studentized_bootstrap::outcome_of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"

namespace mirabund_core::shared_resampling {

enum class Method : std::uint8_t { Percentile, Studentized };

// What a row of the columns is: an item, an item with a cluster code (codes
// 0 .. k-1, each used at least once), or a cluster whose total the columns
// hold, with its count of items.
struct Units {
    enum class Kind : std::uint8_t { Items, ClusterCodes, ClusterSizes };
    Kind kind = Kind::Items;
    std::span<const std::uint64_t> labels;  // the codes or the counts
};

struct Options {
    Method method = Method::Percentile;
    std::uint64_t block_size = 1;
    std::uint64_t n_resamples = 1;
    double confidence_level = 0.95;
    std::uint64_t seed = 0;
    std::uint64_t threads = 1;
    std::string_view kernel = {};  // one of available_kernels(); empty for the first
};

// The variants of the kernel that sums the draws' rows this processor runs,
// fastest first ("avx", then "sse2"); every one gives the same bits.
std::span<const std::string_view> available_kernels();

struct ColumnOutcome {
    double mean;
    double ci_lower;
    double ci_upper;
    double p_value;  // studentized only; NaN for percentile
};

// Checked in this order; the first that applies is reported.
enum class SharedResamplingError {
    NoColumns,
    ColumnLengthMismatch,
    EmptyValues,
    ClusterLengthMismatch,
    InvalidClusterCodes,
    InvalidClusterSizes,
    TooFewClusters,
    ClustersNotResampledByMethod,
    TooFewValues,
    InvalidBlockSize,
    InvalidConfidenceLevel,
    InvalidResampleCount,
    InvalidThreadCount,
    NonFiniteValues,    // of a column
    ZeroStandardError,  // of a column, studentized
    Overflow,           // of a column, studentized
};

struct Failure {
    SharedResamplingError error;
    std::size_t column;  // the column a column's error is about

    bool operator==(const Failure&) const = default;
};

std::string display_text(const Failure& failure);

// One outcome per column. The calling thread runs the hook of `interrupt`;
// the workers stop soon after it throws, and it is rethrown once they are
// joined, as is any failure of a worker.
Result<std::vector<ColumnOutcome>, Failure> shared_bootstrap_means(std::span<const std::span<const double>> columns,
                                                                   Units units, const Options& options,
                                                                   InterruptCheck interrupt = {});

// The statistics of every resample, statistics[c][r], for the tests to hold
// the threads and kernels to a literal reference. Expects checked arguments.
std::vector<std::vector<double>> resample_statistics(std::span<const std::span<const double>> columns, Units units,
                                                     const Options& options, InterruptCheck interrupt = {});

}  // namespace mirabund_core::shared_resampling
