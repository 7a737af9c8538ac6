// BettingMonitor and restore_betting_monitor.
#include "core/betting.hpp"
#include "bindings/module.hpp"
#include "bindings/render.hpp"

namespace mirabund_py {

namespace betting = mirabund_core::betting;

// The engine's monitor with its snapshot as plain lists, for pickling.
struct BettingMonitorValue {
    betting::BettingMonitor monitor;

    std::uint64_t n() const { return monitor.n(); }
    double mean() const { return monitor.mean(); }
    double log_capital() const { return monitor.log_capital(); }
    double max_log_capital() const { return monitor.max_log_capital(); }
    std::uint64_t rejected_at() const { return monitor.rejected_at(); }
    double ci_lower() const { return monitor.ci_lower(); }
    double ci_upper() const { return monitor.ci_upper(); }
    std::vector<std::uint64_t> counts() const {
        const betting::BettingSnapshot& s = monitor.snapshot();
        return {s.n, s.rejected_at, s.first_live};
    }
    std::vector<double> sums() const {
        const betting::BettingSnapshot& s = monitor.snapshot();
        return {s.total, s.score_sum, s.spread_sum, s.log_capital, s.max_log_capital, s.ci_lower, s.ci_upper};
    }
    const std::vector<double>& live_log_capitals() const { return monitor.snapshot().live_log_capitals; }
};

namespace {

// The scores count only once all of them are taken: a call that fails or
// is interrupted leaves the monitor as it was.
Ref feed(BettingMonitorValue& self, std::vector<double> scores) {
    betting::BettingMonitor next = self.monitor;
    const std::size_t taken = unwrap(interruptible_without_gil([&](mirabund_core::InterruptCheck interrupt) {
        return next.feed(scores, interrupt);
    }));
    Ref result = to_python(static_cast<std::uint64_t>(taken));
    self.monitor = std::move(next);
    return result;
}

constexpr Method feed_method{
    "feed",
    {required("scores", to_sample)},
    feed,
    "Take the scores in order, stopping after the one at which the null\n"
    "is first rejected, and return how many were taken. Scores outside\n"
    "the bounds are refused before any is taken.",
};

BettingMonitorValue construct(double alpha, double low, double high, double null_mean) {
    return {unwrap(betting::BettingMonitor::create(alpha, low, high, null_mean))};
}

constexpr Constructor constructor{
    {required("alpha", to_double), required("low", to_double), required("high", to_double),
     required("null_mean", to_double)},
    construct,
};

}  // namespace

template <>
struct ClassTraits<BettingMonitorValue> {
    static constexpr const char* name = "BettingMonitor";
    static constexpr const char* doc =
        "The betting capital (aGRAPA bets) against `null_mean` of scores in\n"
        "[`low`, `high`], and the confidence sequence for their mean on a\n"
        "grid of 4097 means. `rejected_at` is 0 while the null stands.\n"
        "`counts`, `sums` and `live_log_capitals` are its state, which\n"
        "`restore_betting_monitor` takes up again.";
    static constexpr PyGetSetDef properties[] = {
        property<&BettingMonitorValue::n>("n"),
        property<&BettingMonitorValue::mean>("mean"),
        property<&BettingMonitorValue::log_capital>("log_capital"),
        property<&BettingMonitorValue::max_log_capital>("max_log_capital"),
        property<&BettingMonitorValue::rejected_at>("rejected_at"),
        property<&BettingMonitorValue::ci_lower>("ci_lower"),
        property<&BettingMonitorValue::ci_upper>("ci_upper"),
        property<&BettingMonitorValue::counts>("counts"),
        property<&BettingMonitorValue::sums>("sums"),
        property<&BettingMonitorValue::live_log_capitals>("live_log_capitals"),
        {},
    };
    static std::string repr(const BettingMonitorValue& o) {
        return "BettingMonitor(n=" + render::display_count(o.n()) +
               ", log_capital=" + render::fixed6(o.log_capital()) +
               ", rejected_at=" + render::display_count(o.rejected_at()) + ")";
    }
    static constexpr PyMethodDef* methods = method_table<feed_method>;
    static constexpr const auto& constructor = mirabund_py::constructor;
};

namespace {

Ref restore(double alpha, double low, double high, double null_mean, std::vector<std::uint64_t> counts,
            std::vector<double> sums, std::vector<double> live_log_capitals) {
    if (counts.size() != 3 || sums.size() != 7)
        raise(PyExc_ValueError, "counts must hold 3 integers and sums 7 numbers");
    betting::BettingSnapshot snapshot{
        .n = counts[0],
        .rejected_at = counts[1],
        .first_live = counts[2],
        .total = sums[0],
        .score_sum = sums[1],
        .spread_sum = sums[2],
        .log_capital = sums[3],
        .max_log_capital = sums[4],
        .ci_lower = sums[5],
        .ci_upper = sums[6],
        .live_log_capitals = std::move(live_log_capitals),
    };
    return new_instance(BettingMonitorValue{
        unwrap(betting::BettingMonitor::restore(alpha, low, high, null_mean, std::move(snapshot)))});
}

constexpr Function restore_function{
    "restore_betting_monitor",
    {required("alpha", to_double), required("low", to_double), required("high", to_double),
     required("null_mean", to_double), required("counts", to_u64_sequence), required("sums", to_sample),
     required("live_log_capitals", to_sample)},
    restore,
    "The `BettingMonitor` with these settings in the state that another\n"
    "one's `counts`, `sums` and `live_log_capitals` describe.",
};

constexpr Member members[] = {
    {&class_member<BettingMonitorValue>},
    {&function_member<restore_function>},
};

}  // namespace

std::span<const Member> betting_monitor_members() { return members; }

}  // namespace mirabund_py
