// The acceptance step of gen_range over many values at once: the kernels that
// turn a run of keystream words into uniform draws, each variant for its own
// instruction set and all giving the same draws.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/kernel_list.hpp"

namespace mirabund_core::random {

// A draw from [low, low + range - 1]: the value v is accepted when the low
// 64 bits of v * range do not exceed zone, and then gives low plus the high
// 64 bits.
struct RangeDraw {
    std::uint64_t low;
    std::uint64_t range;  // 1 to 2^64 - 1
    std::uint64_t zone;
};

// The zone is range shifted up to the top bit, less one, not the largest
// multiple of range less one: how many values a draw consumes depends on it,
// and with that every later draw.
inline RangeDraw range_draw(std::uint64_t low, std::uint64_t range) {
    return {low, range, (range << std::countl_zero(range)) - 1};
}

struct FilterProgress {
    std::size_t values;   // 64-bit values read, up to the last accepted one when `wanted` was reached
    std::size_t written;  // draws written, at most `wanted`
};

// Reads the values words[2i] | words[2i + 1] << 32 for i = 0, 1, ... < values
// and writes the draws of the accepted ones to out until `wanted` are
// written. The vector kernels need range < 2^32; the scalar one takes any.
template <class T>
using RangeFilter = FilterProgress (*)(const std::uint32_t* words, std::size_t values, const RangeDraw& draw,
                                       T* out, std::size_t wanted);

// Named "avx512", "avx2" or "scalar".
template <class T>
using NamedRangeFilter = NamedKernel<RangeFilter<T>>;

template <class T>
FilterProgress range_filter_scalar(const std::uint32_t* words, std::size_t values, const RangeDraw& draw, T* out,
                                   std::size_t wanted) {
    std::size_t i = 0;
    std::size_t count = 0;
    for (; i < values && count < wanted; ++i) {
        const std::uint64_t v = words[2 * i] | static_cast<std::uint64_t>(words[2 * i + 1]) << 32;
        const unsigned __int128 product = static_cast<unsigned __int128>(v) * draw.range;
        // Written every time, kept only when accepted: the next value
        // overwrites a rejected one.
        out[count] = static_cast<T>(draw.low + static_cast<std::uint64_t>(product >> 64));
        count += static_cast<std::uint64_t>(product) <= draw.zone;
    }
    return {i, count};
}

// Every filter this processor can run, fastest first, the scalar one last;
// for draws of 64 and of 32 bits.
template <class T>
std::span<const NamedRangeFilter<T>> available_range_filters();
extern template std::span<const NamedRangeFilter<std::uint64_t>> available_range_filters();
extern template std::span<const NamedRangeFilter<std::uint32_t>> available_range_filters();

}  // namespace mirabund_core::random
