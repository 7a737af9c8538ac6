// Sequential test: creation checks in their order; over a stream of updates,
// the count, the ratio 1.0 whenever the variance is at or below the floor,
// the decision against 1/alpha, a ratio never negative, and the poisoning by
// a non-finite observation.
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/sequential.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using namespace mirabund_core::sequential;

std::string describe(const SequentialOutcome& o) {
    return "n " + std::to_string(o.n) + ", ratio " + fuzz::show(o.likelihood_ratio) + ", decision " +
           std::to_string(static_cast<int>(o.decision));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const double alpha = in.unit();
    const double tau = in.number();
    const std::vector<double> observations = in.numbers(in.below(65));

    auto created = SequentialTestState::create(alpha, tau);
    if (!(alpha > 0.0 && alpha < 1.0)) {
        FUZZ_CHECK(!created && created.error() == SequentialError::InvalidAlpha, "bad alpha accepted");
        return 0;
    }
    if (!(tau > 0.0)) {
        FUZZ_CHECK(!created && created.error() == SequentialError::InvalidTau, "bad tau accepted");
        return 0;
    }
    FUZZ_CHECK(created.has_value(), std::string(display_text(created.error())));
    SequentialTestState& state = *created;
    FUZZ_CHECK(state.n() == 0 && state.current_mean() == 0.0 && !state.variance_estimate(), "fresh state");

    bool poisoned = false;
    for (std::size_t i = 0; i < observations.size(); ++i) {
        const double x = observations[i];
        const SequentialOutcome out = state.update(x);
        poisoned = poisoned || !std::isfinite(x);
        const std::uint64_t n = i + 1;
        FUZZ_CHECK(out.n == n && state.n() == n, describe(out));
        FUZZ_CHECK(fuzz::same(state.alpha(), alpha) && fuzz::same(state.tau(), tau), "alpha or tau changed");
        if (n == 1) FUZZ_CHECK(state.current_mean() == x || (std::isnan(x) && std::isnan(state.current_mean())),
                               "first mean " + fuzz::show(state.current_mean()));

        const std::optional<double> variance = state.variance_estimate();
        FUZZ_CHECK(variance.has_value() == (n >= 2), "variance present at n " + std::to_string(n));
        if (poisoned && variance) FUZZ_CHECK(std::isnan(*variance), "variance after a non-finite observation");
        if (!variance || !(*variance > 1e-12)) {
            FUZZ_CHECK(out.likelihood_ratio == 1.0 && out.decision == SequentialDecision::Continue, describe(out));
            continue;
        }
        const double ratio = out.likelihood_ratio;
        FUZZ_CHECK(!(ratio < 0.0), describe(out));
        const bool reject = ratio >= 1.0 / alpha;
        FUZZ_CHECK(out.decision == (reject ? SequentialDecision::RejectNull : SequentialDecision::Continue),
                   describe(out));
        if (std::isinf(tau)) FUZZ_CHECK(std::isnan(ratio), describe(out));
    }
    return 0;
}
