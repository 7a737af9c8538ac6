// The statistics of the shared resamples straight from their documented
// rules, one column at a time and one gen_range draw at a time: the
// reference the kernels and threads are held to, by the core tests and the
// fuzz target alike.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/random.hpp"
#include "core/shared_resampling.hpp"
#include "core/studentized_bootstrap.hpp"

namespace mirabund_core::shared_resampling::reference {

using random::ChaChaCore;
using random::RandomSource;

inline RandomSource stream(std::uint64_t seed, std::uint64_t r) {
    return RandomSource(ChaChaCore{RandomSource::seed_from_u64(seed).core().key, 0,
                                   {static_cast<std::uint32_t>(r), static_cast<std::uint32_t>(r >> 32)}});
}

// One column's statistics straight from the documented rules, one gen_range
// draw at a time, resample by resample from its own stream.
inline std::vector<double> literal(std::span<const double> x, Units units, const Options& o) {
    std::vector<double> out;
    const std::uint64_t n = x.size();
    std::vector<double> totals(x.begin(), x.end());
    std::vector<std::uint64_t> sizes;
    if (units.kind == Units::Kind::ClusterCodes) {
        std::uint64_t k = 0;
        for (std::uint64_t code : units.labels) k = std::max(k, code + 1);
        totals.assign(k, -0.0);
        sizes.assign(k, 0);
        for (std::uint64_t i = 0; i < n; ++i) {
            totals[units.labels[i]] = totals[units.labels[i]] + x[i];
            ++sizes[units.labels[i]];
        }
    } else if (units.kind == Units::Kind::ClusterSizes) {
        sizes.assign(units.labels.begin(), units.labels.end());
    }
    studentized_bootstrap::Centered centered{};
    if (o.method == Method::Studentized) centered = *studentized_bootstrap::center(x);
    for (std::uint64_t r = 0; r < o.n_resamples; ++r) {
        RandomSource source = stream(o.seed, r);
        if (o.method == Method::Studentized) {
            double a = -0.0, b = -0.0;
            for (std::uint64_t i = 0; i < n; ++i) {
                const std::uint64_t j = source.gen_range(0, n - 1);
                a = a + centered.deviations[j];
                b = b + centered.squares[j];
            }
            out.push_back(studentized_bootstrap::resample_t(a, b, n));
        } else if (!sizes.empty()) {
            const std::uint64_t k = totals.size();
            double sum = -0.0;
            std::uint64_t count = 0;
            for (std::uint64_t j = 0; j < k; ++j) {
                const std::uint64_t c = source.gen_range(0, k - 1);
                sum = sum + totals[c];
                count += sizes[c];
            }
            out.push_back(sum / static_cast<double>(count));
        } else {
            std::vector<double> resample;
            while (resample.size() < n) {
                const std::uint64_t start = source.gen_range(0, n - o.block_size);
                resample.insert(resample.end(), x.begin() + start, x.begin() + start + o.block_size);
            }
            resample.resize(n);
            out.push_back(*bootstrap::mean(resample));
        }
    }
    return out;
}

}  // namespace mirabund_core::shared_resampling::reference
