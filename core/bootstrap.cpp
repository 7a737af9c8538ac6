#include "core/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace mirabund_core::bootstrap {

std::string display_text(const BootstrapError& error) {
    using Kind = BootstrapError::Kind;
    switch (error.kind) {
        case Kind::EmptyData:
            return "input data must not be empty";
        case Kind::InvalidBlockSize:
            return "block_size must be >= 1 and <= data.len()";
        case Kind::InvalidConfidenceLevel:
            return "confidence_level must be in (0.0, 1.0)";
        case Kind::InvalidResampleCount:
            return "n_resamples must be >= 1";
        case Kind::StatisticFailed:
            return "statistic function failed: " + error.text;
    }
    return {};
}

std::uint64_t saturating_u64(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

PercentileIndices percentile_indices(double confidence_level, std::uint64_t n_resamples) {
    const double h = (1.0 - confidence_level) * 0.5;
    const double m = static_cast<double>(n_resamples);
    const std::uint64_t lower = saturating_u64(std::floor(h * m));
    const std::uint64_t upper = saturating_u64(std::ceil((1.0 - h) * m));
    return {lower, std::min(upper, n_resamples - 1)};
}

void sort_statistics(std::vector<double>& statistics) {
    std::stable_sort(statistics.begin(), statistics.end(), [](double a, double b) {
        if (std::isnan(a) || std::isnan(b)) panic("statistic produced NaN");
        return a < b;
    });
}

void reserve_storage(std::vector<double>& values, std::uint64_t count) {
    // Past max_size the library reports length_error; to the caller this is
    // just memory that cannot be had.
    if (count > values.max_size()) throw std::bad_alloc();
    values.reserve(count);
}

void reserve_storage(std::vector<double>& values, std::uint64_t count_a, std::uint64_t count_b) {
    if (count_a > std::numeric_limits<std::uint64_t>::max() - count_b) throw std::bad_alloc();
    reserve_storage(values, count_a + count_b);
}

namespace {

struct Resampling {
    const double* data;
    std::uint64_t n;
    std::uint64_t block_size;
    std::uint64_t blocks;       // per resample
    std::uint64_t last_start;   // largest start a block can have
    std::uint64_t last_length;  // the last block cut to what is left of the n values
};

// Appends the means of `width` consecutive resamples. All their starts are
// drawn first, in the fixed order (the first resample's blocks first to last,
// then the next one's), into starts (room for width * blocks), in one batch.
// Then one pass over the blocks adds each resample's values to its own sum,
// in its own order: the sums do not wait on one another, while one sum alone
// waits on every addition.
template <std::uint64_t width>
void append_group_means(const Resampling& rs, random::RandomSource& source, std::uint64_t* starts,
                        std::vector<double>& statistics, InterruptCheck& interrupt) {
    const double count = static_cast<double>(rs.n);
    source.gen_range_fill(0, rs.last_start, std::span<std::uint64_t>(starts, width * rs.blocks));
    double sums[width];
    for (double& sum : sums) sum = -0.0;
    for (std::uint64_t j = 0; j < rs.blocks; ++j) {
        const double* block[width];
        for (std::uint64_t r = 0; r < width; ++r) block[r] = rs.data + starts[r * rs.blocks + j];
        const std::uint64_t length = j + 1 < rs.blocks ? rs.block_size : rs.last_length;
        for (std::uint64_t i = 0; i < length; ++i)
            for (std::uint64_t r = 0; r < width; ++r) sums[r] = sums[r] + block[r][i];
    }
    for (double sum : sums) statistics.push_back(sum / count);
    // A draw costs a few additions.
    interrupt.add(width * (rs.n + 4 * rs.blocks));
}

}  // namespace

void append_resample_means(std::span<const double> data, std::uint64_t block_size, std::uint64_t n_resamples,
                           random::RandomSource& source, std::vector<double>& statistics,
                           InterruptCheck& interrupt) {
    const std::uint64_t n = data.size();
    const std::uint64_t blocks = (n - 1) / block_size + 1;
    const Resampling rs{data.data(), n, block_size, blocks, n - block_size, n - (blocks - 1) * block_size};

    // Up to 8 resamples side by side, fewer when their starts would take more
    // room than the n + block_size values of one built resample (short
    // blocks, where the draws cost far more than the additions anyway).
    if (n > std::numeric_limits<std::uint64_t>::max() - block_size) throw std::bad_alloc();
    in_resample_groups(n_resamples, blocks, n + block_size, [&]<std::uint64_t width>(std::uint64_t* starts) {
        append_group_means<width>(rs, source, starts, statistics, interrupt);
    });
}

}  // namespace mirabund_core::bootstrap
