#include "core/studentized_bootstrap.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/random.hpp"

namespace mirabund_core::studentized_bootstrap {

std::string_view display_text(StudentizedBootstrapError error) {
    switch (error) {
        case StudentizedBootstrapError::TooFewValues:
            return "values must hold at least 2 items";
        case StudentizedBootstrapError::InvalidConfidenceLevel:
            return "confidence_level must be in (0.0, 1.0)";
        case StudentizedBootstrapError::InvalidResampleCount:
            return "n_resamples must be >= 1";
        case StudentizedBootstrapError::NonFiniteValues:
            return "values must be finite";
        case StudentizedBootstrapError::ZeroStandardError:
            return "values must not all be equal: their standard error is 0";
        case StudentizedBootstrapError::Overflow:
            return "values are too large: their sum or a resample's sum of squares overflows a float";
    }
    return {};
}

double resample_p_value(std::uint64_t count, std::uint64_t n_resamples) {
    const double p = 2.0 * static_cast<double>(count + 1) / static_cast<double>(n_resamples + 1);
    return std::min(1.0, p);
}

namespace {

using Error = StudentizedBootstrapError;
constexpr double infinity = std::numeric_limits<double>::infinity();

// The t statistics of `width` consecutive resamples. Their draws are made
// first, in the fixed order, into draws (room for width * n); then one pass
// adds each resample's values to its own two sums, in its own draw order,
// so the sums of different resamples do not wait on one another.
template <std::uint64_t width, class Draw>
void append_group(const Centered& data, random::RandomSource& source, Draw* draws, std::vector<double>& out,
                  InterruptCheck& interrupt) {
    const std::uint64_t n = data.deviations.size();
    const double* y = data.deviations.data();
    const double* s = data.squares.data();
    source.gen_range_fill(0, n - 1, std::span<Draw>(draws, width * n));
    double sums[width];
    double squares[width];
    for (std::uint64_t r = 0; r < width; ++r) sums[r] = squares[r] = -0.0;
    for (std::uint64_t r = 0; r < width; ++r) {
        const Draw* own = draws + r * n;
        for (std::uint64_t i = 0; i < n; ++i) {
            sums[r] = sums[r] + y[own[i]];
            squares[r] = squares[r] + s[own[i]];
        }
    }
    for (std::uint64_t r = 0; r < width; ++r) out.push_back(resample_t(sums[r], squares[r], n));
    interrupt.add(width * 3 * n);
}

template <class Draw>
void append_statistics(const Centered& data, std::uint64_t n_resamples, random::RandomSource& source,
                       std::vector<double>& out, InterruptCheck& interrupt) {
    // Up to 4 resamples side by side while their draws stay within a
    // cache's reach; narrower groups for what is left, in resample order.
    constexpr std::uint64_t most_draws = std::uint64_t{1} << 16;
    const std::uint64_t n = data.deviations.size();
    std::uint64_t width = 4;
    while (width > 1 && width * n > most_draws) width /= 2;
    const auto draws = std::make_unique_for_overwrite<Draw[]>(width * n);
    std::uint64_t left = n_resamples;
    for (; width == 4 && left >= 4; left -= 4) append_group<4>(data, source, draws.get(), out, interrupt);
    for (; width >= 2 && left >= 2; left -= 2) append_group<2>(data, source, draws.get(), out, interrupt);
    for (; left >= 1; left -= 1) append_group<1>(data, source, draws.get(), out, interrupt);
}

// The i-th smallest of the statistics (1-based), -inf for 0 and +inf past
// the last. Reorders them.
double order_statistic(std::vector<double>& statistics, std::uint64_t i) {
    if (i == 0) return -infinity;
    if (i > statistics.size()) return infinity;
    const auto at = statistics.begin() + static_cast<std::ptrdiff_t>(i - 1);
    std::nth_element(statistics.begin(), at, statistics.end());
    return *at;
}

}  // namespace

double resample_t(double sum, double squares, std::uint64_t n) {
    const double count = static_cast<double>(n);
    const double a = sum / count;
    // B - n a^2 loses about n ulps of B; a resample of one value repeated
    // must get no spread at all, whatever the scale of the data.
    const double cancellation = 4.0 * count * std::numeric_limits<double>::epsilon();
    const double excess = squares - count * (a * a);
    const double var = excess > cancellation * squares ? excess / (count - 1.0) : 0.0;
    if (var == 0.0) return a == 0.0 ? 0.0 : std::copysign(infinity, a);
    return a / (std::sqrt(var) / std::sqrt(count));
}

Result<Centered, StudentizedBootstrapError> center(std::span<const double> values) {
    const std::uint64_t n = values.size();
    for (double x : values)
        if (!std::isfinite(x)) return std::unexpected(Error::NonFiniteValues);

    const double mean = *bootstrap::mean(values);
    if (!std::isfinite(mean)) {
        // Equal values have no spread however large they are.
        const bool all_equal = std::all_of(values.begin(), values.end(), [&](double x) { return x == values[0]; });
        return std::unexpected(all_equal ? Error::ZeroStandardError : Error::Overflow);
    }
    Centered data{mean, 0.0, std::vector<double>(n), std::vector<double>(n)};
    double total = -0.0;
    for (std::uint64_t i = 0; i < n; ++i) {
        data.deviations[i] = values[i] - mean;
        data.squares[i] = data.deviations[i] * data.deviations[i];
        total = total + data.squares[i];
    }
    const double count = static_cast<double>(n);
    data.standard_error = std::sqrt(total / (count - 1.0)) / std::sqrt(count);
    if (!(data.standard_error > 0.0)) return std::unexpected(Error::ZeroStandardError);
    // A resample's sum of squares is at most n times the largest square;
    // the data's own sum may still round past n times it.
    const double largest = *std::max_element(data.squares.begin(), data.squares.end());
    if (!std::isfinite(largest * count) || !std::isfinite(total)) return std::unexpected(Error::Overflow);
    return data;
}

StudentizedBootstrapOutcome outcome_of(const Centered& data, std::vector<double>& statistics,
                                       double confidence_level) {
    const std::uint64_t n_resamples = statistics.size();
    const double mean = data.mean;
    const double standard_error = data.standard_error;
    const double t = mean / standard_error;
    std::uint64_t at_least = 0;
    std::uint64_t at_most = 0;
    for (double x : statistics) {
        at_least += x >= t;
        at_most += x <= t;
    }

    const double alpha = 1.0 - confidence_level;
    std::uint64_t j = 0;
    while (j < n_resamples && resample_p_value(j, n_resamples) < alpha) ++j;
    const double upper_t = order_statistic(statistics, n_resamples - j + 1);
    const double lower_t = order_statistic(statistics, j);
    return StudentizedBootstrapOutcome{mean,
                                       standard_error,
                                       mean - upper_t * standard_error,
                                       mean - lower_t * standard_error,
                                       confidence_level,
                                       n_resamples,
                                       at_least,
                                       at_most,
                                       resample_p_value(std::min(at_least, at_most), n_resamples)};
}

Result<StudentizedBootstrapOutcome, StudentizedBootstrapError> studentized_bootstrap_mean(
    std::span<const double> values, std::uint64_t n_resamples, double confidence_level, std::uint64_t seed,
    InterruptCheck interrupt) {
    const std::uint64_t n = values.size();
    if (n < 2) return std::unexpected(Error::TooFewValues);
    if (!(confidence_level > 0.0) || !(confidence_level < 1.0))
        return std::unexpected(Error::InvalidConfidenceLevel);
    if (n_resamples == 0) return std::unexpected(Error::InvalidResampleCount);

    const Result<Centered, Error> data = center(values);
    if (!data) return std::unexpected(data.error());
    interrupt.add(n);

    std::vector<double> statistics;
    bootstrap::reserve_storage(statistics, n_resamples);
    random::RandomSource source = random::RandomSource::seed_from_u64(seed);
    if (n - 1 <= std::numeric_limits<std::uint32_t>::max())
        append_statistics<std::uint32_t>(*data, n_resamples, source, statistics, interrupt);
    else
        append_statistics<std::uint64_t>(*data, n_resamples, source, statistics, interrupt);
    return outcome_of(*data, statistics, confidence_level);
}

}  // namespace mirabund_core::studentized_bootstrap
