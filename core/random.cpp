#include "core/random.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/entropy.hpp"
#include "core/outcome.hpp"
#include "core/range_filter.hpp"

namespace mirabund_core::random {

namespace {

// Key words of seed_from_u64: eight PCG32 (XSH-RR) outputs, state advanced
// before each output.
std::array<std::uint32_t, 8> expand_seed(std::uint64_t seed) {
    constexpr std::uint64_t multiplier = 6364136223846793005ULL;
    constexpr std::uint64_t increment = 11634580027462260723ULL;
    std::array<std::uint32_t, 8> key{};
    std::uint64_t s = seed;
    for (std::uint32_t& word : key) {
        s = s * multiplier + increment;
        const auto x = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
        const auto r = static_cast<int>(s >> 59);
        word = std::rotr(x, r);
    }
    return key;
}

// Groups computed per kernel call by gen_range_fill: enough for the wide
// kernels to fill their lanes, small enough to stay in the first-level cache.
constexpr std::size_t staged_groups = 16;
constexpr std::size_t group_values = group_words / 2;

// About how many groups the next `wanted` draws consume: the share of values
// accepted is (zone + 1) / 2^64, at least a half.
std::size_t groups_for(std::size_t wanted, std::uint64_t zone) {
    const double accepted = (static_cast<double>(zone) + 1.0) * 0x1p-64;
    const double values = static_cast<double>(wanted) / accepted;
    return std::min(staged_groups, static_cast<std::size_t>(values / group_values) + 1);
}

template <class T>
RangeFilter<T> chosen_range_filter() {
    static const RangeFilter<T> chosen = available_range_filters<T>().front().function;
    return chosen;
}

}  // namespace

RandomSource RandomSource::seed_from_u64(std::uint64_t seed) {
    // The words are the key itself: zero counter, zero stream.
    return RandomSource(ChaChaCore{expand_seed(seed), 0, {}});
}

RandomSource RandomSource::from_entropy() {
    std::array<std::uint8_t, 32> key{};
    const EntropyError error = getrandom_inner(std::as_writable_bytes(std::span(key)));
    if (error != entropy_ok) panic("from_entropy failed: " + display_text(error));
    constexpr std::array<std::uint8_t, 8> zero_nonce{};
    return RandomSource(init_chacha(key, zero_nonce));
}

std::uint64_t RandomSource::next_u64() {
    const std::size_t p = read_position_;
    if (p < buffer_words - 1) {
        read_position_ = p + 2;
        return buffer_[p] | static_cast<std::uint64_t>(buffer_[p + 1]) << 32;
    }
    if (p == buffer_words - 1) {
        const std::uint64_t low = buffer_[p];
        refill();
        read_position_ = 1;
        return low | static_cast<std::uint64_t>(buffer_[0]) << 32;
    }
    refill();
    read_position_ = 2;
    return buffer_[0] | static_cast<std::uint64_t>(buffer_[1]) << 32;
}

std::uint64_t RandomSource::gen_range(std::uint64_t low, std::uint64_t high) {
    if (high < low) panic("cannot sample empty range");
    const std::uint64_t range = high - low + 1;
    if (range == 0) return next_u64();
    const RangeDraw draw = range_draw(low, range);
    for (;;) {
        const unsigned __int128 product = static_cast<unsigned __int128>(next_u64()) * range;
        if (static_cast<std::uint64_t>(product) <= draw.zone) return low + static_cast<std::uint64_t>(product >> 64);
    }
}

void RandomSource::gen_range_fill(std::uint64_t low, std::uint64_t high, std::span<std::uint64_t> out) {
    fill(low, high, out);
}

void RandomSource::gen_range_fill(std::uint64_t low, std::uint64_t high, std::span<std::uint32_t> out) {
    fill(low, high, out);
}

template <class T>
void RandomSource::fill(std::uint64_t low, std::uint64_t high, std::span<T> out) {
    if (high < low) panic("cannot sample empty range");
    const std::uint64_t range = high - low + 1;
    // Values straddle two refills only from an odd position, which 64-bit
    // draws never leave; the one-at-a-time path covers it all the same.
    if (range == 0 || read_position_ % 2 != 0) {
        for (T& value : out) value = static_cast<T>(gen_range(low, high));
        return;
    }
    const RangeDraw draw = range_draw(low, range);
    const RangeFilter<T> filter =
        range < (std::uint64_t{1} << 32) ? chosen_range_filter<T>() : range_filter_scalar<T>;

    // What is left of the buffer first.
    const FilterProgress rest = filter(buffer_.data() + read_position_, (buffer_words - read_position_) / 2, draw,
                                       out.data(), out.size());
    read_position_ += 2 * rest.values;
    std::size_t count = rest.written;

    // Then fresh groups, several per kernel call. The source ends as if it
    // had refilled group by group: holding the group of the last value
    // taken, read up to that value, its counter just past that group.
    alignas(64) std::array<std::uint32_t, staged_groups * group_words> staged;
    while (count < out.size()) {
        const std::size_t groups = groups_for(out.size() - count, draw.zone);
        const std::uint64_t first_block = core_.block_counter;
        chosen_block_function().function(core_, 4, groups, staged.data());
        const FilterProgress taken =
            filter(staged.data(), groups * group_values, draw, out.data() + count, out.size() - count);
        count += taken.written;
        const std::size_t last_group = count < out.size() ? groups - 1 : (taken.values - 1) / group_values;
        core_.block_counter = first_block + group_blocks * (last_group + 1);
        std::memcpy(buffer_.data(), staged.data() + last_group * group_words, sizeof buffer_);
        read_position_ = count < out.size() ? buffer_words : 2 * taken.values - last_group * group_words;
    }
}

}  // namespace mirabund_core::random
