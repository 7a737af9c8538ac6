// Vector forms of the range filter, for ranges below 2^32. With r = range
// and a value v = vh * 2^32 + vl, the 128-bit product v * r is s * 2^32 +
// (vl * r mod 2^32) where s = vh * r + (vl * r >> 32) fits in 64 bits, so two
// 32-bit multiplies per value do. The draw is s >> 32; and since the zone of
// such a range ends in 32 one bits, the value is accepted exactly when the
// low 32 bits of s do not exceed zone >> 32.
#include "core/range_filter.hpp"

#include <array>

#include "core/x86_intrinsics.hpp"

namespace mirabund_core::random {

namespace {

#if defined(__x86_64__)

// Eight values per step (sixteen for 32-bit draws); the accepted draws are
// packed to the front of the register and stored whole, so a step needs room
// for as many more draws as it reads values. The last few wanted draws, and
// a tail of fewer than eight values, go through the scalar filter.
template <class T>
[[gnu::target("avx512f,avx512vl,popcnt")]] FilterProgress range_filter_avx512(const std::uint32_t* words,
                                                                              std::size_t values,
                                                                              const RangeDraw& draw, T* out,
                                                                              std::size_t wanted) {
    const __m512i range = _mm512_set1_epi64(static_cast<long long>(draw.range));
    const __m512i zone_high = _mm512_set1_epi64(static_cast<long long>(draw.zone >> 32));
    const __m512i low = _mm512_set1_epi64(static_cast<long long>(draw.low));
    const __m512i low_half = _mm512_set1_epi64(0xFFFFFFFF);
    std::size_t i = 0;
    std::size_t count = 0;
    if constexpr (sizeof(T) == 4) {
        // The high words of both registers' sums are gathered into one
        // register of sixteen 32-bit draws, packed with one instruction.
        const __m512i high_words = _mm512_setr_epi32(1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31);
        const __m512i low32 = _mm512_set1_epi32(static_cast<int>(draw.low));
        for (; i + 16 <= values && count + 16 <= wanted; i += 16) {
            const __m512i v0 = _mm512_loadu_si512(words + 2 * i);
            const __m512i v1 = _mm512_loadu_si512(words + 2 * i + 16);
            const __m512i s0 = _mm512_add_epi64(_mm512_mul_epu32(_mm512_srli_epi64(v0, 32), range),
                                                _mm512_srli_epi64(_mm512_mul_epu32(v0, range), 32));
            const __m512i s1 = _mm512_add_epi64(_mm512_mul_epu32(_mm512_srli_epi64(v1, 32), range),
                                                _mm512_srli_epi64(_mm512_mul_epu32(v1, range), 32));
            const __mmask8 a0 = _mm512_cmple_epu64_mask(_mm512_and_si512(s0, low_half), zone_high);
            const __mmask8 a1 = _mm512_cmple_epu64_mask(_mm512_and_si512(s1, low_half), zone_high);
            const __mmask16 accepted = static_cast<__mmask16>(a0 | static_cast<unsigned>(a1) << 8);
            const __m512i draws = _mm512_add_epi32(_mm512_permutex2var_epi32(s0, high_words, s1), low32);
            _mm512_storeu_si512(out + count, _mm512_maskz_compress_epi32(accepted, draws));
            count += static_cast<std::size_t>(__builtin_popcount(accepted));
        }
    }
    for (; i + 8 <= values && count + 8 <= wanted; i += 8) {
        const __m512i v = _mm512_loadu_si512(words + 2 * i);
        const __m512i low_product = _mm512_mul_epu32(v, range);
        const __m512i s =
            _mm512_add_epi64(_mm512_mul_epu32(_mm512_srli_epi64(v, 32), range), _mm512_srli_epi64(low_product, 32));
        const __mmask8 accepted = _mm512_cmple_epu64_mask(_mm512_and_si512(s, low_half), zone_high);
        const __m512i packed = _mm512_maskz_compress_epi64(accepted, _mm512_add_epi64(_mm512_srli_epi64(s, 32), low));
        if constexpr (sizeof(T) == 8) {
            _mm512_storeu_si512(out + count, packed);
        } else {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count), _mm512_cvtepi64_epi32(packed));
        }
        count += static_cast<std::size_t>(__builtin_popcount(accepted));
    }
    const FilterProgress rest = range_filter_scalar(words + 2 * i, values - i, draw, out + count, wanted - count);
    return {i + rest.values, count + rest.written};
}

// Four values per step; AVX2 has no packing instruction, so a table gives
// the lane order that moves the accepted draws to the front.
struct PackOrder {
    std::array<std::array<std::uint32_t, 8>, 16> lanes{};

    constexpr PackOrder() {
        for (std::uint32_t mask = 0; mask < 16; ++mask) {
            std::uint32_t next = 0;
            for (std::uint32_t lane = 0; lane < 4; ++lane) {
                if (mask >> lane & 1) {
                    lanes[mask][2 * next] = 2 * lane;
                    lanes[mask][2 * next + 1] = 2 * lane + 1;
                    ++next;
                }
            }
        }
    }
};
constexpr PackOrder pack_order;

template <class T>
[[gnu::target("avx2,popcnt")]] FilterProgress range_filter_avx2(const std::uint32_t* words, std::size_t values,
                                                               const RangeDraw& draw, T* out, std::size_t wanted) {
    const __m256i range = _mm256_set1_epi64x(static_cast<long long>(draw.range));
    const __m256i zone_high = _mm256_set1_epi64x(static_cast<long long>(draw.zone >> 32));
    const __m256i low = _mm256_set1_epi64x(static_cast<long long>(draw.low));
    const __m256i low_half = _mm256_set1_epi64x(0xFFFFFFFF);
    std::size_t i = 0;
    std::size_t count = 0;
    for (; i + 4 <= values && count + 4 <= wanted; i += 4) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(words + 2 * i));
        const __m256i low_product = _mm256_mul_epu32(v, range);
        const __m256i s =
            _mm256_add_epi64(_mm256_mul_epu32(_mm256_srli_epi64(v, 32), range), _mm256_srli_epi64(low_product, 32));
        // Both sides are below 2^32, so the signed comparison is the unsigned one.
        const __m256i rejected = _mm256_cmpgt_epi64(_mm256_and_si256(s, low_half), zone_high);
        const unsigned accepted = ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(rejected))) & 0xF;
        const __m256i order = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(pack_order.lanes[accepted].data()));
        const __m256i packed =
            _mm256_permutevar8x32_epi32(_mm256_add_epi64(_mm256_srli_epi64(s, 32), low), order);
        if constexpr (sizeof(T) == 8) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + count), packed);
        } else {
            // The low word of each 64-bit draw, in order.
            const __m256i words_first = _mm256_permutevar8x32_epi32(packed, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + count), _mm256_castsi256_si128(words_first));
        }
        count += static_cast<std::size_t>(__builtin_popcount(accepted));
    }
    const FilterProgress rest = range_filter_scalar(words + 2 * i, values - i, draw, out + count, wanted - count);
    return {i + rest.values, count + rest.written};
}

#endif  // __x86_64__

template <class T>
using RangeFilters = KernelList<RangeFilter<T>, 3>;

template <class T>
RangeFilters<T> detect_range_filters() {
    RangeFilters<T> found;
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl"))
        found.add("avx512", range_filter_avx512<T>);
    if (__builtin_cpu_supports("avx2")) found.add("avx2", range_filter_avx2<T>);
#endif
    found.add("scalar", range_filter_scalar<T>);
    return found;
}

}  // namespace

template <class T>
std::span<const NamedRangeFilter<T>> available_range_filters() {
    static const RangeFilters<T> filters = detect_range_filters<T>();
    return filters.view();
}

template std::span<const NamedRangeFilter<std::uint64_t>> available_range_filters();
template std::span<const NamedRangeFilter<std::uint32_t>> available_range_filters();

}  // namespace mirabund_core::random
