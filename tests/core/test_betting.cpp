#include "core/betting.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

namespace {

using namespace mirabund_core::betting;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

BettingMonitor make(double alpha, double low, double high, double null_mean) {
    auto monitor = BettingMonitor::create(alpha, low, high, null_mean);
    if (!monitor) ADD_FAILURE() << "create failed";
    return *monitor;
}

// The capital against unit-scale mean m after each score, as the product of
// the aGRAPA factors written out from the paper.
std::vector<double> reference_log_capitals(const std::vector<double>& units, double m) {
    std::vector<double> logs;
    double capital = 1.0, log_base = 0.0, sum = 0.5, spread = 0.25;
    for (std::size_t t = 0; t < units.size(); ++t) {
        const double mu = sum / double(t + 1), s2 = spread / double(t + 1);
        const double lambda = std::clamp((mu - m) / (s2 + (mu - m) * (mu - m)), -0.5 / (1 - m), 0.5 / m);
        capital *= 1 + lambda * (units[t] - m);
        if (capital > 1e100 || capital < 1e-100) log_base += std::log(capital), capital = 1.0;
        logs.push_back(log_base + std::log(capital));
        sum += units[t];
        spread += (units[t] - sum / double(t + 2)) * (units[t] - sum / double(t + 2));
    }
    return logs;
}

TEST(Betting, CreationChecksInOrder) {
    struct Case {
        double alpha, low, high, null_mean;
        BettingError error;
    };
    const Case cases[] = {
        {0.0, 0, 1, 0.5, BettingError::InvalidAlpha},         {kNaN, 0, 1, 0.5, BettingError::InvalidAlpha},
        {0.05, 1, 0, 0.5, BettingError::InvalidBounds},       {0.05, 0, kInf, 0.5, BettingError::InvalidBounds},
        {0.05, -1e308, 1e308, 0, BettingError::InvalidBounds}, {0.05, 0, 1, 1.5, BettingError::NullOutsideBounds},
        {0.05, 0, 1, kNaN, BettingError::NullOutsideBounds},
    };
    for (const Case& c : cases) {
        const auto made = BettingMonitor::create(c.alpha, c.low, c.high, c.null_mean);
        ASSERT_FALSE(made.has_value()) << c.alpha << " " << c.low << " " << c.high << " " << c.null_mean;
        EXPECT_EQ(made.error(), c.error);
    }
}

// The null's capital, and the confidence sequence as the open interval
// between the nearest grid means whose capital has ever reached 1 / alpha.
TEST(Betting, CapitalAndSequenceFollowTheBetsOnEveryGridMean) {
    std::mt19937_64 rng(7);
    std::vector<double> scores;
    for (int i = 0; i < 300; ++i) scores.push_back(1.0 + 9.0 * std::generate_canonical<double, 53>(rng) * 0.8);
    std::vector<double> units;
    for (double x : scores) units.push_back((x - 1.0) / 9.0);

    BettingMonitor monitor = make(0.05, 1.0, 10.0, 9.0);
    const std::vector<double> null_logs = reference_log_capitals(units, 8.0 / 9.0);
    std::vector<std::vector<double>> grid_logs;
    for (std::uint64_t k = 0; k <= grid_steps; ++k)
        grid_logs.push_back(reference_log_capitals(units, double(k) / double(grid_steps)));

    const double threshold = -std::log(0.05);
    std::vector<bool> excluded(grid_steps + 1, false);
    double expected_upper = kInf;
    for (std::size_t t = 0; t < scores.size(); ++t) {
        ASSERT_EQ(*monitor.feed(std::span(&scores[t], 1)), 1u);
        EXPECT_NEAR(monitor.log_capital(), null_logs[t], 1e-9 * (1 + std::abs(null_logs[t])));
        for (std::uint64_t k = 0; k <= grid_steps; ++k) excluded[k] = excluded[k] || grid_logs[k][t] >= threshold;
        std::uint64_t first = 0, last = grid_steps;
        while (excluded[first]) ++first;
        while (excluded[last]) --last;
        const double lower = first == 0 ? 1.0 : 1.0 + double(first - 1) / double(grid_steps) * 9.0;
        double upper = last == grid_steps ? 10.0 : 1.0 + double(last + 1) / double(grid_steps) * 9.0;
        // The null lies above every score's mean: only the upper end yields to its decision.
        const bool rejected = monitor.rejected_at() != 0;
        if (rejected && upper > 9.0) upper = 9.0;
        if (!rejected && upper <= 9.0) upper = std::nextafter(9.0, kInf);
        expected_upper = std::min(expected_upper, upper);
        EXPECT_EQ(monitor.ci_lower(), lower) << t;
        EXPECT_EQ(monitor.ci_upper(), expected_upper) << t;
    }
    EXPECT_NE(monitor.rejected_at(), 0u);
}

TEST(Betting, DecisionAndSequenceAgreeAndLatch) {
    std::mt19937_64 rng(3);
    int rejections = 0;
    for (int stream = 0; stream < 120; ++stream) {
        // Null means on either bound too, where the open interval needs the edge.
        const double null_mean = stream % 10 == 0 ? 0.0 : stream % 10 == 5 ? 1.0 : 0.4 + 0.003 * stream;
        const double p = 0.5 + 0.002 * stream;
        BettingMonitor monitor = make(0.1, 0.0, 1.0, null_mean);
        double lower = -kInf, upper = kInf, p_before = 0.0;
        for (int i = 0; i < 300; ++i) {
            const double x = std::generate_canonical<double, 53>(rng) < p ? 1.0 : 0.0;
            (void)monitor.feed(std::span(&x, 1));
            const bool rejected = monitor.rejected_at() != 0;
            EXPECT_EQ(rejected, !(monitor.ci_lower() < null_mean && null_mean < monitor.ci_upper()));
            EXPECT_TRUE(lower <= monitor.ci_lower() && monitor.ci_upper() <= upper);
            EXPECT_GE(monitor.max_log_capital(), p_before);
            lower = monitor.ci_lower(), upper = monitor.ci_upper(), p_before = monitor.max_log_capital();
        }
        rejections += monitor.rejected_at() != 0;
    }
    EXPECT_GT(rejections, 20);
    EXPECT_LT(rejections, 110);
}

TEST(Betting, FeedStopsAtTheRejectionAndRefusesWithoutChange) {
    const std::vector<double> ones(100, 1.0);
    BettingMonitor monitor = make(0.05, 0.0, 1.0, 0.5);
    const std::size_t taken = *monitor.feed(ones);
    EXPECT_EQ(taken, monitor.n());
    EXPECT_EQ(monitor.rejected_at(), monitor.n());
    EXPECT_LT(taken, 100u);

    const BettingSnapshot before = monitor.snapshot();
    for (double bad : {1.5, -0.1, kNaN}) {
        const std::vector<double> scores{0.5, bad};
        EXPECT_EQ(monitor.feed(scores).error(), BettingError::ScoreOutsideBounds);
        EXPECT_EQ(monitor.n(), before.n);
        EXPECT_EQ(monitor.snapshot().live_log_capitals, before.live_log_capitals);
    }
}

TEST(Betting, RestoredSnapshotContinuesBitForBit) {
    std::mt19937_64 rng(11);
    std::vector<double> scores;
    for (int i = 0; i < 2000; ++i) scores.push_back(std::generate_canonical<double, 53>(rng) * 2.0 - 1.0);
    BettingMonitor whole = make(0.05, -1.0, 1.0, 0.0);
    BettingMonitor first = make(0.05, -1.0, 1.0, 0.0);
    (void)whole.feed(scores);
    (void)first.feed(std::span(scores).first(700));
    auto restored = BettingMonitor::restore(0.05, -1.0, 1.0, 0.0, first.snapshot());
    ASSERT_TRUE(restored.has_value());
    (void)restored->feed(std::span(scores).subspan(700));
    const BettingSnapshot a = whole.snapshot(), b = restored->snapshot();
    EXPECT_EQ(std::tie(a.n, a.rejected_at, a.first_live), std::tie(b.n, b.rejected_at, b.first_live));
    EXPECT_EQ(std::tie(a.total, a.score_sum, a.spread_sum, a.log_capital, a.max_log_capital, a.ci_lower, a.ci_upper),
              std::tie(b.total, b.score_sum, b.spread_sum, b.log_capital, b.max_log_capital, b.ci_lower, b.ci_upper));
    EXPECT_EQ(a.live_log_capitals, b.live_log_capitals);

    BettingSnapshot broken = first.snapshot();
    broken.live_log_capitals.push_back(kNaN);
    EXPECT_EQ(BettingMonitor::restore(0.05, -1.0, 1.0, 0.0, broken).error(), BettingError::InvalidSnapshot);
}

}  // namespace
