// Sums whose last bits are fixed: one accumulator per sequence, starting from
// -0.0 and adding strictly from the first element to the last.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

namespace mirabund_core {

// The sums of term(x) over two sequences, taken side by side so that their
// additions overlap; each accumulator still sees only its own sequence, in
// order, so the results are those of two separate loops.
template <class TermA, class TermB>
std::pair<double, double> sums_side_by_side(std::span<const double> a, TermA term_a,
                                            std::span<const double> b, TermB term_b) {
    double sum_a = -0.0;
    double sum_b = -0.0;
    const std::size_t common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        sum_a = sum_a + term_a(a[i]);
        sum_b = sum_b + term_b(b[i]);
    }
    for (std::size_t i = common; i < a.size(); ++i) sum_a = sum_a + term_a(a[i]);
    for (std::size_t i = common; i < b.size(); ++i) sum_b = sum_b + term_b(b[i]);
    return {sum_a, sum_b};
}

inline std::pair<double, double> sums_side_by_side(std::span<const double> a, std::span<const double> b) {
    const auto identity = [](double x) { return x; };
    return sums_side_by_side(a, identity, b, identity);
}

}  // namespace mirabund_core
