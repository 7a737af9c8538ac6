#include "bindings/render.hpp"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <string>
#include <system_error>

#include "core/outcome.hpp"

namespace mirabund_py::render {

namespace {

// Shortest round-trip digits of a finite double: value = 0.<digits> * 10^(exponent + 1),
// i.e. `exponent` is the power of ten of the first digit. Zero has the single digit "0".
struct Shortest {
    bool negative = false;
    std::string digits;
    int exponent = 0;
};

Shortest shortest(double d) {
    // "-1.2345678901234567e-308" is the longest scientific form.
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    if (ec != std::errc{}) mirabund_core::panic("shortest digits did not fit their buffer");

    Shortest s;
    const char* p = buf;
    if (*p == '-') {
        s.negative = true;
        ++p;
    }
    for (; *p != 'e'; ++p) {
        if (*p != '.') s.digits.push_back(*p);
    }
    ++p;
    if (*p == '+') ++p;  // from_chars takes "-" but not "+"
    std::from_chars(p, end, s.exponent);
    return s;
}

// NaN and the infinities read the same in every form.
bool non_finite(double d, std::string& out) {
    if (std::isnan(d)) {
        out = "NaN";
    } else if (std::isinf(d)) {
        out = d < 0 ? "-inf" : "inf";
    } else {
        return false;
    }
    return true;
}

std::string positional(const Shortest& s, bool force_fraction) {
    std::string out = s.negative ? "-" : "";
    const int n = static_cast<int>(s.digits.size());
    const int point = s.exponent + 1;  // digits left of the decimal point
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += s.digits;
    } else if (point >= n) {
        out += s.digits;
        out.append(static_cast<std::size_t>(point - n), '0');
        if (force_fraction) out += ".0";
    } else {
        out.append(s.digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(s.digits, static_cast<std::size_t>(point));
    }
    return out;
}

}  // namespace

std::string display(double d) {
    std::string out;
    if (non_finite(d, out)) return out;
    return positional(shortest(d), false);
}

std::string fixed6(double d) {
    std::string out;
    if (non_finite(d, out)) return out;
    // The largest double has 309 integer digits; add sign, point and six decimals.
    char buf[330];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::fixed, 6);
    if (ec != std::errc{}) mirabund_core::panic("fixed digits did not fit their buffer");
    return std::string(buf, end);
}

std::string debug(double d) {
    std::string out;
    if (non_finite(d, out)) return out;
    const double magnitude = std::fabs(d);
    const Shortest s = shortest(d);
    if ((d != 0 && magnitude < 1e-4) || magnitude >= 1e16) {
        if (s.negative) out += '-';
        out += s.digits[0];
        if (s.digits.size() > 1) {
            out += '.';
            out.append(s.digits, 1);
        }
        out += 'e';
        out += std::to_string(s.exponent);
        return out;
    }
    return positional(s, true);
}

std::string display_bool(bool b) { return b ? "true" : "false"; }

std::string display_count(std::uint64_t n) { return std::to_string(n); }

namespace {

// "[a, b, c]" with each item in its own form.
template <class Items, class Render>
std::string bracketed(const Items& items, Render render) {
    std::string out = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ", ";
        out += render(items[i]);
    }
    out += ']';
    return out;
}

}  // namespace

std::string debug_list(std::span<const double> items) { return bracketed(items, debug); }

std::string debug_list(const std::vector<bool>& items) { return bracketed(items, display_bool); }

std::string debug_name(std::string_view name) {
    std::string out = "\"";
    out += name;
    out += '"';
    return out;
}

}  // namespace mirabund_py::render
