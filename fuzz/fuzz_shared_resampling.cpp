// Shared resamples of several columns: the first refusal in the documented
// order, naming the right column; otherwise every column's statistics equal
// to its literal one-column-at-a-time reference for the thread count and
// kernel decoded, and each outcome finished as the single routines finish it.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/shared_resampling.hpp"
#include "core/studentized_bootstrap.hpp"
#include "fuzz/fuzz_input.hpp"
#include "tests/core/shared_reference.hpp"

namespace {

using namespace mirabund_core::shared_resampling;
using Error = SharedResamplingError;
namespace studentized = mirabund_core::studentized_bootstrap;

// The refusal check() owes these arguments, worked out from the rules.
std::optional<Failure> expected_failure(const std::vector<std::span<const double>>& columns, Units units,
                                        const Options& o) {
    if (columns.empty()) return Failure{Error::NoColumns, 0};
    const std::uint64_t rows = columns[0].size();
    for (const auto& c : columns)
        if (c.size() != rows) return Failure{Error::ColumnLengthMismatch, 0};
    if (rows == 0) return Failure{Error::EmptyValues, 0};
    std::uint64_t clusters = 0;
    if (units.kind != Units::Kind::Items && units.labels.size() != rows)
        return Failure{Error::ClusterLengthMismatch, 0};
    if (units.kind == Units::Kind::ClusterCodes) {
        const std::set<std::uint64_t> used(units.labels.begin(), units.labels.end());
        if (*used.rbegin() != used.size() - 1) return Failure{Error::InvalidClusterCodes, 0};
        clusters = used.size();
    } else if (units.kind == Units::Kind::ClusterSizes) {
        // The decoder keeps counts small, so their total cannot overflow.
        for (std::uint64_t size : units.labels)
            if (size == 0) return Failure{Error::InvalidClusterSizes, 0};
        clusters = rows;
    }
    if (units.kind != Units::Kind::Items) {
        if (clusters < 2) return Failure{Error::TooFewClusters, 0};
        if (o.method != Method::Percentile) return Failure{Error::ClustersNotResampledByMethod, 0};
    }
    if (o.method == Method::Studentized && rows < 2) return Failure{Error::TooFewValues, 0};
    const bool blocks_allowed = units.kind == Units::Kind::Items && o.method == Method::Percentile;
    if (o.block_size == 0 || o.block_size > (blocks_allowed ? rows : 1)) return Failure{Error::InvalidBlockSize, 0};
    if (!(o.confidence_level > 0.0 && o.confidence_level < 1.0)) return Failure{Error::InvalidConfidenceLevel, 0};
    if (o.n_resamples == 0) return Failure{Error::InvalidResampleCount, 0};
    if (o.threads == 0) return Failure{Error::InvalidThreadCount, 0};
    for (std::size_t c = 0; c < columns.size(); ++c)
        if (!fuzz::all_finite(columns[c])) return Failure{Error::NonFiniteValues, c};
    if (o.method == Method::Studentized)
        for (std::size_t c = 0; c < columns.size(); ++c) {
            const auto centered = studentized::center(columns[c]);
            if (!centered)
                return Failure{centered.error() == studentized::StudentizedBootstrapError::Overflow
                                   ? Error::Overflow
                                   : Error::ZeroStandardError,
                               c};
        }
    return std::nullopt;
}

std::string describe(const Failure& f) { return display_text(f) + " (column " + std::to_string(f.column) + ")"; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    // Up to 10 columns: every padded row width, the studentized ones past 16.
    const std::size_t w = (flags & 1) ? 0 : 1 + in.below(10);
    const std::size_t n = in.below(25);
    std::vector<std::vector<double>> values(w);
    for (auto& column : values) column = (flags & 2) ? in.units(n) : in.numbers(n);
    if ((flags & 4) && w > 1 && n > 0) values.back().pop_back();
    std::vector<std::span<const double>> columns(values.begin(), values.end());

    Units units;
    const std::size_t kind = in.below(3);
    // Now and then one label too many or too few.
    const std::size_t skew = in.below(3);
    std::vector<std::uint64_t> labels(skew == 1 ? n + 1 : skew == 2 && n > 0 ? n - 1 : n);
    if (kind == 1) {
        units.kind = Units::Kind::ClusterCodes;
        const std::uint64_t bound = 1 + in.below(n + 2);
        for (std::uint64_t& c : labels) c = in.below(bound);
    } else if (kind == 2) {
        units.kind = Units::Kind::ClusterSizes;
        for (std::uint64_t& c : labels) c = in.below(5);
    }
    units.labels = labels;

    Options o;
    o.method = (flags & 8) ? Method::Studentized : Method::Percentile;
    o.block_size = (flags & 16) ? in.below(n + 2) : 1;
    o.n_resamples = in.below(24);
    o.confidence_level = in.unit();
    o.seed = in.u64();
    o.threads = in.below(4);
    const auto kernels = available_kernels();
    o.kernel = kernels[in.below(kernels.size())];

    const std::optional<Failure> refusal = expected_failure(columns, units, o);
    std::optional<mirabund_core::Result<std::vector<ColumnOutcome>, Failure>> result;
    try {
        result = shared_bootstrap_means(columns, units, o);
    } catch (const mirabund_core::Panic& p) {
        // A NaN statistic (a studentized t* of 0/0, or cluster totals of +inf
        // and -inf in one resample) stops the call, as it stops each alone.
        FUZZ_CHECK(!refusal && p.message == "statistic produced NaN", p.message);
    }
    if (refusal) {
        FUZZ_CHECK(result && !*result && (*result).error() == *refusal,
                   "expected " + describe(*refusal) + (result && !*result ? ", got " + describe(result->error()) : ""));
        return 0;
    }
    FUZZ_CHECK(!result || *result, describe(result->error()));

    Options one_thread = o;
    one_thread.threads = 1;
    const auto statistics = resample_statistics(columns, units, o);
    bool any_nan = false;  // in any column: the panic ends the whole call
    for (std::size_t c = 0; c < w; ++c) {
        std::vector<double> literal = reference::literal(columns[c], units, one_thread);
        for (std::uint64_t r = 0; r < o.n_resamples; ++r)
            FUZZ_CHECK(fuzz::same(statistics[c][r], literal[r]),
                       "column " + std::to_string(c) + " resample " + std::to_string(r) + ": " +
                           fuzz::show(statistics[c][r]) + " vs literal " + fuzz::show(literal[r]));
        any_nan |= std::any_of(literal.begin(), literal.end(), [](double s) { return std::isnan(s); });
        if (!result) continue;
        const ColumnOutcome& out = (**result)[c];
        if (o.method == Method::Studentized) {
            const auto expected = studentized::outcome_of(*studentized::center(columns[c]), literal,
                                                          o.confidence_level);
            FUZZ_CHECK(fuzz::same(out.mean, expected.mean) && fuzz::same(out.ci_lower, expected.ci_lower) &&
                           fuzz::same(out.ci_upper, expected.ci_upper) && fuzz::same(out.p_value, expected.p_value),
                       "studentized outcome of column " + std::to_string(c));
        } else {
            const auto interval = mirabund_core::bootstrap::percentile_interval(literal, o.confidence_level);
            FUZZ_CHECK(fuzz::same(out.ci_lower, interval.lower) && fuzz::same(out.ci_upper, interval.upper) &&
                           std::isnan(out.p_value),
                       "percentile interval of column " + std::to_string(c) + ": " + fuzz::show(out.ci_lower) +
                           " .. " + fuzz::show(out.ci_upper));
        }
    }
    FUZZ_CHECK(result.has_value() || any_nan, "panicked without a NaN statistic");
    return 0;
}
