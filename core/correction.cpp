#include "core/correction.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <memory>

namespace mirabund_core::correction {

namespace {

struct Ranked {
    double p;
    std::size_t index;
};

// Ascending p. Of two equal p-values (0.0 and -0.0 included) neither ranks
// first, so a stable sort keeps their input order; a NaN ranks nowhere.
bool ranks_before(const Ranked& a, const Ranked& b) {
    if (a.p < b.p) return true;
    if (a.p >= b.p) return false;
    panic("p-value was NaN");
}

// Stable: an element moves only past strictly greater ones.
void insertion_sort(Ranked* first, Ranked* last) {
    for (Ranked* i = first + 1; i < last; ++i) {
        const Ranked moving = *i;
        Ranked* hole = i;
        for (; hole > first && ranks_before(moving, hole[-1]); --hole) *hole = hole[-1];
        *hole = moving;
    }
}

// The pairs (p, input position) in stable ascending order of p.
// A comparison sort of a million pairs is dominated by cache misses, so the
// pairs are first dealt into buckets by value, in input order, and each
// bucket is then sorted on its own. The bucket of p is a monotone function
// of p (every step rounds monotonically), so no two p-values change order
// across buckets and equal ones share a bucket.
std::unique_ptr<Ranked[]> ranked_by_p(std::span<const double> p_values, InterruptCheck& interrupt) {
    const std::size_t count = p_values.size();
    double lo = p_values[0];
    double hi = lo;
    for (double p : p_values) {
        if (std::isnan(p)) panic("p-value was NaN");
        if (p < lo) lo = p;
        if (p > hi) hi = p;
    }
    interrupt.add(count);

    auto ranked = std::make_unique_for_overwrite<Ranked[]>(count);
    if (!(lo < hi)) {
        // All equal: input order is the stable order.
        for (std::size_t i = 0; i < count; ++i) ranked[i] = Ranked{p_values[i], i};
        return ranked;
    }

    // About four pairs to a bucket keeps the counters small and the buckets short.
    const std::size_t buckets = std::max<std::size_t>(count / 4, 1);
    // A multiply is much cheaper than a divide, and a positive factor keeps
    // the function monotone. A width so small that the factor overflows is
    // divided by instead, which keeps 0 * infinity out.
    const double width = hi - lo;
    const double scale = static_cast<double>(buckets);
    const double per_unit = scale / width;
    const bool divide = std::isinf(per_unit);
    const auto bucket_of = [&](double p) {
        const auto b = static_cast<std::size_t>(divide ? (p - lo) / width * scale : (p - lo) * per_unit);
        return b < buckets ? b : buckets - 1;
    };

    std::vector<std::size_t> next(buckets + 1, 0);
    for (double p : p_values) ++next[bucket_of(p) + 1];
    for (std::size_t b = 1; b <= buckets; ++b) next[b] += next[b - 1];
    interrupt.add(count);
    for (std::size_t i = 0; i < count; ++i) {
        const double p = p_values[i];
        ranked[next[bucket_of(p)]++] = Ranked{p, i};
    }
    interrupt.add(count);

    // next[b] is now where bucket b ends and bucket b + 1 begins.
    std::size_t begin = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        Ranked* first = ranked.get() + begin;
        Ranked* last = ranked.get() + next[b];
        if (last - first <= 16) {
            insertion_sort(first, last);
        } else {
            // A lambda, unlike a function pointer, is inlined into the sort.
            std::stable_sort(first, last, [](const Ranked& a, const Ranked& b) { return ranks_before(a, b); });
        }
        interrupt.add(static_cast<std::uint64_t>(last - first));
        begin = next[b];
    }
    return ranked;
}

// A NaN is not below 1.0, so it would be capped too; none gets this far.
double capped(double q) { return q < 1.0 ? q : 1.0; }

void bonferroni(std::span<const double> p_values, std::vector<double>& adjusted) {
    const double m = static_cast<double>(p_values.size());
    for (std::size_t i = 0; i < p_values.size(); ++i) adjusted[i] = capped(p_values[i] * m);
}

// Out of line: inlined into correct_p_values, its loops crowded the registers
// of the range check and of Bonferroni, which then cost an instruction more
// per p-value.
[[gnu::noinline]] void benjamini_hochberg(std::span<const double> p_values, std::vector<double>& adjusted,
                                          InterruptCheck& interrupt) {
    const std::size_t count = p_values.size();
    const std::unique_ptr<Ranked[]> ranked = ranked_by_p(p_values, interrupt);

    // Step-up from the largest rank down: each q_k becomes the minimum of
    // q_k ... q_m, which is written straight to the pair's input position.
    const double m = static_cast<double>(count);
    double following = 0.0;
    for (std::size_t k = count; k >= 1; --k) {
        const Ranked& r = ranked[k - 1];
        double q = capped((r.p * m) / static_cast<double>(k));
        if (k < count && q > following) q = following;
        following = q;
        adjusted[r.index] = q;
    }
}

}  // namespace

std::string_view display_text(CorrectionError error) {
    switch (error) {
        case CorrectionError::EmptyPValues:
            return "p_values must not be empty";
        case CorrectionError::InvalidAlpha:
            return "alpha must be in (0.0, 1.0)";
        case CorrectionError::PValueOutOfRange:
            return "all p-values must be in [0.0, 1.0]";
    }
    return {};
}

Result<CorrectionOutcome, CorrectionError> correct_p_values(std::span<const double> p_values,
                                                            double alpha,
                                                            CorrectionMethod method,
                                                            InterruptCheck interrupt) {
    if (p_values.empty()) return std::unexpected(CorrectionError::EmptyPValues);
    // Ordered tests: a NaN alpha or p-value fails them.
    if (!(alpha > 0.0 && alpha < 1.0)) return std::unexpected(CorrectionError::InvalidAlpha);
    for (double p : p_values) {
        if (!(p >= 0.0 && p <= 1.0)) return std::unexpected(CorrectionError::PValueOutOfRange);
    }

    std::vector<double> adjusted(p_values.size());
    switch (method) {
        case CorrectionMethod::Bonferroni:
            bonferroni(p_values, adjusted);
            break;
        case CorrectionMethod::BenjaminiHochberg:
            benjamini_hochberg(p_values, adjusted, interrupt);
            break;
    }

    std::vector<bool> rejected(adjusted.size());
    for (std::size_t i = 0; i < adjusted.size(); ++i) rejected[i] = adjusted[i] <= alpha;
    return CorrectionOutcome{std::move(adjusted), std::move(rejected), alpha, method};
}

}  // namespace mirabund_core::correction
