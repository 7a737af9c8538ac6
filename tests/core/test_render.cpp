#include "bindings/render.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace render = mirabund_py::render;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Case {
    double value;
    std::string text;
};

std::string printf_fixed6(double d) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.6f", d);
    return buf;
}

// Random bit patterns cover every exponent; multiples of small powers of two
// put many values exactly halfway between two six-decimal results.
std::vector<double> random_doubles() {
    std::mt19937_64 rng(20240611);
    std::vector<double> out;
    for (int i = 0; i < 200000; ++i) {
        const double d = std::bit_cast<double>(rng());
        if (!std::isnan(d)) out.push_back(d);
    }
    for (int i = 0; i < 50000; ++i) {
        const auto k = static_cast<std::int64_t>(rng() % 2000001) - 1000000;
        out.push_back(std::ldexp(static_cast<double>(k), -static_cast<int>(7 + rng() % 14)));
    }
    return out;
}

}  // namespace

TEST(Render, Display) {
    const Case cases[] = {
        {1.0, "1"},
        {100.0, "100"},
        {1e21, "1000000000000000000000"},
        {0.5, "0.5"},
        {0.95, "0.95"},
        {1e-7, "0.0000001"},
        {0.1 + 0.2, "0.30000000000000004"},
        {-2.25, "-2.25"},
        {123.456, "123.456"},
        {0.0, "0"},
        {-0.0, "-0"},
        {5e-324, "0." + std::string(323, '0') + "5"},
        {kNaN, "NaN"},
        {-kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(render::display(c.value), c.text) << c.text;
}

TEST(Render, Fixed6) {
    const Case cases[] = {
        {0.0078125, "0.007812"},
        {0.5, "0.500000"},
        {1.0, "1.000000"},
        {2.5e-5, "0.000025"},
        {0.0, "0.000000"},
        {-0.0, "-0.000000"},
        {-0.0000001, "-0.000000"},
        {16.367228, "16.367228"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(render::fixed6(c.value), c.text) << c.text;

    const std::string big = render::fixed6(1e300);
    EXPECT_EQ(big.size(), 301u + 7u);
    EXPECT_EQ(big.substr(0, 20), "10000000000000000525");
    EXPECT_EQ(big.substr(301), ".000000");
    EXPECT_EQ(render::fixed6(-std::numeric_limits<double>::max()),
              printf_fixed6(-std::numeric_limits<double>::max()));
}

TEST(Render, Debug) {
    const Case cases[] = {
        {1.0, "1.0"},
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {0.0001, "0.0001"},
        {1e15, "1000000000000000.0"},
        {9999999999999998.0, "9999999999999998.0"},
        {0.05, "0.05"},
        {-2.5, "-2.5"},
        {1e-5, "1e-5"},
        {2.5e-5, "2.5e-5"},
        {1.5e-7, "1.5e-7"},
        {-1.5e-7, "-1.5e-7"},
        {1e16, "1e16"},
        {12345678901234567890.0, "1.2345678901234567e19"},
        {5e-324, "5e-324"},
        {1.7976931348623157e308, "1.7976931348623157e308"},
        {kNaN, "NaN"},
        {kInf, "inf"},
        {-kInf, "-inf"},
    };
    for (const auto& c : cases) EXPECT_EQ(render::debug(c.value), c.text) << c.text;
}

TEST(Render, ScalarsListsAndNames) {
    const struct {
        std::string got;
        const char* want;
    } cases[] = {
        {render::display_bool(true), "true"},
        {render::display_bool(false), "false"},
        {render::display_count(0), "0"},
        {render::display_count(1000), "1000"},
        {render::display_count(UINT64_MAX), "18446744073709551615"},
        {render::debug_list(std::vector<double>{0.05, 1.0}), "[0.05, 1.0]"},
        {render::debug_list(std::vector<double>{0.04, 0.16, 0.12, 0.02}), "[0.04, 0.16, 0.12, 0.02]"},
        {render::debug_list(std::vector<double>{1e-5, kNaN, -kInf}), "[1e-5, NaN, -inf]"},
        {render::debug_list(std::vector<double>{}), "[]"},
        {render::debug_list(std::vector<bool>{true, false}), "[true, false]"},
        {render::debug_list(std::vector<bool>{}), "[]"},
        {render::debug_name("Continue"), "\"Continue\""},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(Render, RandomValuesRoundTripAndMatchPrintf) {
    for (const double d : random_doubles()) {
        const std::string shown = render::display(d);
        const std::string debugged = render::debug(d);
        if (std::isinf(d)) continue;
        const double a = std::fabs(d);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(std::strtod(shown.c_str(), nullptr)),
                  std::bit_cast<std::uint64_t>(d)) << shown;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(std::strtod(debugged.c_str(), nullptr)),
                  std::bit_cast<std::uint64_t>(d)) << debugged;
        EXPECT_EQ(shown.find('e'), std::string::npos) << shown;
        const bool exponent = (d != 0 && a < 1e-4) || a >= 1e16;
        EXPECT_EQ(debugged.find('e') != std::string::npos, exponent) << debugged;
        EXPECT_TRUE(exponent || debugged.find('.') != std::string::npos) << debugged;
        EXPECT_EQ(render::fixed6(d), printf_fixed6(d));
    }
}
