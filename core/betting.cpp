#include "core/betting.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mirabund_core::betting {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

// The grid means on the unit scale and the truncation of their bets, the
// same for every monitor.
struct GridBets {
    std::vector<double> mean;
    std::vector<double> least;
    std::vector<double> most;
};

const GridBets& grid_bets() {
    static const GridBets bets = [] {
        GridBets made;
        for (std::uint64_t k = 0; k <= grid_steps; ++k) {
            const double m = static_cast<double>(k) / static_cast<double>(grid_steps);
            made.mean.push_back(m);
            made.least.push_back(-bet_cap / (1.0 - m));  // -infinity at m = 1, where u - m <= 0
            made.most.push_back(bet_cap / m);            // +infinity at m = 0, where u - m >= 0
        }
        return made;
    }();
    return bets;
}

// aGRAPA's bet against the unit-scale mean m, from the estimates mu and s2
// of the scores before this one (s2 > 0 always, from its 1/4 start).
double bet(double mu, double s2, double m, double least, double most) {
    const double d = mu - m;
    return std::min(std::max(d / (s2 + d * d), least), most);
}

bool is_number(double x) { return !std::isnan(x); }

}  // namespace

std::string_view display_text(BettingError error) {
    switch (error) {
        case BettingError::InvalidAlpha:
            return "alpha must be in (0.0, 1.0)";
        case BettingError::InvalidBounds:
            return "bounds must be finite with low < high and a finite width high - low";
        case BettingError::NullOutsideBounds:
            return "null_mean must lie within the bounds";
        case BettingError::ScoreOutsideBounds:
            return "scores must lie within the bounds";
        case BettingError::InvalidSnapshot:
            return "snapshot is not one a monitor with these settings can be in";
    }
    return {};
}

BettingMonitor::BettingMonitor(double alpha, double low, double high, double null_mean) noexcept
    : low_(low),
      high_(high),
      width_(high - low),
      null_mean_(null_mean),
      null_unit_((null_mean - low) / (high - low)),
      threshold_(-std::log(alpha)) {
    state_.ci_lower = -infinity;
    state_.ci_upper = infinity;
    state_.live_log_capitals.assign(grid_steps + 1, 0.0);
}

Result<BettingMonitor, BettingError> BettingMonitor::create(double alpha, double low, double high,
                                                            double null_mean) {
    // Ordered tests: NaN fails each.
    if (!(0.0 < alpha && alpha < 1.0)) return std::unexpected(BettingError::InvalidAlpha);
    if (!(std::isfinite(low) && std::isfinite(high) && low < high && std::isfinite(high - low)))
        return std::unexpected(BettingError::InvalidBounds);
    if (!(low <= null_mean && null_mean <= high)) return std::unexpected(BettingError::NullOutsideBounds);
    return BettingMonitor(alpha, low, high, null_mean);
}

Result<BettingMonitor, BettingError> BettingMonitor::restore(double alpha, double low, double high,
                                                             double null_mean, BettingSnapshot snapshot) {
    auto made = create(alpha, low, high, null_mean);
    if (!made) return made;
    const BettingSnapshot& s = snapshot;
    const auto live = static_cast<std::uint64_t>(s.live_log_capitals.size());
    // Counts stay exact as doubles, as the estimates need.
    const bool fits = s.n < (std::uint64_t{1} << 53) && s.rejected_at <= s.n && s.first_live <= grid_steps + 1 &&
                      live <= grid_steps + 1 - s.first_live;
    const bool sums = std::isfinite(s.total) && std::isfinite(s.score_sum) && std::isfinite(s.spread_sum) &&
                      s.spread_sum > 0.0 && std::isfinite(s.log_capital) && s.max_log_capital >= s.log_capital &&
                      std::isfinite(s.max_log_capital) && is_number(s.ci_lower) && is_number(s.ci_upper);
    // Capitals stay finite until they are excluded, and then are +infinity.
    const bool capitals = std::ranges::all_of(s.live_log_capitals, [&](double c) {
        return c == infinity || (std::isfinite(c) && c < made->threshold_);
    });
    if (!(fits && sums && capitals)) return std::unexpected(BettingError::InvalidSnapshot);
    made->state_ = std::move(snapshot);
    return made;
}

double BettingMonitor::mean() const noexcept {
    if (state_.n == 0) return std::numeric_limits<double>::quiet_NaN();
    return state_.total / static_cast<double>(state_.n);
}

double BettingMonitor::grid_mean(std::uint64_t k) const noexcept {
    if (k >= grid_steps) return high_;  // low + width may round past it
    return low_ + (static_cast<double>(k) / static_cast<double>(grid_steps)) * width_;
}

Result<std::size_t, BettingError> BettingMonitor::feed(std::span<const double> scores, InterruptCheck interrupt) {
    for (const double x : scores)
        if (!(low_ <= x && x <= high_)) return std::unexpected(BettingError::ScoreOutsideBounds);
    std::size_t taken = 0;
    for (const double x : scores) {
        take(x);
        ++taken;
        interrupt.add(16 + 32 * state_.live_log_capitals.size());
        if (state_.rejected_at == state_.n) break;
    }
    return taken;
}

void BettingMonitor::take(double x) noexcept {
    BettingSnapshot& s = state_;
    const double u = (x - low_) / width_;
    // Estimates from the scores before this one: (1/2 + sum) / (t + 1).
    const double count = static_cast<double>(s.n + 1);
    const double mu = s.score_sum / count;
    const double s2 = s.spread_sum / count;

    const double null_bet = bet(mu, s2, null_unit_, -bet_cap / (1.0 - null_unit_), bet_cap / null_unit_);
    s.log_capital = s.log_capital + std::log1p(null_bet * (u - null_unit_));
    s.max_log_capital = std::max(s.max_log_capital, s.log_capital);
    s.n = s.n + 1;
    s.total = s.total + x;
    if (s.rejected_at == 0 && s.log_capital >= threshold_) s.rejected_at = s.n;

    // The grid means still possible; an excluded one stays at +infinity.
    const GridBets& grid = grid_bets();
    std::vector<double>& live = s.live_log_capitals;
    const std::size_t first = s.first_live;
    for (std::size_t j = 0; j < live.size(); ++j) {
        const std::size_t k = first + j;
        const double m = grid.mean[k];
        const double grown = live[j] + std::log1p(bet(mu, s2, m, grid.least[k], grid.most[k]) * (u - m));
        live[j] = grown >= threshold_ ? infinity : grown;
    }
    const auto kept_from = std::ranges::find_if(live, [](double c) { return c != infinity; });
    const auto dropped_front = static_cast<std::size_t>(kept_from - live.begin());
    std::size_t kept_end = live.size();
    while (kept_end > dropped_front && live[kept_end - 1] == infinity) --kept_end;
    live.erase(live.begin() + static_cast<std::ptrdiff_t>(kept_end), live.end());
    live.erase(live.begin(), live.begin() + static_cast<std::ptrdiff_t>(dropped_front));
    s.first_live = first + dropped_front;

    // The open interval between the nearest excluded grid means, or the
    // bounds; once every grid mean is out, the step after the last to go.
    const std::uint64_t live_end = s.first_live + live.size();
    double lower = s.first_live == 0 ? low_ : grid_mean(s.first_live - 1);
    double upper = live_end > grid_steps ? high_ : grid_mean(live_end);

    // The grid rounds the null's own decision off; where they disagree, the
    // interval yields to the decision, so that the two agree.
    const bool rejected = s.rejected_at != 0;
    const bool inside = lower < null_mean_ && null_mean_ < upper;
    if (rejected && inside) {
        if (null_mean_ < mean()) lower = null_mean_;
        else upper = null_mean_;
    } else if (!rejected && !inside) {
        if (null_mean_ <= lower) lower = std::nextafter(null_mean_, -infinity);
        else upper = std::nextafter(null_mean_, infinity);
    }
    s.ci_lower = std::max(s.ci_lower, lower);
    s.ci_upper = std::min(s.ci_upper, upper);

    s.score_sum = s.score_sum + u;
    const double mu_now = s.score_sum / static_cast<double>(s.n + 1);
    const double d = u - mu_now;
    s.spread_sum = s.spread_sum + d * d;
}

}  // namespace mirabund_core::betting
