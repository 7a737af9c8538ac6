// debias_pairwise_judgment, Preference and PairwiseDebiasResult;
// length_bias_correction and LengthBiasResult.
#include "core/judge_calibration.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace judge = mirabund_core::judge_calibration;
using judge::LengthBiasOutcome;
using judge::PairwiseDebiasOutcome;
using judge::Preference;

template <>
struct ClassTraits<Preference> {
    static constexpr const char* name = "Preference";
    static constexpr const char* doc = "A pairwise preference outcome between response A and response B.";
    static constexpr const char* members[] = {"PrefersA", "PrefersB", "Tie"};
};

template <>
struct ClassTraits<PairwiseDebiasOutcome> {
    static constexpr const char* name = "PairwiseDebiasResult";
    static constexpr const char* doc =
        "Result of debiasing one pairwise comparison judged twice, with\n"
        "response positions swapped between the two judgments.";
    static constexpr PyGetSetDef properties[] = {
        property<&PairwiseDebiasOutcome::preference>("preference"),
        property<&PairwiseDebiasOutcome::position_bias_detected>("position_bias_detected"),
        {},
    };
    static std::string repr(const PairwiseDebiasOutcome& o) {
        return "PairwiseDebiasResult(preference=" +
               render::debug_name(member_name(o.preference)) +
               ", position_bias_detected=" + render::display_bool(o.position_bias_detected) + ")";
    }
};

template <>
struct ClassTraits<LengthBiasOutcome> {
    static constexpr const char* name = "LengthBiasResult";
    static constexpr const char* doc = "Result of fitting a length-bias correction to judge scores.";
    static constexpr PyGetSetDef properties[] = {
        property<&LengthBiasOutcome::slope>("slope"),
        property<&LengthBiasOutcome::intercept>("intercept"),
        property<&LengthBiasOutcome::correlation>("correlation"),
        property<&LengthBiasOutcome::adjusted_scores>("adjusted_scores"),
        {},
    };
    static std::string repr(const LengthBiasOutcome& o) {
        return "LengthBiasResult(slope=" + render::fixed6(o.slope) +
               ", intercept=" + render::fixed6(o.intercept) +
               ", correlation=" + render::fixed6(o.correlation) +
               ", adjusted_scores=" + render::debug_list(o.adjusted_scores) + ")";
    }
};

namespace {

Ref debias_pairwise_judgment(Preference original_order, Preference swapped_order) {
    return new_instance(judge::debias_pairwise_judgment(original_order, swapped_order));
}

constexpr Function debias_function{
    "debias_pairwise_judgment",
    {required("original_order", to_member<Preference>), required("swapped_order", to_member<Preference>)},
    debias_pairwise_judgment,
    "Debiases a single pairwise judgment by comparing two judgments of\n"
    "the same pair of responses, made with positions swapped. If the\n"
    "two judgments disagree, that disagreement is itself evidence of\n"
    "position bias, and the result is downgraded to a Tie rather than\n"
    "trusting either judgment.",
};

Ref length_bias_correction(std::vector<double> scores, std::vector<double> lengths) {
    return wrap(judge::length_bias_correction(scores, lengths));
}

constexpr Function length_function{
    "length_bias_correction",
    {required("scores", to_sample), required("lengths", to_sample)},
    length_bias_correction,
    "Fits an ordinary least squares regression of `scores` on\n"
    "`lengths` and returns length-adjusted (residualized) scores,\n"
    "correcting for the tendency of LLM judges to score longer\n"
    "responses higher independent of actual quality.",
};

constexpr Member members[] = {
    {&class_member<Preference>},
    {&class_member<PairwiseDebiasOutcome>},
    {&function_member<debias_function>},
    {&class_member<LengthBiasOutcome>},
    {&function_member<length_function>},
};

}  // namespace

std::span<const Member> judge_calibration_members() { return members; }

}  // namespace mirabund_py
