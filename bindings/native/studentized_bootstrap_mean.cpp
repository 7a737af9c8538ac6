// studentized_bootstrap_mean and StudentizedBootstrapResult.
#include "core/studentized_bootstrap.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace studentized_bootstrap = mirabund_core::studentized_bootstrap;
using studentized_bootstrap::StudentizedBootstrapOutcome;

template <>
struct ClassTraits<StudentizedBootstrapOutcome> {
    static constexpr const char* name = "StudentizedBootstrapResult";
    static constexpr const char* doc = "Bootstrap-t interval of a mean and the p-value of a zero mean.";
    static constexpr PyGetSetDef properties[] = {
        property<&StudentizedBootstrapOutcome::mean>("mean"),
        property<&StudentizedBootstrapOutcome::standard_error>("standard_error"),
        property<&StudentizedBootstrapOutcome::ci_lower>("ci_lower"),
        property<&StudentizedBootstrapOutcome::ci_upper>("ci_upper"),
        property<&StudentizedBootstrapOutcome::confidence_level>("confidence_level"),
        property<&StudentizedBootstrapOutcome::n_resamples>("n_resamples"),
        property<&StudentizedBootstrapOutcome::count_at_least>("count_at_least"),
        property<&StudentizedBootstrapOutcome::count_at_most>("count_at_most"),
        property<&StudentizedBootstrapOutcome::p_value>("p_value"),
        {},
    };
    static std::string repr(const StudentizedBootstrapOutcome& o) {
        return "StudentizedBootstrapResult(mean=" + render::fixed6(o.mean) +
               ", standard_error=" + render::fixed6(o.standard_error) + ", ci_lower=" + render::fixed6(o.ci_lower) +
               ", ci_upper=" + render::fixed6(o.ci_upper) + ", p_value=" + render::display(o.p_value) +
               ", n_resamples=" + render::display_count(o.n_resamples) + ")";
    }
};

namespace {

Ref studentized_bootstrap_mean(std::vector<double> values, std::uint64_t n_resamples, double confidence_level,
                               std::uint64_t seed) {
    return wrap(interruptible_without_gil([&](mirabund_core::InterruptCheck interrupt) {
        return studentized_bootstrap::studentized_bootstrap_mean(values, n_resamples, confidence_level, seed,
                                                                 interrupt);
    }));
}

constexpr Function function{
    "studentized_bootstrap_mean",
    {required("values", to_sample), required("n_resamples", to_u64), required("confidence_level", to_double),
     required("seed", to_u64)},
    studentized_bootstrap_mean,
    "Bootstrap-t interval of the mean of `values` and the two-sided\n"
    "p-value of a zero mean, from `n_resamples` resamples of single items\n"
    "drawn from a ChaCha stream keyed by `seed`.\n"
    "\n"
    "Each resample gives t* = (its mean - the mean) / its standard error;\n"
    "p = min(1, 2 * (1 + min(#{t* >= t}, #{t* <= t})) / (n_resamples + 1))\n"
    "with t = mean / standard error, and the interval holds exactly the\n"
    "means m whose p-value, t = (mean - m) / standard error, is at least\n"
    "1 - confidence_level.",
};

constexpr Member members[] = {
    {&class_member<StudentizedBootstrapOutcome>},
    {&function_member<function>},
};

}  // namespace

std::span<const Member> studentized_bootstrap_mean_members() { return members; }

}  // namespace mirabund_py
