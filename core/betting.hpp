// An anytime-valid test and confidence sequence for the mean of bounded
// scores by betting (Waudby-Smith and Ramdas 2023, "Estimating means of
// bounded random variables by betting", JRSS-B 86(1)).
//
// Scores lie in [low, high]; they are taken as u = (x - low) / (high - low)
// in [0, 1], and a candidate mean m as (m - low) / (high - low). Against
// each candidate mean m a gambler starts with capital 1 and multiplies it by
// 1 + lambda_i (u_i - m) at score i, the bet lambda_i chosen from the scores
// before it. When m is the true mean that capital is a nonnegative
// martingale, so by Ville's inequality it ever reaches 1 / alpha with
// probability at most alpha.
//
// The bet is aGRAPA (the paper's approximate growth-rate adaptive bet):
//   lambda_i = (mu_{i-1} - m) / (s2_{i-1} + (mu_{i-1} - m)^2),
// truncated to [-bet_cap / (1 - m), bet_cap / m], so every factor stays
// above 1 - bet_cap, with the paper's regularised estimates
//   mu_t = (1/2 + u_1 + ... + u_t) / (t + 1),
//   s2_t = (1/4 + (u_1 - mu_1)^2 + ... + (u_t - mu_t)^2) / (t + 1).
// The bet takes the sign of mu - m, so one capital process tests both
// directions; no hedging halves it.
//
// The null mean's capital is followed exactly. The confidence sequence is
// followed on the grid of means low + k (high - low) / grid_steps: a grid
// mean is excluded for good once its capital has reached 1 / alpha, and
// only the span of grid means still possible is updated.
//
// Order of operations, which fixes every bit: capitals are kept as logs,
// each step adding log1p(lambda * (u - m)) with lambda = d / (s2 + d * d),
// d = mu - m; sums run in one accumulator each, in input order; the running
// total of the raw scores starts from -0.0, as the mean is total / n.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/interrupt.hpp"
#include "core/outcome.hpp"

namespace mirabund_core::betting {

// The grid of the confidence sequence has grid_steps + 1 means, bounds
// included; the sequence's ends are exact to within one step of it.
inline constexpr std::uint64_t grid_steps = 4096;
// aGRAPA's truncation: a bet risks at most this share of the capital.
inline constexpr double bet_cap = 0.5;

// Checked in this order; the first that applies is reported.
enum class BettingError : std::uint8_t {
    InvalidAlpha,
    InvalidBounds,
    NullOutsideBounds,
    ScoreOutsideBounds,
    InvalidSnapshot,
};

std::string_view display_text(BettingError error);

// Everything a monitor has learnt from its scores, to save it and take it
// up again exactly where it was.
struct BettingSnapshot {
    std::uint64_t n = 0;
    std::uint64_t rejected_at = 0;  // 0 while the null stands
    std::uint64_t first_live = 0;   // grid index of live_log_capitals[0]
    double total = -0.0;            // -0.0 + x_1 + ... + x_n
    double score_sum = 0.5;         // 1/2 + u_1 + ... + u_n
    double spread_sum = 0.25;       // 1/4 + (u_1 - mu_1)^2 + ... + (u_n - mu_n)^2
    double log_capital = 0.0;
    double max_log_capital = 0.0;
    double ci_lower = 0.0;
    double ci_upper = 0.0;
    // The grid means from first_live on that have not all been excluded;
    // an excluded one inside the span holds +infinity.
    std::vector<double> live_log_capitals;
};

class BettingMonitor {
public:
    static Result<BettingMonitor, BettingError> create(double alpha, double low, double high, double null_mean);
    // A monitor that takes up a snapshot of one made with the same settings.
    static Result<BettingMonitor, BettingError> restore(double alpha, double low, double high, double null_mean,
                                                        BettingSnapshot snapshot);

    // Takes the scores in order, and stops after the one at which the null
    // is first rejected; returns how many it took. Scores outside the bounds
    // (NaN among them) are refused before any is taken.
    Result<std::size_t, BettingError> feed(std::span<const double> scores, InterruptCheck interrupt = {});

    std::uint64_t n() const noexcept { return state_.n; }
    double mean() const noexcept;  // NaN before the first score
    double log_capital() const noexcept { return state_.log_capital; }
    double max_log_capital() const noexcept { return state_.max_log_capital; }
    std::uint64_t rejected_at() const noexcept { return state_.rejected_at; }
    // The open interval (ci_lower, ci_upper) holds null_mean exactly while
    // the null stands.
    double ci_lower() const noexcept { return state_.ci_lower; }
    double ci_upper() const noexcept { return state_.ci_upper; }
    const BettingSnapshot& snapshot() const noexcept { return state_; }

private:
    BettingMonitor(double alpha, double low, double high, double null_mean) noexcept;

    void take(double x) noexcept;
    double grid_mean(std::uint64_t k) const noexcept;

    double low_;
    double high_;
    double width_;
    double null_mean_;
    double null_unit_;  // the null mean on the unit scale
    double threshold_;  // log(1 / alpha)
    BettingSnapshot state_;
};

}  // namespace mirabund_core::betting
