// Sums of many block-bootstrap resamples at once, taken straight from the
// series. Each resample's sum starts from -0.0 and adds its values first to
// last, exactly as the literal resample would be summed; only different
// resamples share a vector register, one per lane, so the lanes never mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/kernel_list.hpp"

namespace mirabund_core::bootstrap {

// Shape of the resamples of one call.
struct Resampling {
    const double* data;
    std::uint64_t n;
    std::uint64_t block_size;
    std::uint64_t blocks;       // per resample
    std::uint64_t last_length;  // the last block cut to what is left of the n values
};

// The most resamples one call of a kernel sums.
inline constexpr std::size_t max_lockstep = 16;

// Writes to sums[r] the sum of the resample whose block starts are
// starts[r][0 .. blocks - 1], for r < count (1 to max_lockstep).
using SumKernel = void (*)(const Resampling& rs, const std::uint32_t* const* starts, std::size_t count,
                           double* sums);

void resample_sums_scalar(const Resampling& rs, const std::uint32_t* const* starts, std::size_t count,
                          double* sums);

// Named "avx", "sse2" or "scalar".
using NamedSumKernel = NamedKernel<SumKernel>;

// Every kernel this processor can run, fastest first, the scalar one last.
std::span<const NamedSumKernel> available_sum_kernels();

// The first of available_sum_kernels(), chosen on first use. It is the
// fastest for every block size, blocks of one value included: filling a
// vector one value at a time still beats scalar sums.
SumKernel chosen_sum_kernel();

}  // namespace mirabund_core::bootstrap
