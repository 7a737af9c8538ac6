// block_bootstrap_mean, block_bootstrap and BootstrapResult.
#include "core/bootstrap.hpp"
#include "python/module.hpp"
#include "python/render.hpp"

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

// "TypeName: message" of an exception, as UTF-8 whatever str() returns.
std::string describe(PyObject* exception) {
    std::string text;
    if (Ref name{PyType_GetQualName(Py_TYPE(exception))}) text = utf8_lossy(name.get());
    if (PyErr_Occurred()) fetch_exception();
    Ref message(PyObject_Str(exception));
    if (!message) {
        fetch_exception();  // discarded, unless it is a panic coming back
        return text + ": <exception str() failed>";
    }
    return text + ": " + utf8_lossy(message.get());
}

// The caller's callable as a statistic: a fresh list of floats per call, its
// failures returned as texts. A panic raised inside it keeps unwinding. It
// runs inside block_bootstrap's call, which holds the GIL throughout; were the
// GIL ever released around the bootstrap, this would have to take it back.
class PythonStatistic {
public:
    explicit PythonStatistic(PyObject* callable) : callable_(Py_NewRef(callable)) {}

    std::expected<double, std::string> operator()(std::span<const double> values) const {
        Ref list = to_python(values);
        Ref result(PyObject_CallOneArg(callable_.get(), list.get()));
        if (!result) {
            Ref exception = fetch_exception();
            return std::unexpected("statistic callable raised an exception: " + describe(exception.get()));
        }
        try {
            return to_double(result.get());
        } catch (const PythonError&) {
            Ref exception = fetch_exception();
            return std::unexpected("statistic callable returned a non-float value: " + describe(exception.get()));
        }
    }

private:
    Ref callable_;
};

constexpr Parameter mean_parameters[] = {
    {"data"}, {"block_size"}, {"n_resamples"}, {"confidence_level"}, {"seed", false},
};
constexpr Signature mean_signature{"block_bootstrap_mean()", mean_parameters};

// The four leading arguments both functions share, converted in order.
struct SeriesArguments {
    std::vector<double> data;
    std::uint64_t block_size;
    std::uint64_t n_resamples;
    double confidence_level;
};

SeriesArguments convert_series(const BoundArguments& args) {
    auto data = args.convert(0, to_sample);
    const auto block_size = args.convert(1, to_u64);
    const auto n_resamples = args.convert(2, to_u64);
    const double confidence_level = args.convert(3, to_double);
    return {std::move(data), block_size, n_resamples, confidence_level};
}

template <class Statistic>
Ref run(const SeriesArguments& series, Statistic&& statistic, std::optional<std::uint64_t> seed) {
    return wrap(bootstrap::block_bootstrap(series.data, series.block_size, series.n_resamples,
                                           series.confidence_level, std::forward<Statistic>(statistic), seed));
}

Ref block_bootstrap_mean(const BoundArguments& args) {
    const SeriesArguments series = convert_series(args);
    const auto seed = args.convert(4, to_seed);
    return run(series, bootstrap::mean, seed);
}

constexpr Parameter callable_parameters[] = {
    {"data"}, {"block_size"}, {"n_resamples"}, {"confidence_level"}, {"statistic"}, {"seed", false},
};
constexpr Signature callable_signature{"block_bootstrap()", callable_parameters};

Ref block_bootstrap(const BoundArguments& args) {
    const SeriesArguments series = convert_series(args);
    PythonStatistic statistic(args.convert(4, to_object));
    const auto seed = args.convert(5, to_seed);
    return run(series, std::move(statistic), seed);
}

PyMethodDef callable_definition = function_definition<callable_signature, block_bootstrap>(
    "block_bootstrap",
    "block_bootstrap(data, block_size, n_resamples, confidence_level, statistic, seed=None)\n--\n\n"
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
    "never leaves native code.");

PyMethodDef mean_definition = function_definition<mean_signature, block_bootstrap_mean>(
    "block_bootstrap_mean",
    "block_bootstrap_mean(data, block_size, n_resamples, confidence_level, seed=None)\n--\n\n"
    "Computes a block-bootstrap confidence interval for the mean of\n"
    "`data`. This is the fast path: it runs entirely in native code with no Python callback\n"
    "overhead. Prefer this over `block_bootstrap` whenever the\n"
    "statistic of interest is a plain mean (the common case: mean\n"
    "accuracy, mean judge score).");

constexpr Member members[] = {
    {&class_member<BootstrapOutcome>},
    {&function_member<callable_definition>},
    {&function_member<mean_definition>},
};

}  // namespace

std::span<const Member> bootstrap_members() { return members; }

}  // namespace mirabund_py
