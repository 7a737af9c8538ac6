// sign_flip_test and SignFlipResult.
#include "core/sign_flip.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace sign_flip = mirabund_core::sign_flip;
using sign_flip::SignFlipOutcome;

template <>
struct ClassTraits<SignFlipOutcome> {
    static constexpr const char* name = "SignFlipResult";
    static constexpr const char* doc = "Sign-flip randomization test of a zero mean, and its inverted interval.";
    static constexpr PyGetSetDef properties[] = {
        property<&SignFlipOutcome::p_value>("p_value"),
        property<&SignFlipOutcome::ci_lower>("ci_lower"),
        property<&SignFlipOutcome::ci_upper>("ci_upper"),
        property<&SignFlipOutcome::confidence_level>("confidence_level"),
        property<&SignFlipOutcome::n_flips>("n_flips"),
        property<&SignFlipOutcome::enumerated>("enumerated"),
        property<&SignFlipOutcome::binomial>("binomial"),
        {},
    };
    static std::string repr(const SignFlipOutcome& o) {
        return "SignFlipResult(p_value=" + render::display(o.p_value) + ", ci_lower=" + render::fixed6(o.ci_lower) +
               ", ci_upper=" + render::fixed6(o.ci_upper) + ", n_flips=" + render::display_count(o.n_flips) +
               ", enumerated=" + render::display_bool(o.enumerated) +
               ", binomial=" + render::display_bool(o.binomial) + ")";
    }
};

namespace {

Ref sign_flip_test(std::vector<double> totals, std::vector<double> sizes, std::uint64_t n_resamples,
                   double confidence_level, std::uint64_t seed) {
    return wrap(interruptible_without_gil([&](mirabund_core::InterruptCheck interrupt) {
        return sign_flip::sign_flip_test(totals, sizes, n_resamples, confidence_level, seed, interrupt);
    }));
}

constexpr Function function{
    "sign_flip_test",
    {required("totals", to_sample), required("sizes", to_sample), required("n_resamples", to_u64),
     required("confidence_level", to_double), required("seed", to_u64)},
    sign_flip_test,
    "Sign-flip randomization test that the mean of paired differences is 0,\n"
    "and the interval of the null means it does not reject.\n"
    "\n"
    "`totals` holds each unit's sum of differences (an item's difference,\n"
    "or a cluster's total) and `sizes` its item count. With at most 16\n"
    "units every sign pattern is compared, else `n_resamples` patterns\n"
    "drawn from a ChaCha stream keyed by `seed`. When the nonzero totals\n"
    "share one magnitude (0/1 pairs) the p-value is the exact binomial\n"
    "tail of McNemar's test.",
};

constexpr Member members[] = {
    {&class_member<SignFlipOutcome>},
    {&function_member<function>},
};

}  // namespace

std::span<const Member> sign_flip_test_members() { return members; }

}  // namespace mirabund_py
