#include "core/bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <new>

#include "core/resample_sums.hpp"

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

Interval percentile_interval(std::span<double> statistics, double confidence_level) {
    const PercentileIndices at = percentile_indices(confidence_level, statistics.size());
    if (statistics.size() == 1) return {statistics[0], statistics[0]};

    // The sort compares every element at least once, so any NaN stops it.
    // Zeros of both signs compare equal, and the stable sort keeps them in
    // their order; their signs are noted in that order, since the selection
    // below mixes them.
    std::size_t below_zero = 0;
    std::vector<bool> zero_signs;
    for (double x : statistics) {
        if (std::isnan(x)) panic("statistic produced NaN");
        below_zero += x < 0.0;
        if (x == 0.0) zero_signs.push_back(std::signbit(x));
    }
    const auto value_at = [&](std::size_t index) {
        const double x = statistics[index];
        if (x != 0.0) return x;  // equal nonzero doubles are the same bits
        return zero_signs[index - below_zero] ? -0.0 : 0.0;
    };

    // Selecting the upper index leaves only smaller or equal values below
    // it, among which the lower index is selected.
    std::nth_element(statistics.begin(), statistics.begin() + at.upper, statistics.end());
    const double upper = value_at(at.upper);
    std::nth_element(statistics.begin(), statistics.begin() + at.lower, statistics.begin() + at.upper);
    return {value_at(at.lower), upper};
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

void append_resample_means(std::span<const double> data, std::uint64_t block_size, std::uint64_t n_resamples,
                           random::RandomSource& source, std::vector<double>& statistics,
                           InterruptCheck& interrupt) {
    const std::uint64_t n = data.size();
    const double count = static_cast<double>(n);
    const std::uint64_t blocks = (n - 1) / block_size + 1;
    const std::uint64_t last_start = n - block_size;
    // A draw costs a few additions.
    const std::uint64_t work_per_resample = n + 4 * blocks;

    if (last_start > std::numeric_limits<std::uint32_t>::max()) {
        // Starts beyond 32 bits: one resample at a time.
        for (std::uint64_t r = 0; r < n_resamples; ++r) {
            double sum = -0.0;
            for (std::uint64_t j = 0; j < blocks; ++j) {
                const double* block = data.data() + source.gen_range(0, last_start);
                const std::uint64_t length = j + 1 < blocks ? block_size : n - j * block_size;
                for (std::uint64_t i = 0; i < length; ++i) sum = sum + block[i];
            }
            statistics.push_back(mean_of_sum(sum, count));
            interrupt.add(work_per_resample);
        }
        return;
    }

    const Resampling rs{data.data(), n, block_size, blocks, n - (blocks - 1) * block_size};
    // Up to max_lockstep resamples side by side, fewer when their starts
    // would take more room than twice the n + block_size values of one built
    // resample, or 4 MiB if that is more.
    if (n > std::numeric_limits<std::uint64_t>::max() / 2 - block_size) throw std::bad_alloc();
    const std::uint64_t room = std::max<std::uint64_t>(2 * (n + block_size), std::uint64_t{1} << 20);
    std::uint64_t lockstep = max_lockstep;
    while (lockstep > 1 && lockstep * blocks > room) lockstep /= 2;
    // The starts of whole groups are drawn together, about 16 Ki at a time,
    // so that the random source computes many blocks per call.
    const std::uint64_t groups_per_batch = std::max<std::uint64_t>(1, (std::uint64_t{1} << 14) / (lockstep * blocks));
    const std::uint64_t batch_room = groups_per_batch * lockstep * blocks;
    if (batch_room > std::numeric_limits<std::size_t>::max() / sizeof(std::uint32_t)) throw std::bad_alloc();
    const auto starts = std::make_unique_for_overwrite<std::uint32_t[]>(batch_room);

    const SumKernel kernel = chosen_sum_kernel();
    const std::uint32_t* rows[max_lockstep];
    double sums[max_lockstep];
    for (std::uint64_t done = 0; done < n_resamples;) {
        const std::uint64_t batch = std::min(n_resamples - done, groups_per_batch * lockstep);
        source.gen_range_fill(0, last_start, std::span<std::uint32_t>(starts.get(), batch * blocks));
        for (std::uint64_t first = 0; first < batch; first += lockstep) {
            const std::size_t width = std::min(lockstep, batch - first);
            for (std::size_t r = 0; r < width; ++r) rows[r] = starts.get() + (first + r) * blocks;
            kernel(rs, rows, width, sums);
            for (std::size_t r = 0; r < width; ++r) statistics.push_back(mean_of_sum(sums[r], count));
            interrupt.add(width * work_per_resample);
        }
        done += batch;
    }
}

}  // namespace mirabund_core::bootstrap
