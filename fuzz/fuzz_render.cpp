// Renderings of doubles: the display and debug forms read back as the same
// double and use the shortest digits; the six-decimal form equals the C
// library's exact "%.6f" and lies within half a unit of its last digit; the
// lists and counts are assembled from their items.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_input.hpp"
#include "bindings/render.hpp"

namespace {

namespace render = mirabund_py::render;

// Shortest round-trip digits and decimal exponent: -1.5e16 gives
// ("-", "15", 16).
struct Digits {
    std::string sign;
    std::string digits;
    int exponent;
};

Digits shortest_digits(double d) {
    char text[64];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, d, std::chars_format::scientific);
    FUZZ_CHECK(ec == std::errc(), "to_chars");
    const std::string sci(text, end);
    Digits out{std::signbit(d) ? "-" : "", "", 0};
    const std::size_t e = sci.find('e');
    for (std::size_t i = out.sign.size(); i < e; ++i)
        if (sci[i] != '.') out.digits += sci[i];
    out.exponent = std::atoi(sci.c_str() + e + 1);
    return out;
}

// The shortest digits written positionally, padded with zeros.
std::string positional(double d) {
    const Digits s = shortest_digits(d);
    const int count = static_cast<int>(s.digits.size());
    if (s.exponent >= count - 1) return s.sign + s.digits + std::string(s.exponent - (count - 1), '0');
    if (s.exponent >= 0) return s.sign + s.digits.substr(0, s.exponent + 1) + "." + s.digits.substr(s.exponent + 1);
    return s.sign + "0." + std::string(-s.exponent - 1, '0') + s.digits;
}

std::string expected_debug(double d) {
    const double a = std::fabs(d);
    if (d != 0.0 && (a < 1e-4 || a >= 1e16)) {
        const Digits s = shortest_digits(d);
        std::string text = s.sign + s.digits.substr(0, 1);
        if (s.digits.size() > 1) text += "." + s.digits.substr(1);
        return text + "e" + std::to_string(s.exponent);
    }
    std::string text = positional(d);
    if (text.find('.') == std::string::npos) text += ".0";
    return text;
}

double read_back(const std::string& text) {
    char* end = nullptr;
    const double d = std::strtod(text.c_str(), &end);
    FUZZ_CHECK(end == text.c_str() + text.size(), "unread rest in \"" + text + "\"");
    return d;
}

void check_one(double d) {
    const std::string display = render::display(d);
    const std::string fixed6 = render::fixed6(d);
    const std::string debug = render::debug(d);
    const std::string all = "display \"" + display + "\", fixed6 \"" + fixed6 + "\", debug \"" + debug + "\" for " +
                            fuzz::show(d);
    if (std::isnan(d)) {
        FUZZ_CHECK(display == "NaN" && fixed6 == "NaN" && debug == "NaN", all);
        return;
    }
    if (std::isinf(d)) {
        const std::string inf = d > 0 ? "inf" : "-inf";
        FUZZ_CHECK(display == inf && fixed6 == inf && debug == inf, all);
        return;
    }
    FUZZ_CHECK(fuzz::same(read_back(display), d), all);
    FUZZ_CHECK(fuzz::same(read_back(debug), d), all);
    FUZZ_CHECK(display.find_first_of("eE") == std::string::npos, all);
    FUZZ_CHECK(display == positional(d), all + ", expected \"" + positional(d) + "\"");
    FUZZ_CHECK(debug == expected_debug(d), all + ", expected \"" + expected_debug(d) + "\"");

    char printed[400];
    std::snprintf(printed, sizeof printed, "%.6f", d);
    FUZZ_CHECK(fixed6 == printed, all + ", printf \"" + printed + "\"");
    const std::size_t point = fixed6.find('.');
    FUZZ_CHECK(point != std::string::npos && fixed6.size() - point == 7, all);
    const double six = read_back(fixed6);
    // Half a unit of the sixth decimal, plus the rounding of the read-back.
    FUZZ_CHECK(std::fabs(six - d) <= 5e-7 + std::fabs(d) * 0x1p-52, all);
    FUZZ_CHECK(std::signbit(six) == std::signbit(d) || six == 0.0, all);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint64_t count = in.u64();
    FUZZ_CHECK(render::display_count(count) == std::to_string(count), render::display_count(count));

    std::vector<double> values;
    std::vector<bool> flags;
    for (std::size_t i = 0, k = in.below(9); i < k; ++i) {
        // Raw bits mostly: every exponent and every kind of value.
        values.push_back(in.byte() % 4 == 0 ? in.number() : in.raw_double());
        flags.push_back(in.byte() & 1);
    }
    std::string list = "[";
    std::string bool_list = "[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        check_one(values[i]);
        if (i > 0) {
            list += ", ";
            bool_list += ", ";
        }
        list += render::debug(values[i]);
        bool_list += flags[i] ? "true" : "false";
        FUZZ_CHECK(render::display_bool(flags[i]) == (flags[i] ? "true" : "false"), "display_bool");
    }
    FUZZ_CHECK(render::debug_list(values) == list + "]", render::debug_list(values));
    FUZZ_CHECK(render::debug_list(flags) == bool_list + "]", render::debug_list(flags));
    return 0;
}
