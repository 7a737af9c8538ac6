// block_bootstrap_mean, block_bootstrap and BootstrapResult.
#include "core/bootstrap.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace bootstrap = mirabund_core::bootstrap;
using bootstrap::BootstrapOutcome;

template <>
struct ClassTraits<BootstrapOutcome> {
    static constexpr const char* name = "BootstrapResult";
    static constexpr const char* doc =
        "Python-visible result of a block bootstrap confidence interval\n"
        "estimation.";
    static constexpr PyGetSetDef properties[] = {
        property<&BootstrapOutcome::point_estimate>("point_estimate"),
        property<&BootstrapOutcome::ci_lower>("ci_lower"),
        property<&BootstrapOutcome::ci_upper>("ci_upper"),
        property<&BootstrapOutcome::confidence_level>("confidence_level"),
        property<&BootstrapOutcome::n_resamples>("n_resamples"),
        {},
    };
    static std::string repr(const BootstrapOutcome& o) {
        return "BootstrapResult(point_estimate=" + render::fixed6(o.point_estimate) +
               ", ci_lower=" + render::fixed6(o.ci_lower) + ", ci_upper=" + render::fixed6(o.ci_upper) +
               ", confidence_level=" + render::display(o.confidence_level) +
               ", n_resamples=" + render::display_count(o.n_resamples) + ")";
    }
};

namespace {

// The caller's callable as a statistic: a fresh list of floats per call, its
// failures returned as texts. A panic raised inside it keeps unwinding. It
// runs inside block_bootstrap's call, which holds the GIL throughout; were the
// GIL ever released around the bootstrap, this would have to take it back.
class PythonStatistic {
public:
    explicit PythonStatistic(PyObject* callable) : callable_(Ref::borrow(callable)) {}

    std::expected<double, std::string> operator()(std::span<const double> values) const {
        Ref list = to_python(values);
        Ref result = Ref::steal(PyObject_CallOneArg(callable_.get(), list.get()));
        if (!result) {
            Ref exception = fetch_exception();
            return std::unexpected("statistic callable raised an exception: " + describe_exception(exception.get()));
        }
        try {
            return to_double(result.get());
        } catch (const PythonError&) {
            Ref exception = fetch_exception();
            return std::unexpected("statistic callable returned a non-float value: " +
                                   describe_exception(exception.get()));
        }
    }

private:
    Ref callable_;
};

Ref block_bootstrap_mean(std::vector<double> data, std::uint64_t block_size, std::uint64_t n_resamples,
                         double confidence_level, std::optional<std::uint64_t> seed) {
    return wrap(bootstrap::block_bootstrap(data, block_size, n_resamples, confidence_level, bootstrap::mean, seed,
                                           signal_checks()));
}

Ref block_bootstrap(std::vector<double> data, std::uint64_t block_size, std::uint64_t n_resamples,
                    double confidence_level, PyObject* statistic, std::optional<std::uint64_t> seed) {
    return wrap(bootstrap::block_bootstrap(data, block_size, n_resamples, confidence_level,
                                           PythonStatistic(statistic), seed, signal_checks()));
}

constexpr Function callable_function{
    "block_bootstrap",
    {required("data", to_sample), required("block_size", to_u64), required("n_resamples", to_u64),
     required("confidence_level", to_double), required("statistic", to_object), optional("seed", to_seed, "None")},
    block_bootstrap,
    "Computes a block-bootstrap confidence interval using an arbitrary\n"
    "Python callable as the statistic.\n"
    "\n"
    "`statistic` is called once per resample as `statistic(list_of_floats)`\n"
    "and must return a single float. Exceptions raised inside\n"
    "`statistic`, or non-numeric return values, are caught and reported\n"
    "as a Python `ValueError` rather than crashing the process.\n"
    "\n"
    "Note on performance: this calls back into Python once per\n"
    "resample, which carries real overhead (GIL round-trip + list\n"
    "construction) compared to `block_bootstrap_mean`. For the common\n"
    "case of bootstrapping a mean, prefer `block_bootstrap_mean`, which\n"
    "never leaves native code.",
};

constexpr Function mean_function{
    "block_bootstrap_mean",
    {required("data", to_sample), required("block_size", to_u64), required("n_resamples", to_u64),
     required("confidence_level", to_double), optional("seed", to_seed, "None")},
    block_bootstrap_mean,
    "Computes a block-bootstrap confidence interval for the mean of\n"
    "`data`. This is the fast path: it runs entirely in native code with no Python callback\n"
    "overhead. Prefer this over `block_bootstrap` whenever the\n"
    "statistic of interest is a plain mean (the common case: mean\n"
    "accuracy, mean judge score).",
};

constexpr Member members[] = {
    {&class_member<BootstrapOutcome>},
    {&function_member<callable_function>},
    {&function_member<mean_function>},
};

}  // namespace

std::span<const Member> bootstrap_members() { return members; }

}  // namespace mirabund_py
