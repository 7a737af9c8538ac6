#include "core/shared_resampling.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/bootstrap.hpp"
#include "core/random.hpp"
#include "core/studentized_bootstrap.hpp"
#include "tests/core/shared_reference.hpp"

namespace {

using namespace mirabund_core::shared_resampling;
using mirabund_core::InterruptCheck;
using reference::literal;

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

struct Data {
    std::vector<std::vector<double>> values;
    std::vector<std::span<const double>> columns;
};

Data make_data(std::size_t w, std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    Data d;
    for (std::size_t c = 0; c < w; ++c) {
        std::vector<double> column(n);
        // Skewed columns of different scales, one of them with negative zeros.
        for (double& v : column) v = c == 2 ? -0.0 : std::exp(normal(rng)) * static_cast<double>(c + 1);
        if (c == 2) column[0] = 1.0;
        d.values.push_back(std::move(column));
    }
    for (const auto& v : d.values) d.columns.emplace_back(v);
    return d;
}

void expect_literal(const Data& d, Units units, const Options& o) {
    for (std::string_view kernel : available_kernels()) {
        for (std::uint64_t threads : {1, 2, 3}) {
            Options each = o;
            each.threads = threads;
            each.kernel = kernel;
            const auto statistics = resample_statistics(d.columns, units, each);
            ASSERT_EQ(statistics.size(), d.columns.size());
            for (std::size_t c = 0; c < d.columns.size(); ++c) {
                const std::vector<double> expected = literal(d.columns[c], units, o);
                for (std::uint64_t r = 0; r < o.n_resamples; ++r)
                    ASSERT_EQ(bits(statistics[c][r]), bits(expected[r]))
                        << "column " << c << " resample " << r << " threads " << threads << " kernel " << kernel;
            }
        }
    }
}

// Every layout (w of 1 and 6, strides of 1, 2, 8, 16 and 24 terms), items in
// blocks of 1 and 5 with a cut last block, clusters by code and by total, and
// the studentized sums, against one column at a time; resamples of 4 side by
// side and the single ones after them, over 1, 2 and 3 threads, with every
// kernel this processor runs.
TEST(SharedResampling, SumsEqualOneColumnAtATime) {
    const std::vector<std::uint64_t> codes{0, 1, 2, 0, 2, 2, 3, 1, 3, 3, 0, 4, 4, 2, 1, 0, 3};
    for (std::size_t w : {1, 6}) {
        const Data d = make_data(w, codes.size(), w);
        for (std::uint64_t block : {1, 5})
            expect_literal(d, {}, {Method::Percentile, block, 11, 0.9, 7, 1});
        expect_literal(d, {Units::Kind::ClusterCodes, codes}, {Method::Percentile, 1, 9, 0.9, 8, 1});
        expect_literal(make_data(w == 6 ? 5 : 1, codes.size(), 3), {}, {Method::Studentized, 1, 10, 0.9, 9, 1});
        if (w == 6) expect_literal(make_data(9, codes.size(), 4), {}, {Method::Studentized, 1, 6, 0.9, 2, 1});

        // Totals and counts give what the items they sum give.
        std::vector<std::vector<double>> totals(w, std::vector<double>(5, -0.0));
        std::vector<std::uint64_t> sizes(5, 0);
        for (std::size_t i = 0; i < codes.size(); ++i) {
            for (std::size_t c = 0; c < w; ++c) totals[c][codes[i]] = totals[c][codes[i]] + d.values[c][i];
            ++sizes[codes[i]];
        }
        Data by_total;
        by_total.values = totals;
        for (const auto& v : by_total.values) by_total.columns.emplace_back(v);
        const Options o{Method::Percentile, 1, 9, 0.9, 8, 2};
        const auto from_totals = shared_bootstrap_means(by_total.columns, {Units::Kind::ClusterSizes, sizes}, o);
        const auto from_items = shared_bootstrap_means(d.columns, {Units::Kind::ClusterCodes, codes}, o);
        ASSERT_TRUE(from_totals && from_items);
        for (std::size_t c = 0; c < w; ++c) {
            EXPECT_EQ(bits((*from_totals)[c].ci_lower), bits((*from_items)[c].ci_lower));
            EXPECT_EQ(bits((*from_totals)[c].ci_upper), bits((*from_items)[c].ci_upper));
        }
    }
}

// The outcomes finish each column's statistics as the single routines do.
TEST(SharedResampling, OutcomesFinishEachColumn) {
    const Data d = make_data(3, 40, 11);
    Options o{Method::Studentized, 1, 99, 0.9, 5, 2};
    const auto studentized = shared_bootstrap_means(d.columns, {}, o);
    ASSERT_TRUE(studentized);
    for (std::size_t c = 0; c < 3; ++c) {
        std::vector<double> statistics = literal(d.columns[c], {}, o);
        const auto centered = *mirabund_core::studentized_bootstrap::center(d.columns[c]);
        const auto expected = mirabund_core::studentized_bootstrap::outcome_of(centered, statistics, 0.9);
        EXPECT_EQ(bits((*studentized)[c].ci_lower), bits(expected.ci_lower));
        EXPECT_EQ(bits((*studentized)[c].ci_upper), bits(expected.ci_upper));
        EXPECT_EQ(bits((*studentized)[c].p_value), bits(expected.p_value));
        EXPECT_EQ(bits((*studentized)[c].mean), bits(expected.mean));
    }
    o.method = Method::Percentile;
    o.block_size = 3;
    const auto percentile = shared_bootstrap_means(d.columns, {}, o);
    ASSERT_TRUE(percentile);
    for (std::size_t c = 0; c < 3; ++c) {
        std::vector<double> statistics = literal(d.columns[c], {}, o);
        const auto interval = mirabund_core::bootstrap::percentile_interval(statistics, 0.9);
        EXPECT_EQ(bits((*percentile)[c].ci_lower), bits(interval.lower));
        EXPECT_EQ(bits((*percentile)[c].ci_upper), bits(interval.upper));
        EXPECT_TRUE(std::isnan((*percentile)[c].p_value));
    }
}

TEST(SharedResampling, RefusesInOrderNamingTheColumn) {
    const std::vector<double> a{1, 2, 3}, b{1, 2}, equal{4, 4, 4}, infinite{1, INFINITY, 2};
    const std::vector<std::uint64_t> one_cluster{0, 0, 0};
    using E = SharedResamplingError;
    const Options ok{Method::Studentized, 1, 10, 0.9, 1, 1};
    auto refusal = [](std::vector<std::span<const double>> columns, Units units, Options o) {
        const auto result = shared_bootstrap_means(columns, units, o);
        return result ? Failure{E::NoColumns, 99} : result.error();
    };
    EXPECT_EQ(refusal({}, {}, ok), (Failure{E::NoColumns, 0}));
    EXPECT_EQ(refusal({a, b}, {}, ok), (Failure{E::ColumnLengthMismatch, 0}));
    EXPECT_EQ(refusal({a}, {Units::Kind::ClusterCodes, one_cluster}, ok), (Failure{E::TooFewClusters, 0}));
    EXPECT_EQ(refusal({a}, {Units::Kind::ClusterSizes, std::vector<std::uint64_t>{1, 0, 2}}, ok),
              (Failure{E::InvalidClusterSizes, 0}));
    EXPECT_EQ(refusal({a}, {Units::Kind::ClusterSizes, std::vector<std::uint64_t>{1, 1, 2}}, ok),
              (Failure{E::ClustersNotResampledByMethod, 0}));
    EXPECT_EQ(refusal({a}, {}, {Method::Studentized, 2, 10, 0.9, 1, 1}), (Failure{E::InvalidBlockSize, 0}));
    EXPECT_EQ(refusal({a}, {}, {Method::Percentile, 3, 10, 0.9, 1, 0}), (Failure{E::InvalidThreadCount, 0}));
    EXPECT_EQ(refusal({a, infinite}, {}, ok), (Failure{E::NonFiniteValues, 1}));
    EXPECT_EQ(refusal({a, a, equal}, {}, ok), (Failure{E::ZeroStandardError, 2}));
    EXPECT_EQ(display_text(Failure{E::ZeroStandardError, 2}),
              "columns[2]: values must not all be equal: their standard error is 0");
}

// A throwing hook on the calling thread stops the workers and reaches the
// caller once they are joined; without one the work completes.
TEST(SharedResampling, InterruptStopsEveryThread) {
    const Data d = make_data(6, 20000, 1);
    int calls = 0;
    auto hook = [](void* context) {
        if (++*static_cast<int*>(context) == 2) throw std::runtime_error("stop");
    };
    const Options o{Method::Percentile, 1, 1000000, 0.9, 1, 2};
    EXPECT_THROW((void)shared_bootstrap_means(d.columns, {}, o, InterruptCheck(hook, &calls)), std::runtime_error);
    EXPECT_EQ(calls, 2);
    Options one = o;
    one.threads = 1;
    calls = 0;
    EXPECT_THROW((void)shared_bootstrap_means(d.columns, {}, one, InterruptCheck(hook, &calls)), std::runtime_error);
}

}  // namespace
