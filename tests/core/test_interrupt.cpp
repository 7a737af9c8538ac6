// A caller's hook can end every long operation part way, and is called often
// enough to answer within milliseconds.
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "core/bootstrap.hpp"
#include "core/cluster_bootstrap.hpp"
#include "core/correction.hpp"

namespace {

using mirabund_core::InterruptCheck;

struct Stop {};

// Counts its calls and throws on the given one.
struct Hook {
    std::uint64_t calls = 0;
    std::uint64_t stop_at;

    static void call(void* context) {
        auto& hook = *static_cast<Hook*>(context);
        if (++hook.calls == hook.stop_at) throw Stop{};
    }
    InterruptCheck check() { return InterruptCheck(&Hook::call, this); }
};

std::vector<double> ramp(std::size_t n) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i % 97) / 97.0;
    return v;
}

struct Operation {
    const char* name;
    std::uint64_t work;  // units the whole call offers, about
    std::function<void(InterruptCheck)> run;
};

class Interruption : public ::testing::TestWithParam<Operation> {};

TEST_P(Interruption, HookIsCalledAlongTheWayAndCanEndTheCall) {
    const Operation& op = GetParam();
    Hook counting{0, 0};
    op.run(counting.check());
    EXPECT_GE(counting.calls, op.work / InterruptCheck::interval / 2) << op.name;

    Hook stopping{0, 2};
    EXPECT_THROW(op.run(stopping.check()), Stop) << op.name;
    EXPECT_EQ(stopping.calls, 2u);
}

const std::vector<double> series = ramp(10000);
const std::vector<double> p_values = ramp(4000000);
const std::vector<std::uint64_t> codes = [] {
    std::vector<std::uint64_t> v(series.size());
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = i % 1000;
    return v;
}();

INSTANTIATE_TEST_SUITE_P(
    LongOperations, Interruption,
    ::testing::Values(
        Operation{"mean, block 1", 2000 * 50000,
                  [](InterruptCheck c) {
                      (void)mirabund_core::bootstrap::block_bootstrap(series, 1, 2000, 0.9,
                                                                      mirabund_core::bootstrap::mean, 1, c);
                  }},
        Operation{"mean, block 10", 4000 * 14000,
                  [](InterruptCheck c) {
                      (void)mirabund_core::bootstrap::block_bootstrap(series, 10, 4000, 0.9,
                                                                      mirabund_core::bootstrap::mean, 1, c);
                  }},
        Operation{"any statistic", 2000 * 10000,
                  [](InterruptCheck c) {
                      const auto first = [](std::span<const double> v) -> std::expected<double, std::string> {
                          return v[0];
                      };
                      (void)mirabund_core::bootstrap::block_bootstrap(series, 10, 2000, 0.9, first, 1, c);
                  }},
        Operation{"whole clusters", 4000 * 5 * 1000,
                  [](InterruptCheck c) {
                      (void)mirabund_core::cluster_bootstrap::cluster_bootstrap_mean(series, codes, 4000, 0.9, 1, c);
                  }},
        Operation{"Benjamini-Hochberg", 4 * 4000000,
                  [](InterruptCheck c) {
                      (void)mirabund_core::correction::correct_p_values(
                          p_values, 0.05, mirabund_core::correction::CorrectionMethod::BenjaminiHochberg, c);
                  }}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& ch : name)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return name;
    });

}  // namespace
