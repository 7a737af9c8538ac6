// Text renderings of numbers, booleans, lists and member names for the
// __repr__ texts of the result classes. Plain text work, no Python involved.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mirabund_py::render {

// Positional, shortest round-trip digits, no fractional part when the digits
// end at or before the units: "1", "0.5", "-0", "NaN", "inf".
std::string display(double d);

// Positional with exactly six fractional digits, rounded from the exact value
// (ties to even): "0.500000", "-0.000000"; NaN and infinities as display().
std::string fixed6(double d);

// Shortest round-trip digits, positional with at least one fractional digit
// for 1e-4 <= |d| < 1e16 and zero ("1.0", "-0.0"), otherwise exponent
// notation without "+" or leading zeros ("1e-5", "1.5e16").
std::string debug(double d);

std::string display_bool(bool b);
std::string display_count(std::uint64_t n);

std::string debug_list(std::span<const double> items);
std::string debug_list(const std::vector<bool>& items);

// A member name in double quotes; names never need escaping.
std::string debug_name(std::string_view name);

}  // namespace mirabund_py::render
