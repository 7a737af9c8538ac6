#include "core/sequential.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace mirabund_core::sequential;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

SequentialTestState make(double alpha, double tau) {
    auto state = SequentialTestState::create(alpha, tau);
    if (!state) ADD_FAILURE() << "create(" << alpha << ", " << tau << ") failed";
    return *state;
}

// The mixture ratio from exact moments, in the evaluation order that fixes
// its bits: sqrt(v / (t2*n + v)) * exp(n^2 t2 mean^2 / (2 v (t2*n + v))).
double mixture_ratio(double c, double mean, double v, double tau) {
    const double t2 = tau * tau;
    const double d = t2 * c + v;
    const double e = (((c * c) * t2) * mean) * mean / ((v + v) * d);
    return std::exp(e) * std::sqrt(v / d);
}

TEST(SequentialTest, CreationChecksAlphaFirst) {
    struct Case {
        double alpha;
        double tau;
        SequentialError error;
    };
    const Case cases[] = {
        {0.0, 1.0, SequentialError::InvalidAlpha},  {1.0, 1.0, SequentialError::InvalidAlpha},
        {kNaN, 1.0, SequentialError::InvalidAlpha}, {2.0, -1.0, SequentialError::InvalidAlpha},
        {0.05, 0.0, SequentialError::InvalidTau},   {0.05, -1.0, SequentialError::InvalidTau},
        {0.05, kNaN, SequentialError::InvalidTau},
    };
    for (const Case& c : cases) {
        const auto state = SequentialTestState::create(c.alpha, c.tau);
        ASSERT_FALSE(state.has_value()) << c.alpha << ", " << c.tau;
        EXPECT_EQ(state.error(), c.error) << c.alpha << ", " << c.tau;
    }
    EXPECT_EQ(display_text(SequentialError::InvalidAlpha), "alpha must be in (0.0, 1.0)");
    EXPECT_EQ(display_text(SequentialError::InvalidTau), "tau must be > 0.0");
}

TEST(SequentialTest, FreshAndSingleObservation) {
    SequentialTestState state = make(0.05, 1.0);
    EXPECT_EQ(state.n(), 0u);
    EXPECT_EQ(state.current_mean(), 0.0);
    EXPECT_FALSE(state.variance_estimate().has_value());
    EXPECT_EQ(state.alpha(), 0.05);
    EXPECT_EQ(state.tau(), 1.0);

    const SequentialOutcome first = state.update(7.25);
    EXPECT_EQ(first.n, 1u);
    EXPECT_EQ(first.likelihood_ratio, 1.0);
    EXPECT_EQ(first.decision, SequentialDecision::Continue);
    EXPECT_EQ(state.current_mean(), 7.25);
    EXPECT_FALSE(state.variance_estimate().has_value());

    // Equal observations: zero variance sits under the floor, yet is reported.
    const SequentialOutcome second = state.update(7.25);
    EXPECT_EQ(second.likelihood_ratio, 1.0);
    EXPECT_EQ(second.decision, SequentialDecision::Continue);
    EXPECT_EQ(state.variance_estimate(), 0.0);
}

TEST(SequentialTest, RejectionDoesNotLatch) {
    SequentialTestState state = make(0.05, 1.0);
    struct Step {
        double x;
        double mean;
        double v;
        double approx_ratio;
        SequentialDecision decision;
    };
    // Running moments after 1, 2, 3, then -3; the threshold is 1 / 0.05 = 20.
    const Step steps[] = {
        {2.0, 1.5, 0.5, 16.367228, SequentialDecision::Continue},
        {3.0, 2.0, 1.0, 45.008566, SequentialDecision::RejectNull},
        {-3.0, 0.75, 20.75 / 3.0, 0.844863, SequentialDecision::Continue},
    };
    EXPECT_EQ(state.update(1.0).likelihood_ratio, 1.0);
    for (const Step& step : steps) {
        const SequentialOutcome out = state.update(step.x);
        const double c = static_cast<double>(out.n);
        EXPECT_EQ(state.current_mean(), step.mean);
        EXPECT_EQ(state.variance_estimate(), step.v);
        EXPECT_EQ(out.likelihood_ratio, mixture_ratio(c, step.mean, step.v, 1.0)) << "n=" << out.n;
        EXPECT_NEAR(out.likelihood_ratio, step.approx_ratio, 1e-6) << "n=" << out.n;
        EXPECT_EQ(out.decision, step.decision) << "n=" << out.n;
    }
    EXPECT_EQ(state.n(), 4u);
}

TEST(SequentialTest, NonFiniteObservationsAndParameters) {
    // One NaN poisons the moments for good, while the count goes on.
    SequentialTestState poisoned = make(0.05, 1.0);
    poisoned.update(1.0);
    poisoned.update(kNaN);
    for (double x : {1.0, 2.0, 100.0}) {
        const SequentialOutcome out = poisoned.update(x);
        EXPECT_EQ(out.likelihood_ratio, 1.0);
        EXPECT_EQ(out.decision, SequentialDecision::Continue);
    }
    EXPECT_EQ(poisoned.n(), 5u);
    EXPECT_TRUE(std::isnan(poisoned.current_mean()));
    EXPECT_TRUE(std::isnan(*poisoned.variance_estimate()));

    // An overflowing exponent gives an infinite ratio, which rejects.
    SequentialTestState overflow = make(0.05, 1.0);
    overflow.update(1000.0);
    const SequentialOutcome big = overflow.update(1001.0);
    EXPECT_EQ(big.likelihood_ratio, kInf);
    EXPECT_EQ(big.decision, SequentialDecision::RejectNull);

    // An infinite prior spread makes the ratio NaN, which never rejects.
    SequentialTestState flat = make(0.05, kInf);
    flat.update(1.0);
    const SequentialOutcome undefined = flat.update(2.0);
    EXPECT_TRUE(std::isnan(undefined.likelihood_ratio));
    EXPECT_EQ(undefined.decision, SequentialDecision::Continue);
}

}  // namespace
