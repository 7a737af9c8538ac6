// Every vector kernel against its scalar reference on the same input: the
// ChaCha block functions (any key, stream words, counter and number of
// groups), the range filters of the batch draws (both output widths), the
// resample sum kernels, and the interval found by selection against the
// sort and index rule.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bootstrap.hpp"
#include "core/chacha.hpp"
#include "core/outcome.hpp"
#include "core/range_filter.hpp"
#include "core/resample_sums.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

namespace rng = mirabund_core::random;
namespace bootstrap = mirabund_core::bootstrap;

// Counters near the places where the low word or the whole counter wraps.
std::uint64_t counter(fuzz::Input& in) {
    switch (in.byte() % 3) {
        case 0: return in.u64();
        case 1: return 0xFFFFFFFFull - in.byte() + (std::uint64_t{in.byte()} << 32);
        default: return ~std::uint64_t{0} - in.byte();
    }
}

void check_block_functions(fuzz::Input& in) {
    rng::ChaChaCore core;
    for (std::uint32_t& word : core.key) word = static_cast<std::uint32_t>(in.u64());
    if (in.byte() & 1) core.stream = {static_cast<std::uint32_t>(in.u64()), static_cast<std::uint32_t>(in.u64())};
    core.block_counter = counter(in);
    const std::size_t groups = 1 + in.below(20);
    const std::uint32_t double_rounds = static_cast<std::uint32_t>(in.below(11));
    std::vector<std::uint32_t> expected(groups * rng::group_words);
    rng::blocks_scalar(core, double_rounds, groups, expected.data());
    for (const auto& variant : rng::available_block_functions()) {
        std::vector<std::uint32_t> got(groups * rng::group_words);
        variant.function(core, double_rounds, groups, got.data());
        FUZZ_CHECK(got == expected, std::string(variant.name) + " kernel, counter " + std::to_string(core.block_counter) +
                                        ", groups " + std::to_string(groups));
    }
}

template <class T>
void check_range_filters(const std::vector<std::uint32_t>& words, const rng::RangeDraw& draw,
                         std::size_t wanted) {
    const std::size_t values = words.size() / 2;
    std::vector<T> expected(wanted);
    const rng::FilterProgress reference =
        rng::range_filter_scalar(words.data(), values, draw, expected.data(), wanted);
    for (const auto& variant : rng::available_range_filters<T>()) {
        std::vector<T> got(wanted);
        const rng::FilterProgress progress = variant.function(words.data(), values, draw, got.data(), wanted);
        const std::string where = std::string(variant.name) + " filter, " + std::to_string(8 * sizeof(T)) +
                                  " bits, low " + std::to_string(draw.low) + ", range " + std::to_string(draw.range);
        FUZZ_CHECK(progress.values == reference.values && progress.written == reference.written, where);
        FUZZ_CHECK(std::equal(expected.begin(), expected.begin() + reference.written, got.begin()), where);
    }
}

void check_range_filters(fuzz::Input& in) {
    std::vector<std::uint32_t> words(2 * in.below(256));
    std::uint64_t state = in.u64();
    for (std::uint32_t& word : words) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        word = static_cast<std::uint32_t>(state >> 32);
    }
    // Ranges below 2^32, the ones the vector filters take: small, around
    // powers of two, or any.
    std::uint64_t range;
    switch (in.byte() % 3) {
        case 0: range = 1 + in.byte(); break;
        case 1: range = (std::uint64_t{1} << in.below(32)) + static_cast<std::int8_t>(in.byte()) % 2; break;
        default: range = 1 + (in.u64() & 0xFFFFFFFE); break;
    }
    range = std::max<std::uint64_t>(range, 1);
    const std::size_t wanted = in.below(256) + in.below(256);
    const std::uint64_t low = in.byte() & 1 ? in.u64() % (std::uint64_t{1} << 32) : in.byte();
    check_range_filters<std::uint64_t>(words, rng::range_draw(in.byte() & 1 ? in.u64() : low, range), wanted);
    if (low + range - 1 <= 0xFFFFFFFFu) check_range_filters<std::uint32_t>(words, rng::range_draw(low, range), wanted);
}

void check_sum_kernels(fuzz::Input& in) {
    const std::vector<double> data = in.numbers(1 + in.below(64));
    const std::uint64_t n = data.size();
    const std::uint64_t block_size = 1 + in.below(n);
    const std::uint64_t blocks = (n - 1) / block_size + 1;
    const bootstrap::Resampling rs{data.data(), n, block_size, blocks, n - (blocks - 1) * block_size};
    const std::size_t count = 1 + in.below(bootstrap::max_lockstep);
    std::vector<std::uint32_t> starts(count * blocks);
    for (std::uint32_t& s : starts) s = static_cast<std::uint32_t>(in.below(n - block_size + 1));
    std::vector<const std::uint32_t*> rows(count);
    for (std::size_t r = 0; r < count; ++r) rows[r] = starts.data() + r * blocks;
    std::vector<double> expected(count);
    bootstrap::resample_sums_scalar(rs, rows.data(), count, expected.data());
    for (const auto& variant : bootstrap::available_sum_kernels()) {
        std::vector<double> got(count);
        variant.function(rs, rows.data(), count, got.data());
        for (std::size_t r = 0; r < count; ++r)
            FUZZ_CHECK(fuzz::same(got[r], expected[r]), std::string(variant.name) + " sums, resample " +
                                                            std::to_string(r) + ": " + fuzz::show(got[r]) + " vs " +
                                                            fuzz::show(expected[r]));
    }
}

template <class F>
std::optional<std::string> panic_of(F f) {
    try {
        f();
    } catch (const mirabund_core::Panic& p) {
        return p.message;
    }
    return std::nullopt;
}

void check_interval(fuzz::Input& in) {
    const std::vector<double> statistics = in.numbers(1 + in.below(80));
    const double level = in.unit();
    if (!(level > 0.0 && level < 1.0)) return;
    std::vector<double> sorted = statistics;
    std::vector<double> selected = statistics;
    bootstrap::Interval interval{};
    const auto sort_panic = panic_of([&] { bootstrap::sort_statistics(sorted); });
    const auto select_panic = panic_of([&] { interval = bootstrap::percentile_interval(selected, level); });
    FUZZ_CHECK(sort_panic == select_panic, select_panic.value_or("no panic") + " vs " + sort_panic.value_or("no panic"));
    if (sort_panic) return;
    const bootstrap::PercentileIndices at = bootstrap::percentile_indices(level, statistics.size());
    FUZZ_CHECK(fuzz::same(interval.lower, sorted[at.lower]), fuzz::show(interval.lower) + " vs " + fuzz::show(sorted[at.lower]));
    FUZZ_CHECK(fuzz::same(interval.upper, sorted[at.upper]), fuzz::show(interval.upper) + " vs " + fuzz::show(sorted[at.upper]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    switch (in.byte() % 4) {
        case 0: check_block_functions(in); break;
        case 1: check_range_filters(in); break;
        case 2: check_sum_kernels(in); break;
        default: check_interval(in); break;
    }
    return 0;
}
