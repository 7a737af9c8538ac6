// Block bootstrap with a statistic that can fail or return NaN on a chosen
// call. Each resample is checked against the blocks a second source with the
// same seed picks; the interval against a stable sort of what the statistic
// returned; failures and the NaN panic against the call that caused them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/bootstrap.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace mirabund_core::bootstrap;
using mirabund_core::random::RandomSource;
using Kind = BootstrapError::Kind;

struct Plan {
    std::uint64_t fail_at = 0;  // 1-based call that returns an error text; 0: none
    std::uint64_t nan_at = 0;   // 1-based call that returns NaN; 0: none
    std::uint8_t mode = 0;      // what the other calls return
};

struct Record {
    std::uint64_t calls = 0;
    std::vector<double> returned;      // every value, point estimate first
    std::vector<std::vector<double>> views;
};

std::string failure_text(std::uint64_t call) { return "no value on call " + std::to_string(call) + " \xE2\x80\x94 x"; }

struct ScriptedStatistic {
    Plan plan;
    Record* record;

    std::expected<double, std::string> operator()(std::span<const double> view) const {
        const std::uint64_t call = ++record->calls;
        record->views.emplace_back(view.begin(), view.end());
        if (call == plan.fail_at) return std::unexpected(failure_text(call));
        double value;
        if (call == plan.nan_at) {
            value = std::numeric_limits<double>::quiet_NaN();
        } else {
            switch (plan.mode % 4) {
                case 0: value = view.front(); break;
                case 1: value = view.back(); break;
                case 2: {
                    // Position-weighted, so that the order inside a resample counts.
                    value = 0.0;
                    for (std::size_t i = 0; i < view.size(); ++i) value += view[i] * static_cast<double>(i + 1);
                    break;
                }
                default:
                    // Zeros of both signs in call order: the stable sort must keep it.
                    value = (call % 3 == 0) ? -0.0 : (call % 3 == 1 ? 0.0 : static_cast<double>(call % 5));
                    break;
            }
        }
        record->returned.push_back(value);
        return value;
    }
};

bool same_values(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

std::uint64_t saturate(double x) {
    if (!(x > 0.0)) return 0;
    if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(x);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::vector<double> data = in.numbers(in.below(25));
    const std::uint64_t n = data.size();
    const std::uint64_t block_size = in.below(n + 2);
    const std::uint64_t n_resamples = in.below(65);
    const double level = in.unit();
    const std::uint64_t seed = in.u64();
    Plan plan;
    plan.fail_at = in.below(n_resamples + 3);
    plan.nan_at = in.below(n_resamples + 3);
    plan.mode = in.byte();

    Record record;
    std::optional<mirabund_core::Result<BootstrapOutcome, BootstrapError>> result;
    std::optional<std::string> panic_message;
    try {
        result = block_bootstrap(data, block_size, n_resamples, level, ScriptedStatistic{plan, &record}, seed);
    } catch (const mirabund_core::Panic& p) {
        panic_message = p.message;
    }

    const bool valid = n > 0 && block_size >= 1 && block_size <= n && level > 0.0 && level < 1.0 && n_resamples > 0;
    if (!valid) {
        FUZZ_CHECK(result && !result->has_value() && result->error().kind != Kind::StatisticFailed,
                   "invalid arguments not refused");
        FUZZ_CHECK(record.calls == 0, "statistic called on invalid arguments");
        return 0;
    }

    // Every view holds the blocks that the same seed's draws pick, in order,
    // the last one cut to what is left of the n values.
    RandomSource mirror = RandomSource::seed_from_u64(seed);
    for (std::size_t call = 0; call < record.views.size(); ++call) {
        const std::vector<double>& view = record.views[call];
        FUZZ_CHECK(view.size() == n, "view of " + std::to_string(view.size()) + " values");
        if (call == 0) {
            FUZZ_CHECK(same_values(view, data), "point estimate not on the series itself");
            continue;
        }
        std::vector<double> expected;
        while (expected.size() < n) {
            const std::uint64_t start = mirror.gen_range(0, n - block_size);
            expected.insert(expected.end(), data.begin() + start, data.begin() + start + block_size);
        }
        expected.resize(n);
        FUZZ_CHECK(same_values(view, expected), "resample " + std::to_string(call) + " differs from the seed's blocks");
    }

    if (plan.fail_at >= 1 && plan.fail_at <= n_resamples + 1) {
        FUZZ_CHECK(result && !result->has_value(), "statistic failure not reported");
        FUZZ_CHECK(result->error().kind == Kind::StatisticFailed && result->error().text == failure_text(plan.fail_at),
                   display_text(result->error()));
        FUZZ_CHECK(display_text(result->error()) == "statistic function failed: " + failure_text(plan.fail_at),
                   display_text(result->error()));
        FUZZ_CHECK(record.calls == plan.fail_at, "calls after the failure: " + std::to_string(record.calls));
        return 0;
    }

    FUZZ_CHECK(record.calls == n_resamples + 1, "calls: " + std::to_string(record.calls));
    std::vector<double> statistics(record.returned.begin() + 1, record.returned.end());
    const bool any_nan = std::any_of(statistics.begin(), statistics.end(), [](double v) { return std::isnan(v); });
    if (any_nan && n_resamples >= 2) {
        FUZZ_CHECK(panic_message && *panic_message == "statistic produced NaN",
                   panic_message ? *panic_message : "no panic for a NaN statistic");
        return 0;
    }
    FUZZ_CHECK(!panic_message, *panic_message);
    FUZZ_CHECK(result && result->has_value(), display_text(result->error()));
    const BootstrapOutcome& out = **result;

    std::stable_sort(statistics.begin(), statistics.end());
    const double h = (1.0 - level) * 0.5;
    const double m = static_cast<double>(n_resamples);
    const std::uint64_t lower = saturate(std::floor(h * m));
    const std::uint64_t upper = std::min(saturate(std::ceil((1.0 - h) * m)), n_resamples - 1);
    FUZZ_CHECK(lower <= upper && upper < n_resamples, "indices");
    FUZZ_CHECK(fuzz::same(out.point_estimate, record.returned.front()), fuzz::show(out.point_estimate));
    FUZZ_CHECK(fuzz::same(out.ci_lower, statistics[lower]),
               fuzz::show(out.ci_lower) + " at index " + std::to_string(lower) + ", sorted " + fuzz::show(statistics[lower]));
    FUZZ_CHECK(fuzz::same(out.ci_upper, statistics[upper]),
               fuzz::show(out.ci_upper) + " at index " + std::to_string(upper) + ", sorted " + fuzz::show(statistics[upper]));
    if (!std::isnan(out.ci_lower)) FUZZ_CHECK(out.ci_lower <= out.ci_upper, "bounds out of order");
    FUZZ_CHECK(fuzz::same(out.confidence_level, level) && out.n_resamples == n_resamples, "arguments not echoed");
    return 0;
}
