// cluster_bootstrap_mean and ClusterBootstrapResult.
#include "core/cluster_bootstrap.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace cluster_bootstrap = mirabund_core::cluster_bootstrap;
using cluster_bootstrap::ClusterBootstrapOutcome;

template <>
struct ClassTraits<ClusterBootstrapOutcome> {
    static constexpr const char* name = "ClusterBootstrapResult";
    static constexpr const char* doc = "Percentile interval of a mean from resampling whole clusters.";
    static constexpr PyGetSetDef properties[] = {
        property<&ClusterBootstrapOutcome::point_estimate>("point_estimate"),
        property<&ClusterBootstrapOutcome::ci_lower>("ci_lower"),
        property<&ClusterBootstrapOutcome::ci_upper>("ci_upper"),
        property<&ClusterBootstrapOutcome::confidence_level>("confidence_level"),
        property<&ClusterBootstrapOutcome::n_resamples>("n_resamples"),
        property<&ClusterBootstrapOutcome::n_items>("n_items"),
        property<&ClusterBootstrapOutcome::n_clusters>("n_clusters"),
        {},
    };
    static std::string repr(const ClusterBootstrapOutcome& o) {
        return "ClusterBootstrapResult(point_estimate=" + render::fixed6(o.point_estimate) +
               ", ci_lower=" + render::fixed6(o.ci_lower) + ", ci_upper=" + render::fixed6(o.ci_upper) +
               ", confidence_level=" + render::display(o.confidence_level) +
               ", n_resamples=" + render::display_count(o.n_resamples) +
               ", n_items=" + render::display_count(o.n_items) +
               ", n_clusters=" + render::display_count(o.n_clusters) + ")";
    }
};

namespace {

Ref cluster_bootstrap_mean(std::vector<double> values, std::vector<std::uint64_t> clusters,
                           std::uint64_t n_resamples, double confidence_level, std::uint64_t seed) {
    return wrap(interruptible_without_gil([&](mirabund_core::InterruptCheck interrupt) {
        return cluster_bootstrap::cluster_bootstrap_mean(values, clusters, n_resamples, confidence_level, seed,
                                                         interrupt);
    }));
}

constexpr Function function{
    "cluster_bootstrap_mean",
    {required("values", to_sample), required("clusters", to_u64_sequence), required("n_resamples", to_u64),
     required("confidence_level", to_double), required("seed", to_u64)},
    cluster_bootstrap_mean,
    "Percentile confidence interval of the mean of `values` from\n"
    "`n_resamples` resamples of whole clusters.\n"
    "\n"
    "`clusters` holds one code per value, the k clusters being the codes\n"
    "0 .. k-1, each used at least once. Each resample draws k clusters\n"
    "with replacement from a ChaCha stream keyed by `seed`; its statistic\n"
    "is the sum of the drawn clusters' values over their count.",
};

constexpr Member members[] = {
    {&class_member<ClusterBootstrapOutcome>},
    {&function_member<function>},
};

}  // namespace

std::span<const Member> cluster_bootstrap_mean_members() { return members; }

}  // namespace mirabund_py
