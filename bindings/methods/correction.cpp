// correct_p_values, CorrectionMethod and CorrectionResult.
#include "core/correction.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace correction = mirabund_core::correction;
using correction::CorrectionMethod;
using correction::CorrectionOutcome;

template <>
struct ClassTraits<CorrectionMethod> {
    static constexpr const char* name = "CorrectionMethod";
    static constexpr const char* doc = "Which multiple-comparisons correction method to apply.";
    static constexpr const char* members[] = {"Bonferroni", "BenjaminiHochberg"};
};

template <>
struct ClassTraits<CorrectionOutcome> {
    static constexpr const char* name = "CorrectionResult";
    static constexpr const char* doc =
        "Result of applying a multiple-comparisons correction to a set of\n"
        "p-values.";
    static constexpr PyGetSetDef properties[] = {
        property<&CorrectionOutcome::adjusted_p_values>("adjusted_p_values"),
        property<&CorrectionOutcome::rejected>("rejected"),
        property<&CorrectionOutcome::alpha>("alpha"),
        {},
    };
    static std::string repr(const CorrectionOutcome& o) {
        return "CorrectionResult(adjusted_p_values=" + render::debug_list(o.adjusted_p_values) +
               ", rejected=" + render::debug_list(o.rejected) + ", alpha=" + render::display(o.alpha) + ")";
    }
};

namespace {

Ref correct_p_values(std::vector<double> p_values, double alpha, CorrectionMethod method) {
    return wrap(correction::correct_p_values(p_values, alpha, method, signal_checks()));
}

constexpr Function function{
    "correct_p_values",
    {required("p_values", to_sample), required("alpha", to_double),
     required("method", to_member<CorrectionMethod>)},
    correct_p_values,
    "Applies a multiple-comparisons correction to `p_values`.\n"
    "\n"
    "Use `CorrectionMethod.Bonferroni` for strict family-wise error\n"
    "control, or `CorrectionMethod.BenjaminiHochberg` for higher-power\n"
    "false-discovery-rate control when checking many metrics at once\n"
    "(the more realistic case for eval suites).",
};

constexpr Member members[] = {
    {&class_member<CorrectionMethod>},
    {&class_member<CorrectionOutcome>},
    {&function_member<function>},
};

}  // namespace

std::span<const Member> correction_members() { return members; }

}  // namespace mirabund_py
