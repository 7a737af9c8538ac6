// mean_standard_error and MeanStandardError.
#include "core/cluster_bootstrap.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace cluster_bootstrap = mirabund_core::cluster_bootstrap;
using cluster_bootstrap::MeanStandardErrorOutcome;

template <>
struct ClassTraits<MeanStandardErrorOutcome> {
    static constexpr const char* name = "MeanStandardError";
    static constexpr const char* doc = "Mean, standard deviation and standard error of the mean.";
    static constexpr PyGetSetDef properties[] = {
        property<&MeanStandardErrorOutcome::mean>("mean"),
        property<&MeanStandardErrorOutcome::standard_deviation>("standard_deviation"),
        property<&MeanStandardErrorOutcome::standard_error>("standard_error"),
        property<&MeanStandardErrorOutcome::cr2_standard_error>("cr2_standard_error"),
        property<&MeanStandardErrorOutcome::degrees_of_freedom>("degrees_of_freedom"),
        property<&MeanStandardErrorOutcome::n_items>("n_items"),
        property<&MeanStandardErrorOutcome::n_clusters>("n_clusters"),
        {},
    };
    static std::string repr(const MeanStandardErrorOutcome& o) {
        return "MeanStandardError(mean=" + render::fixed6(o.mean) +
               ", standard_deviation=" + render::fixed6(o.standard_deviation) +
               ", standard_error=" + render::fixed6(o.standard_error) +
               ", cr2_standard_error=" + render::fixed6(o.cr2_standard_error) +
               ", degrees_of_freedom=" + render::fixed6(o.degrees_of_freedom) +
               ", n_items=" + render::display_count(o.n_items) +
               ", n_clusters=" + render::display_count(o.n_clusters) + ")";
    }
};

namespace {

Ref mean_standard_error(std::vector<double> values, std::optional<std::vector<std::uint64_t>> clusters) {
    return wrap(without_gil([&] {
        return clusters ? cluster_bootstrap::mean_standard_error(values, *clusters)
                        : cluster_bootstrap::mean_standard_error(values);
    }));
}

constexpr Function function{
    "mean_standard_error",
    {required("values", to_sample), optional("clusters", or_none<to_u64_sequence>, "None")},
    mean_standard_error,
    "Mean of `values`, their standard deviation (n - 1 in the variance)\n"
    "and the standard error of the mean.\n"
    "\n"
    "Without `clusters` the standard error is sd / sqrt(n). With\n"
    "`clusters` (one code per value, the k clusters being the codes\n"
    "0 .. k-1, each used at least once) it is cluster-robust:\n"
    "sqrt(k / (k - 1) * S) / n, S being the sum over clusters of the\n"
    "squared sum of the cluster's residuals from the mean.\n"
    "\n"
    "`cr2_standard_error` is the bias-reduced CR2 form, sqrt(S2) / n with\n"
    "S2 the sum of each cluster's squared residual sum over 1 - n_c / n,\n"
    "and `degrees_of_freedom` the Bell-McCaffrey degrees of freedom of its\n"
    "t reference; without clusters they are sd / sqrt(n) and n - 1.",
};

constexpr Member members[] = {
    {&class_member<MeanStandardErrorOutcome>},
    {&function_member<function>},
};

}  // namespace

std::span<const Member> mean_standard_error_members() { return members; }

}  // namespace mirabund_py
