// shared_bootstrap_means, shared_cluster_bootstrap_means and
// SharedBootstrapResult.
#include <cstring>

#include "core/shared_resampling.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace shared = mirabund_core::shared_resampling;
using shared::ColumnOutcome;

template <>
struct ClassTraits<ColumnOutcome> {
    static constexpr const char* name = "SharedBootstrapResult";
    static constexpr const char* doc = "One column's bootstrap interval of its mean from shared resamples.";
    static constexpr PyGetSetDef properties[] = {
        property<&ColumnOutcome::mean>("mean"),
        property<&ColumnOutcome::ci_lower>("ci_lower"),
        property<&ColumnOutcome::ci_upper>("ci_upper"),
        property<&ColumnOutcome::p_value>("p_value"),
        {},
    };
    static std::string repr(const ColumnOutcome& o) {
        return "SharedBootstrapResult(mean=" + render::fixed6(o.mean) + ", ci_lower=" + render::fixed6(o.ci_lower) +
               ", ci_upper=" + render::fixed6(o.ci_upper) + ", p_value=" + render::display(o.p_value) + ")";
    }
};

namespace {

// The columns of a sequence of samples, read from a snapshot of it so that
// reading one column cannot change which columns there are.
std::vector<std::vector<double>> to_columns(PyObject* object) {
    if (PyUnicode_Check(object) || !PySequence_Check(object))
        raise_format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", type_qualname(object).get());
    Ref snapshot = checked(PySequence_Tuple(object));
    std::vector<std::vector<double>> columns;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(snapshot.get()); ++i)
        columns.push_back(to_sample(PyTuple_GET_ITEM(snapshot.get(), i)));
    return columns;
}

shared::Method to_method(PyObject* object) {
    const char* text = PyUnicode_Check(object) ? PyUnicode_AsUTF8(object) : nullptr;
    if (text != nullptr && std::strcmp(text, "percentile") == 0) return shared::Method::Percentile;
    if (text != nullptr && std::strcmp(text, "studentized") == 0) return shared::Method::Studentized;
    if (PyErr_Occurred()) throw PythonError{};
    raise(PyExc_ValueError, "method must be 'percentile' or 'studentized'");
}

Ref results(const std::vector<ColumnOutcome>& outcomes) {
    Ref list = checked(PyList_New(static_cast<Py_ssize_t>(outcomes.size())));
    for (std::size_t c = 0; c < outcomes.size(); ++c)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(c), new_instance(outcomes[c]).release());
    return list;
}

Ref run(const std::vector<std::vector<double>>& values, shared::Units units, const shared::Options& options) {
    const std::vector<std::span<const double>> columns(values.begin(), values.end());
    return results(unwrap(interruptible_without_gil([&](mirabund_core::InterruptCheck interrupt) {
        return shared::shared_bootstrap_means(columns, units, options, interrupt);
    })));
}

Ref shared_bootstrap_means(std::vector<std::vector<double>> columns, shared::Method method, std::uint64_t block_size,
                           std::uint64_t n_resamples, double confidence_level, std::uint64_t seed,
                           std::uint64_t threads, std::optional<std::vector<std::uint64_t>> clusters) {
    shared::Units units;
    if (clusters) units = {shared::Units::Kind::ClusterCodes, *clusters};
    return run(columns, units, {method, block_size, n_resamples, confidence_level, seed, threads});
}

Ref shared_cluster_bootstrap_means(std::vector<std::vector<double>> totals, std::vector<std::uint64_t> sizes,
                                   std::uint64_t n_resamples, double confidence_level, std::uint64_t seed,
                                   std::uint64_t threads) {
    return run(totals, {shared::Units::Kind::ClusterSizes, sizes},
               {shared::Method::Percentile, 1, n_resamples, confidence_level, seed, threads});
}

constexpr Function function{
    "shared_bootstrap_means",
    {required("columns", to_columns), required("method", to_method), required("block_size", to_u64),
     required("n_resamples", to_u64), required("confidence_level", to_double), required("seed", to_u64),
     required("threads", to_u64), optional("clusters", or_none<to_u64_sequence>, "None")},
    shared_bootstrap_means,
    "Bootstrap intervals of the means of `columns`, equally long samples\n"
    "over the same items, from `n_resamples` resamples shared by all of\n"
    "them: each resample's items are drawn once and every column summed\n"
    "from that draw. Resample r draws from its own ChaCha stream keyed by\n"
    "`seed`, so the results are the same for any number of `threads`.\n"
    "\n"
    "`method` 'percentile': the percentile interval of the resampled means,\n"
    "by moving blocks of `block_size` items, or of whole clusters when\n"
    "`clusters` holds one code 0 .. k-1 per item; p_value is NaN.\n"
    "'studentized': the bootstrap-t interval and p-value of a zero mean\n"
    "from resamples of single items.",
};

constexpr Function cluster_function{
    "shared_cluster_bootstrap_means",
    {required("totals", to_columns), required("cluster_sizes", to_u64_sequence), required("n_resamples", to_u64),
     required("confidence_level", to_double), required("seed", to_u64), required("threads", to_u64)},
    shared_cluster_bootstrap_means,
    "Percentile intervals of the means of clustered items from their\n"
    "clusters' totals alone: `totals` holds one column per sample, one\n"
    "total per cluster, and `cluster_sizes` each cluster's count of items.\n"
    "The resamples are those of shared_bootstrap_means over the items, and\n"
    "so are the intervals when each total is its items' sum from -0.0 in\n"
    "item order; the mean is the totals' sum over the count of items.",
};

constexpr Member members[] = {
    {&class_member<ColumnOutcome>},
    {&function_member<function>},
    {&function_member<cluster_function>},
};

}  // namespace

std::span<const Member> shared_bootstrap_means_members() { return members; }

}  // namespace mirabund_py
