// Times the bootstrap of the mean two ways on the same data and seed: the
// lockstep path the library takes for its own mean, and the plain path it
// takes for any other statistic (here the same mean, one resample at a time
// into a buffer). Prints the ratio and checks that the results are the same
// bits.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "core/bootstrap.hpp"

namespace bootstrap = mirabund_core::bootstrap;

int main() {
    const std::uint64_t n = 10000;
    const std::uint64_t resamples = 10000;
    std::mt19937_64 generator(1);
    std::normal_distribution<double> normal;
    std::vector<double> data(n);
    for (double& x : data) x = normal(generator);

    const auto plain_mean = [](std::span<const double> values) { return bootstrap::mean(values); };
    std::printf("| block size | plain path | lockstep path | plain/lockstep | same bits |\n|---|---|---|---|---|\n");
    for (std::uint64_t block : {1, 10, 100}) {
        double best[2] = {1e9, 1e9};
        bootstrap::BootstrapOutcome outcome[2]{};
        for (int repeat = 0; repeat < 3; ++repeat) {
            for (int path = 0; path < 2; ++path) {
                const auto start = std::chrono::steady_clock::now();
                outcome[path] = path == 0
                    ? *bootstrap::block_bootstrap(data, block, resamples, 0.95, plain_mean, 7)
                    : *bootstrap::block_bootstrap(data, block, resamples, 0.95, bootstrap::mean, 7);
                const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
                best[path] = std::min(best[path], took.count());
            }
        }
        std::printf("| %llu | %.1f ms | %.1f ms | %.2fx | %s |\n", static_cast<unsigned long long>(block), best[0],
                    best[1], best[0] / best[1],
                    std::memcmp(&outcome[0], &outcome[1], sizeof outcome[0]) == 0 ? "yes" : "NO");
    }
}
