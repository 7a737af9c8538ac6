// The statistics of the whole-cluster bootstrap straight from their
// definition, one gen_range draw at a time: the reference the batched draws
// are held to, by the core tests and the fuzz target alike.
#pragma once

#include <cstdint>
#include <vector>

#include "core/cluster_bootstrap.hpp"

namespace mirabund_core::cluster_bootstrap::reference {

inline std::vector<double> literal_statistics(const ClusterTotals& clusters, std::uint64_t n_resamples,
                                              std::uint64_t seed) {
    random::RandomSource source = random::RandomSource::seed_from_u64(seed);
    const std::uint64_t k = clusters.totals.size();
    std::vector<double> statistics;
    for (std::uint64_t r = 0; r < n_resamples; ++r) {
        double sum = -0.0;
        std::uint64_t count = 0;
        for (std::uint64_t j = 0; j < k; ++j) {
            const std::uint64_t c = source.gen_range(0, k - 1);
            sum = sum + clusters.totals[c];
            count += clusters.sizes[c];
        }
        statistics.push_back(sum / static_cast<double>(count));
    }
    return statistics;
}

}  // namespace mirabund_core::cluster_bootstrap::reference
