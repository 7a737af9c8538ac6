// cohens_d, EffectMagnitude and EffectSizeResult.
#include "core/effect_size.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace effect_size = mirabund_core::effect_size;
using effect_size::EffectMagnitude;
using effect_size::EffectSizeOutcome;

template <>
struct ClassTraits<EffectMagnitude> {
    static constexpr const char* name = "EffectMagnitude";
    static constexpr const char* doc = "Qualitative interpretation bucket for a standardized effect size.";
    static constexpr const char* members[] = {"Negligible", "Small", "Medium", "Large"};
};

template <>
struct ClassTraits<EffectSizeOutcome> {
    static constexpr const char* name = "EffectSizeResult";
    static constexpr const char* doc = "Result of a Cohen's d / Hedges' g effect size computation.";
    static constexpr PyGetSetDef properties[] = {
        property<&EffectSizeOutcome::cohens_d>("cohens_d"),
        property<&EffectSizeOutcome::hedges_g>("hedges_g"),
        property<&EffectSizeOutcome::magnitude>("magnitude"),
        property<&EffectSizeOutcome::n_baseline>("n_baseline"),
        property<&EffectSizeOutcome::n_treatment>("n_treatment"),
        {},
    };
    static std::string repr(const EffectSizeOutcome& o) {
        return "EffectSizeResult(cohens_d=" + render::fixed6(o.cohens_d) +
               ", hedges_g=" + render::fixed6(o.hedges_g) +
               ", n_baseline=" + render::display_count(o.n_baseline) +
               ", n_treatment=" + render::display_count(o.n_treatment) + ")";
    }
};

namespace {

Ref cohens_d(std::vector<double> baseline, std::vector<double> treatment) {
    return wrap(effect_size::cohens_d(baseline, treatment));
}

constexpr Function function{
    "cohens_d",
    {required("baseline", to_sample), required("treatment", to_sample)},
    cohens_d,
    "Computes Cohen's d and Hedges' g for the difference between\n"
    "`treatment` and `baseline` sample means, using the pooled\n"
    "standard deviation. Positive values mean `treatment` scored\n"
    "higher than `baseline`; negative means lower.\n"
    "\n"
    "Prefer `hedges_g` over `cohens_d` when group sizes are small\n"
    "(roughly n < 20 per group) \u2014 Cohen's d systematically\n"
    "overestimates effect size in that regime.",
};

constexpr Member members[] = {
    {&class_member<EffectMagnitude>},
    {&class_member<EffectSizeOutcome>},
    {&function_member<function>},
};

}  // namespace

std::span<const Member> effect_size_members() { return members; }

}  // namespace mirabund_py
