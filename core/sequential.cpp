#include "core/sequential.hpp"

#include <cmath>

namespace mirabund_core::sequential {

std::string_view display_text(SequentialError error) {
    switch (error) {
        case SequentialError::InvalidAlpha:
            return "alpha must be in (0.0, 1.0)";
        case SequentialError::InvalidTau:
            return "tau must be > 0.0";
    }
    return {};
}

Result<SequentialTestState, SequentialError> SequentialTestState::create(double alpha,
                                                                         double tau) {
    // Ordered tests: NaN fails both, an infinite tau passes.
    if (!(0.0 < alpha && alpha < 1.0)) return std::unexpected(SequentialError::InvalidAlpha);
    if (!(tau > 0.0)) return std::unexpected(SequentialError::InvalidTau);
    return SequentialTestState(alpha, tau);
}

SequentialOutcome SequentialTestState::update(double x) noexcept {
    n_ = n_ + 1;
    const double c = static_cast<double>(n_);
    const double delta = x - mean_;
    mean_ = delta / c + mean_;
    m2_ = (x - mean_) * delta + m2_;
    if (n_ < 2) return SequentialOutcome{n_, 1.0, SequentialDecision::Continue};

    const double v = *variance_estimate();
    // No usable spread yet; a NaN variance (poisoned moments) lands here too.
    if (!(v > 1e-12)) return SequentialOutcome{n_, 1.0, SequentialDecision::Continue};

    const double t2 = tau_ * tau_;
    const double d = t2 * c + v;
    const double s = std::sqrt(v / d);
    const double e = (((c * c) * t2) * mean_) * mean_ / ((v + v) * d);
    const double ratio = std::exp(e) * s;
    // Ordered: a NaN ratio never rejects.
    const SequentialDecision decision =
        ratio >= 1.0 / alpha_ ? SequentialDecision::RejectNull : SequentialDecision::Continue;
    return SequentialOutcome{n_, ratio, decision};
}

std::optional<double> SequentialTestState::variance_estimate() const noexcept {
    if (n_ < 2) return std::nullopt;
    return m2_ / (static_cast<double>(n_) + (-1.0));
}

}  // namespace mirabund_core::sequential
