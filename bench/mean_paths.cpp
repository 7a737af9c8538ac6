// Native measurements of the bootstrap of the mean, in CPU time (medians of
// repeats, so that other work on the machine disturbs them less):
// - every kernel variant this processor runs, on its own: the ChaCha block
//   functions, the range filters of the batch draws and the resample sums;
// - the whole bootstrap two ways on the same data and seed: the lockstep
//   path the library takes for its own mean, and the plain path it takes for
//   any other statistic (here the same mean, one resample at a time into a
//   buffer), with a check that both give the same bits;
// - the lockstep path against its limit: its two stages run alone, the
//   batch draws of every start and the chosen sum kernel over drawn starts,
//   timed in turn with it so that the machine's load falls on all three.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/range_filter.hpp"
#include "core/resample_sums.hpp"

namespace bootstrap = mirabund_core::bootstrap;
namespace rng = mirabund_core::random;

namespace {

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

template <class F>
double median_seconds(int repeats, F f) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const double start = cpu_seconds();
        f();
        times.push_back(cpu_seconds() - start);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

void kernel_table() {
    std::printf("| kernel | variant | time |\n|---|---|---|\n");
    rng::ChaChaCore core = rng::seed_from_u64(1).core();
    std::vector<std::uint32_t> words(16 * rng::group_words);
    for (const auto& variant : rng::available_block_functions()) {
        const double t = median_seconds(9, [&] {
            for (int i = 0; i < 2000; ++i) variant.function(core, 4, 16, words.data());
        });
        std::printf("| ChaCha, 16 groups a call | %s | %.3f ns per byte |\n", std::string(variant.name).c_str(),
                    t * 1e9 / (2000.0 * words.size() * 4));
    }
    // Draws from [0, 9990], as for n = 10 000 and block 10.
    const rng::RangeDraw draw = rng::range_draw(0, 9991);
    std::vector<std::uint32_t> drawn(words.size() / 2);
    for (const auto& variant : rng::available_range_filters<std::uint32_t>()) {
        std::size_t written = 0;
        const double t = median_seconds(9, [&] {
            for (int i = 0; i < 2000; ++i)
                written = variant.function(words.data(), words.size() / 2, draw, drawn.data(), drawn.size()).written;
        });
        std::printf("| range filter, [0, 9990] | %s | %.3f ns per draw |\n", std::string(variant.name).c_str(),
                    t * 1e9 / (2000.0 * static_cast<double>(written)));
    }
    std::mt19937_64 generator(2);
    const std::uint64_t n = 10000;
    std::vector<double> data(n);
    for (double& x : data) x = static_cast<double>(generator() % 1000) / 7.0;
    for (const std::uint64_t block : {1, 10, 100}) {
        const std::uint64_t blocks = (n - 1) / block + 1;
        const bootstrap::Resampling rs{data.data(), n, block, blocks, n - (blocks - 1) * block};
        std::vector<std::uint32_t> starts(bootstrap::max_lockstep * blocks);
        for (std::uint32_t& s : starts) s = static_cast<std::uint32_t>(generator() % (n - block + 1));
        const std::uint32_t* rows[bootstrap::max_lockstep];
        for (std::size_t r = 0; r < bootstrap::max_lockstep; ++r) rows[r] = starts.data() + r * blocks;
        for (const auto& variant : bootstrap::available_sum_kernels()) {
            double sums[bootstrap::max_lockstep];
            const double t = median_seconds(9, [&] {
                for (int i = 0; i < 20; ++i) variant.function(rs, rows, bootstrap::max_lockstep, sums);
            });
            std::printf("| resample sums, block %llu | %s | %.3f ns per value |\n",
                        static_cast<unsigned long long>(block), std::string(variant.name).c_str(),
                        t * 1e9 / (20.0 * bootstrap::max_lockstep * n));
        }
    }
}

// The lockstep path's own batches: the same group width and draws per call.
struct Batching {
    std::uint64_t blocks;
    std::uint64_t lockstep;
    std::uint64_t groups_per_batch;
};

Batching batching_of(std::uint64_t n, std::uint64_t block) {
    const std::uint64_t blocks = (n - 1) / block + 1;
    const std::uint64_t room = std::max<std::uint64_t>(2 * (n + block), std::uint64_t{1} << 20);
    std::uint64_t lockstep = bootstrap::max_lockstep;
    while (lockstep > 1 && lockstep * blocks > room) lockstep /= 2;
    return {blocks, lockstep, std::max<std::uint64_t>(1, (std::uint64_t{1} << 14) / (lockstep * blocks))};
}

void limit_table(std::span<const double> data, std::uint64_t resamples) {
    const std::uint64_t n = data.size();
    std::printf("\n| block size | lockstep path | draws alone | sums alone | limit (draws + sums) | path/limit |\n"
                "|---|---|---|---|---|---|\n");
    for (const std::uint64_t block : {1, 10, 100}) {
        const Batching b = batching_of(n, block);
        const std::uint64_t per_batch = b.groups_per_batch * b.lockstep;
        std::vector<std::uint32_t> starts(per_batch * b.blocks);
        const bootstrap::Resampling rs{data.data(), n, block, b.blocks, n - (b.blocks - 1) * block};
        const bootstrap::SumKernel kernel = bootstrap::chosen_sum_kernel();
        std::vector<double> path_times, draw_times, sum_times;
        for (int repeat = 0; repeat < 7; ++repeat) {
            double start = cpu_seconds();
            (void)bootstrap::block_bootstrap(data, block, resamples, 0.95, bootstrap::mean, 7);
            path_times.push_back(cpu_seconds() - start);

            rng::RandomSource source = rng::RandomSource::seed_from_u64(7);
            start = cpu_seconds();
            for (std::uint64_t done = 0; done < resamples; done += per_batch) {
                const std::uint64_t batch = std::min(resamples - done, per_batch);
                source.gen_range_fill(0, n - block, std::span<std::uint32_t>(starts.data(), batch * b.blocks));
            }
            draw_times.push_back(cpu_seconds() - start);

            // The last batch's starts, summed as often as the path sums groups.
            const std::uint32_t* rows[bootstrap::max_lockstep];
            double sums[bootstrap::max_lockstep];
            double checksum = 0.0;
            start = cpu_seconds();
            for (std::uint64_t done = 0; done < resamples; done += b.lockstep) {
                const std::uint64_t first = done % per_batch;
                for (std::size_t r = 0; r < b.lockstep; ++r) rows[r] = starts.data() + (first + r) * b.blocks;
                kernel(rs, rows, b.lockstep, sums);
                checksum += sums[0];
            }
            sum_times.push_back(cpu_seconds() - start);
            if (checksum == 0.5) std::printf(" ");  // keeps the sums from being optimised away
        }
        for (auto* times : {&path_times, &draw_times, &sum_times}) std::sort(times->begin(), times->end());
        const double path = path_times[3], draws = draw_times[3], sums = sum_times[3];
        std::printf("| %llu | %.1f ms | %.1f ms | %.1f ms | %.1f ms | %.2fx |\n", static_cast<unsigned long long>(block),
                    path * 1e3, draws * 1e3, sums * 1e3, (draws + sums) * 1e3, path / (draws + sums));
    }
}

}  // namespace

int main() {
    std::printf("Kernels picked at run time: ChaCha %s, range filter %s, resample sums %s.\n\n",
                std::string(rng::chosen_block_function().name).c_str(),
                std::string(rng::available_range_filters<std::uint32_t>().front().name).c_str(),
                std::string(bootstrap::available_sum_kernels().front().name).c_str());
    kernel_table();

    const std::uint64_t n = 10000;
    const std::uint64_t resamples = 10000;
    std::mt19937_64 generator(1);
    std::normal_distribution<double> normal;
    std::vector<double> data(n);
    for (double& x : data) x = normal(generator);

    const auto plain_mean = [](std::span<const double> values) { return bootstrap::mean(values); };
    std::printf("\n| block size | plain path | lockstep path | plain/lockstep | same bits |\n|---|---|---|---|---|\n");
    for (std::uint64_t block : {1, 10, 100}) {
        bootstrap::BootstrapOutcome outcome[2]{};
        const double plain = median_seconds(3, [&] {
            outcome[0] = *bootstrap::block_bootstrap(data, block, resamples, 0.95, plain_mean, 7);
        });
        const double lockstep = median_seconds(block == 1 ? 5 : 11, [&] {
            outcome[1] = *bootstrap::block_bootstrap(data, block, resamples, 0.95, bootstrap::mean, 7);
        });
        std::printf("| %llu | %.1f ms | %.1f ms | %.2fx | %s |\n", static_cast<unsigned long long>(block), plain * 1e3,
                    lockstep * 1e3, plain / lockstep,
                    std::memcmp(&outcome[0], &outcome[1], sizeof outcome[0]) == 0 ? "yes" : "NO");
    }
    limit_table(data, resamples);
}
