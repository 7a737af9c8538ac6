// Moving-block bootstrap: percentile confidence intervals for any statistic
// of a series, from resamples made of contiguous blocks whose starts are drawn
// uniformly from the series.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"
#include "core/random.hpp"

namespace mirabund_core::bootstrap {

struct BootstrapOutcome {
    double point_estimate;
    double ci_lower;
    double ci_upper;
    double confidence_level;
    std::uint64_t n_resamples;
};

struct BootstrapError {
    enum class Kind : std::uint8_t {
        EmptyData,
        InvalidBlockSize,
        InvalidConfidenceLevel,
        InvalidResampleCount,
        StatisticFailed,
    };

    Kind kind;
    std::string text;  // the statistic's own text; empty for the other kinds

    bool operator==(const BootstrapError&) const = default;
};

std::string display_text(const BootstrapError& error);

// A sum over a count, any NaN written as the one positive quiet NaN: which
// of several NaN operands an addition passes on depends on the order in
// which the compiler puts them, so the sign of a NaN sum is not fixed by the
// order of the additions alone.
inline double mean_of_sum(double sum, double count) {
    const double mean = sum / count;
    return mean == mean ? mean : std::numeric_limits<double>::quiet_NaN();
}

// Mean with one accumulator from -0.0, first value to last, so that the
// result is fixed to the last bit and all negative zeros give -0.0. A type of
// its own so that block_bootstrap can tell it from other statistics and sum
// resamples straight from the series.
struct Mean {
    std::expected<double, std::string> operator()(std::span<const double> values) const {
        if (values.empty()) return std::unexpected(std::string("mean is undefined for empty data"));
        double s = -0.0;
        for (double v : values) s = s + v;
        return mean_of_sum(s, static_cast<double>(values.size()));
    }
};

inline constexpr Mean mean{};

// Float to unsigned 64-bit: negative and NaN give 0, 2^64 and above the
// largest value, anything else truncates.
std::uint64_t saturating_u64(double x);

struct PercentileIndices {
    std::uint64_t lower;
    std::uint64_t upper;

    bool operator==(const PercentileIndices&) const = default;
};

// Positions of the interval bounds in the sorted statistics: floor of h*m
// and ceiling of (1-h)*m with h = (1-level)/2, the upper one kept in range.
PercentileIndices percentile_indices(double confidence_level, std::uint64_t n_resamples);

// Stable ascending sort; panics with "statistic produced NaN" as soon as a
// comparison meets a NaN.
void sort_statistics(std::vector<double>& statistics);

struct Interval {
    double lower;
    double upper;
};

// The bounds that sort_statistics followed by percentile_indices gives, bit
// for bit (signed zeros in their order included) and with the same panic,
// found by two selections instead of a sort. Reorders the statistics.
Interval percentile_interval(std::span<double> statistics, double confidence_level);

// Reserves room for count values, or count_a + count_b; a count that cannot
// be held (overflow, beyond max_size) throws std::bad_alloc like a failed
// allocation.
void reserve_storage(std::vector<double>& values, std::uint64_t count);
void reserve_storage(std::vector<double>& values, std::uint64_t count_a, std::uint64_t count_b);

// Appends to statistics the means of n_resamples resamples whose starts are
// drawn from source in the same order as block_bootstrap draws them, each
// bit for bit the mean of the resample it would build, but summed straight
// from data. Expects validated arguments and statistics reserved for
// n_resamples more values.
void append_resample_means(std::span<const double> data, std::uint64_t block_size, std::uint64_t n_resamples,
                           random::RandomSource& source, std::vector<double>& statistics,
                           InterruptCheck& interrupt);

// Statistic: callable on a view of doubles (always as many as the input)
// returning std::expected<double, std::string>. It is never handed a view
// that outlives the call. Mean itself gets the same results without the
// resample buffer. `interrupt` is offered the work as it is done.
template <class Statistic>
Result<BootstrapOutcome, BootstrapError> block_bootstrap(std::span<const double> data,
                                                         std::uint64_t block_size,
                                                         std::uint64_t n_resamples,
                                                         double confidence_level,
                                                         Statistic statistic,
                                                         std::optional<std::uint64_t> seed,
                                                         InterruptCheck interrupt = {}) {
    using Kind = BootstrapError::Kind;
    const std::uint64_t n = data.size();
    if (n == 0) return std::unexpected(BootstrapError{Kind::EmptyData, {}});
    // One unsigned test: block_size 0 wraps around and fails too.
    if (block_size - 1 >= n) return std::unexpected(BootstrapError{Kind::InvalidBlockSize, {}});
    if (!(confidence_level > 0.0) || !(confidence_level < 1.0))
        return std::unexpected(BootstrapError{Kind::InvalidConfidenceLevel, {}});
    if (n_resamples == 0) return std::unexpected(BootstrapError{Kind::InvalidResampleCount, {}});

    std::expected<double, std::string> point = std::invoke(statistic, data);
    if (!point) return std::unexpected(BootstrapError{Kind::StatisticFailed, std::move(point.error())});

    // Only now: a failing point estimate must not draw entropy.
    random::RandomSource source =
        seed ? random::RandomSource::seed_from_u64(*seed) : random::RandomSource::from_entropy();

    std::vector<double> statistics;
    reserve_storage(statistics, n_resamples);
    if constexpr (std::is_same_v<Statistic, Mean>) {
        append_resample_means(data, block_size, n_resamples, source, statistics, interrupt);
    } else {
        // Room for the overshoot of the last block, so appends never reallocate.
        std::vector<double> resample;
        reserve_storage(resample, n, block_size);

        const std::uint64_t last_start = n - block_size;
        for (std::uint64_t r = 0; r < n_resamples; ++r) {
            resample.clear();
            do {
                const double* first = data.data() + source.gen_range(0, last_start);
                resample.insert(resample.end(), first, first + block_size);
            } while (resample.size() < n);
            resample.resize(n);

            std::expected<double, std::string> value =
                std::invoke(statistic, std::span<const double>(resample.data(), resample.size()));
            if (!value) return std::unexpected(BootstrapError{Kind::StatisticFailed, std::move(value.error())});
            statistics.push_back(*value);
            interrupt.add(n);
        }
    }

    const Interval interval = percentile_interval(statistics, confidence_level);
    return BootstrapOutcome{*point, interval.lower, interval.upper, confidence_level, n_resamples};
}

}  // namespace mirabund_core::bootstrap
