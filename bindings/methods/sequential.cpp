// SequentialTest, SequentialUpdate and SequentialDecision.
#include "core/sequential.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace sequential = mirabund_core::sequential;
using sequential::SequentialDecision;
using sequential::SequentialOutcome;
using sequential::SequentialTestState;

namespace {

// The observation counts only once its result exists: a call that fails
// leaves the test as it was.
Ref update(SequentialTestState& state, double x) {
    SequentialTestState next = state;
    Ref result = new_instance(next.update(x));
    state = next;
    return result;
}

constexpr Method update_method{
    "update",
    {required("x", to_double)},
    update,
    "Feed one new observation into the test and get back the\n"
    "updated decision.",
};

SequentialTestState construct(double alpha, double tau) { return unwrap(SequentialTestState::create(alpha, tau)); }

constexpr Constructor constructor{{required("alpha", to_double), required("tau", to_double)}, construct};

}  // namespace

template <>
struct ClassTraits<SequentialDecision> {
    static constexpr const char* name = "SequentialDecision";
    static constexpr const char* doc =
        "Decision returned after each observation fed into a\n"
        "`SequentialTest`.";
    static constexpr const char* members[] = {"Continue", "RejectNull"};
};

template <>
struct ClassTraits<SequentialOutcome> {
    static constexpr const char* name = "SequentialUpdate";
    static constexpr const char* doc = "Result of feeding one new observation into a `SequentialTest`.";
    static constexpr PyGetSetDef properties[] = {
        property<&SequentialOutcome::n>("n"),
        property<&SequentialOutcome::likelihood_ratio>("likelihood_ratio"),
        property<&SequentialOutcome::decision>("decision"),
        {},
    };
    static std::string repr(const SequentialOutcome& o) {
        return "SequentialUpdate(n=" + render::display_count(o.n) +
               ", likelihood_ratio=" + render::fixed6(o.likelihood_ratio) + ", decision=" +
               render::debug_name(member_name(o.decision)) + ")";
    }
};

template <>
struct ClassTraits<SequentialTestState> {
    static constexpr const char* name = "SequentialTest";
    static constexpr const char* doc =
        "A stateful sequential hypothesis test (mixture SPRT). Feed it\n"
        "observations one at a time via `.update(x)`; stop collecting data\n"
        "as soon as a returned `SequentialUpdate.decision` is\n"
        "`SequentialDecision.RejectNull`.\n"
        "\n"
        "`alpha`: desired Type I error rate, e.g. 0.05.\n"
        "`tau`: prior standard deviation on the effect size under the\n"
        "alternative hypothesis \u2014 represents \"the effect size worth\n"
        "detecting\".";
    static constexpr PyGetSetDef properties[] = {
        property<&SequentialTestState::n>("n"),
        property<&SequentialTestState::current_mean>("current_mean"),
        property<&SequentialTestState::variance_estimate>("variance_estimate"),
        {},
    };
    static constexpr PyMethodDef* methods = method_table<update_method>;
    static constexpr const auto& constructor = mirabund_py::constructor;
};

namespace {

constexpr Member members[] = {
    {&class_member<SequentialDecision>},
    {&class_member<SequentialOutcome>},
    {&class_member<SequentialTestState>},
};

}  // namespace

std::span<const Member> sequential_members() { return members; }

}  // namespace mirabund_py
