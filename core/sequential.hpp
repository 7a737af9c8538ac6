// Mixture sequential probability ratio test on the mean of a stream: after
// each observation, the likelihood ratio of "the mean is not zero" (normal
// prior of standard deviation tau on it) against "the mean is zero".
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "core/outcome.hpp"

namespace mirabund_core::sequential {

enum class SequentialDecision : std::uint8_t { Continue, RejectNull };

struct SequentialOutcome {
    std::uint64_t n;
    double likelihood_ratio;
    SequentialDecision decision;
};

enum class SequentialError { InvalidAlpha, InvalidTau };

std::string_view display_text(SequentialError error);

// Running moments of the observations (Welford). No decision is kept: each
// update decides afresh, so a rejection does not latch.
class SequentialTestState {
public:
    static Result<SequentialTestState, SequentialError> create(double alpha, double tau);

    // Counts every observation; a NaN or infinity poisons the moments for good.
    SequentialOutcome update(double x) noexcept;

    std::uint64_t n() const noexcept { return n_; }
    double current_mean() const noexcept { return mean_; }
    // Sample variance once there are two observations, without any floor.
    std::optional<double> variance_estimate() const noexcept;
    double alpha() const noexcept { return alpha_; }
    double tau() const noexcept { return tau_; }

private:
    SequentialTestState(double alpha, double tau) noexcept : alpha_(alpha), tau_(tau) {}

    double alpha_;
    double tau_;
    std::uint64_t n_ = 0;
    double mean_ = 0.0;
    double m2_ = 0.0;
};

}  // namespace mirabund_core::sequential
