// correct_p_values, CorrectionMethod and CorrectionResult.
#include "core/correction.hpp"
#include "python/module.hpp"
#include "python/render.hpp"

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

constexpr Parameter parameters[] = {{"p_values"}, {"alpha"}, {"method"}};
constexpr Signature signature{"correct_p_values()", parameters};

Ref correct_p_values(const BoundArguments& args) {
    const auto p_values = args.convert(0, to_sample);
    const double alpha = args.convert(1, to_double);
    const auto method = args.convert(2, to_member<CorrectionMethod>);
    return wrap(correction::correct_p_values(p_values, alpha, method));
}

PyMethodDef definition = function_definition<signature, correct_p_values>(
    "correct_p_values",
    "correct_p_values(p_values, alpha, method)\n--\n\n"
    "Applies a multiple-comparisons correction to `p_values`.\n"
    "\n"
    "Use `CorrectionMethod.Bonferroni` for strict family-wise error\n"
    "control, or `CorrectionMethod.BenjaminiHochberg` for higher-power\n"
    "false-discovery-rate control when checking many metrics at once\n"
    "(the more realistic case for eval suites).");

constexpr Member members[] = {
    {&class_member<CorrectionMethod>},
    {&class_member<CorrectionOutcome>},
    {&function_member<definition>},
};

}  // namespace

std::span<const Member> correction_members() { return members; }

}  // namespace mirabund_py
