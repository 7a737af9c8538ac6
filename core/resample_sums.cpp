#include "core/resample_sums.hpp"

#include <cstring>

namespace mirabund_core::bootstrap {

namespace {

using f64x2 = double __attribute__((vector_size(16)));
using f64x4 = double __attribute__((vector_size(32)));

[[gnu::always_inline]] inline f64x2 load_pair(const double* p) {
    f64x2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Values i and i + 1 of the blocks of each lane, added in that order: two
// values of one block are loaded together, and interleaving two such loads
// turns them into one vector per position. Vectors are passed by reference:
// a 256-bit vector passed by value in code compiled without AVX would change
// the calling convention.
[[gnu::always_inline]] inline void add_pair(f64x4& sum, const double* const* block, std::size_t i) {
    const f64x4 first_third = __builtin_shufflevector(load_pair(block[0] + i), load_pair(block[2] + i), 0, 1, 2, 3);
    const f64x4 second_fourth = __builtin_shufflevector(load_pair(block[1] + i), load_pair(block[3] + i), 0, 1, 2, 3);
    sum = sum + __builtin_shufflevector(first_third, second_fourth, 0, 4, 2, 6);
    sum = sum + __builtin_shufflevector(first_third, second_fourth, 1, 5, 3, 7);
}

[[gnu::always_inline]] inline void add_one(f64x4& sum, const double* const* block, std::size_t i) {
    sum = sum + f64x4{block[0][i], block[1][i], block[2][i], block[3][i]};
}

[[gnu::always_inline]] inline void add_values_at(f64x4& sum, const double* data, const std::uint32_t* const* rows,
                                                 std::uint64_t j) {
    sum = sum + f64x4{data[rows[0][j]], data[rows[1][j]], data[rows[2][j]], data[rows[3][j]]};
}

[[gnu::always_inline]] inline void add_values_at(f64x2& sum, const double* data, const std::uint32_t* const* rows,
                                                 std::uint64_t j) {
    sum = sum + f64x2{data[rows[0][j]], data[rows[1][j]]};
}

[[gnu::always_inline]] inline void add_pair(f64x2& sum, const double* const* block, std::size_t i) {
    const f64x2 first = load_pair(block[0] + i);
    const f64x2 second = load_pair(block[1] + i);
    sum = sum + __builtin_shufflevector(first, second, 0, 2);
    sum = sum + __builtin_shufflevector(first, second, 1, 3);
}

[[gnu::always_inline]] inline void add_one(f64x2& sum, const double* const* block, std::size_t i) {
    sum = sum + f64x2{block[0][i], block[1][i]};
}

template <class V>
constexpr std::size_t lanes = sizeof(V) / sizeof(double);

// Every sum starts from -0.0, so that a resample of negative zeros sums to -0.0.
template <class V>
[[gnu::always_inline]] inline void set_negative_zeros(V& v) {
    for (std::size_t q = 0; q < lanes<V>; ++q) v[q] = -0.0;
}

// `vectors` registers of resamples side by side, so that their additions
// overlap; rows[v * lanes + q] holds the starts of lane q of register v.
template <class V, std::size_t vectors>
[[gnu::always_inline]] inline void lockstep_sums(const Resampling& rs, const std::uint32_t* const* rows,
                                                 double* sums) {
    constexpr std::size_t width = lanes<V>;
    V sum[vectors];
    for (V& s : sum) set_negative_zeros(s);
    if (rs.block_size == 1) {
        // Blocks of one value: each lane's value is loaded straight from its start.
        for (std::uint64_t j = 0; j < rs.blocks; ++j)
            for (std::size_t v = 0; v < vectors; ++v) add_values_at(sum[v], rs.data, rows + v * width, j);
        std::memcpy(sums, sum, sizeof sum);
        return;
    }
    for (std::uint64_t j = 0; j < rs.blocks; ++j) {
        const std::uint64_t length = j + 1 < rs.blocks ? rs.block_size : rs.last_length;
        const double* block[vectors][width];
        for (std::size_t v = 0; v < vectors; ++v)
            for (std::size_t q = 0; q < width; ++q) block[v][q] = rs.data + rows[v * width + q][j];
        std::uint64_t i = 0;
        for (; i + 2 <= length; i += 2)
            for (std::size_t v = 0; v < vectors; ++v) add_pair(sum[v], block[v], i);
        if (i < length)
            for (std::size_t v = 0; v < vectors; ++v) add_one(sum[v], block[v], i);
    }
    std::memcpy(sums, sum, sizeof sum);
}

// All `count` resamples: four registers at a time, then one at a time, the
// lanes past the last resample repeating it (their sums are dropped).
template <class V>
[[gnu::always_inline]] inline void vector_sums(const Resampling& rs, const std::uint32_t* const* starts,
                                               std::size_t count, double* sums) {
    constexpr std::size_t width = lanes<V>;
    std::size_t done = 0;
    for (; done + 4 * width <= count; done += 4 * width) lockstep_sums<V, 4>(rs, starts + done, sums + done);
    for (; done < count; done += width) {
        const std::uint32_t* rows[width];
        for (std::size_t q = 0; q < width; ++q) rows[q] = starts[done + q < count ? done + q : count - 1];
        double lane_sums[width];
        lockstep_sums<V, 1>(rs, rows, lane_sums);
        for (std::size_t q = 0; q < width && done + q < count; ++q) sums[done + q] = lane_sums[q];
    }
}

#if defined(__x86_64__)

[[gnu::target("avx")]] void resample_sums_avx(const Resampling& rs, const std::uint32_t* const* starts,
                                              std::size_t count, double* sums) {
    vector_sums<f64x4>(rs, starts, count, sums);
}

void resample_sums_sse2(const Resampling& rs, const std::uint32_t* const* starts, std::size_t count,
                        double* sums) {
    vector_sums<f64x2>(rs, starts, count, sums);
}

#endif  // __x86_64__

using SumKernels = KernelList<SumKernel, 3>;

SumKernels detect_sum_kernels() {
    SumKernels found;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx")) found.add("avx", resample_sums_avx);
    found.add("sse2", resample_sums_sse2);  // every x86-64 processor has it
#endif
    found.add("scalar", resample_sums_scalar);
    return found;
}

}  // namespace

// Eight scalar sums side by side, each its own chain of additions.
void resample_sums_scalar(const Resampling& rs, const std::uint32_t* const* starts, std::size_t count,
                          double* sums) {
    constexpr std::size_t width = 8;
    for (std::size_t done = 0; done < count; done += width) {
        const std::size_t lanes_used = count - done < width ? count - done : width;
        double sum[width];
        for (double& s : sum) s = -0.0;
        for (std::uint64_t j = 0; j < rs.blocks; ++j) {
            const std::uint64_t length = j + 1 < rs.blocks ? rs.block_size : rs.last_length;
            const double* block[width];
            for (std::size_t q = 0; q < width; ++q)
                block[q] = rs.data + starts[done + (q < lanes_used ? q : lanes_used - 1)][j];
            for (std::uint64_t i = 0; i < length; ++i)
                for (std::size_t q = 0; q < width; ++q) sum[q] = sum[q] + block[q][i];
        }
        for (std::size_t q = 0; q < lanes_used; ++q) sums[done + q] = sum[q];
    }
}

std::span<const NamedSumKernel> available_sum_kernels() {
    static const SumKernels kernels = detect_sum_kernels();
    return kernels.view();
}

SumKernel chosen_sum_kernel() {
    static const SumKernel chosen = available_sum_kernels().front().function;
    return chosen;
}

}  // namespace mirabund_core::bootstrap
