// Uniform draws from the random source: every draw in [low, high]; a draw
// from [low, high] is low plus the draw from [0, high - low] of a twin
// source, value for value and output for output; a batch of draws (short or
// spanning many kernel calls, 64 or 32 bits wide) is the same draws one at a
// time, leaving the same buffer, read position and counter; the full range
// is the next 64-bit value; an empty range panics before drawing anything.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/outcome.hpp"
#include "core/random.hpp"
#include "fuzz/fuzz_input.hpp"

namespace {

using mirabund_core::random::RandomSource;
constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

// Bounds near the interesting places: small, near the top, powers of two
// and their neighbours, or raw.
std::uint64_t bound(fuzz::Input& in) {
    const std::uint8_t tag = in.byte();
    switch (tag % 5) {
        case 0: return in.u64();
        case 1: return in.byte();
        case 2: return u64_max - in.byte();
        case 3: return (std::uint64_t{1} << (in.byte() % 64)) + (static_cast<std::int8_t>(in.byte()) % 3);
        default: return in.u64() >> (in.byte() % 64);
    }
}

std::string pair(std::uint64_t low, std::uint64_t high) {
    return "[" + std::to_string(low) + ", " + std::to_string(high) + "]";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    fuzz::Input in(bytes, size);
    const std::uint8_t flags = in.byte();
    const std::uint64_t seed = in.u64();
    RandomSource source = RandomSource::seed_from_u64(seed);
    if (flags & 1) {
        // Half a value left in the buffer: the position is odd, which draws
        // of 64 bits never leave but a source can be built with.
        mirabund_core::random::OutputBuffer buffer{};
        std::uint64_t state = in.u64();
        for (std::uint32_t& word : buffer) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            word = static_cast<std::uint32_t>(state >> 32);
        }
        source = RandomSource(source.core(), buffer, 2 * in.below(32) + 1);
    }
    RandomSource twin = source;

    for (std::size_t i = 0, draws = in.below(17); i < draws; ++i) {
        const std::uint64_t low = bound(in);
        const std::uint64_t high = (in.byte() & 1) ? bound(in) : low + in.byte();  // may wrap below low
        if (high < low) {
            try {
                std::array<std::uint64_t, 2> values{};
                if (in.byte() & 1) source.gen_range_fill(low, high, values);
                else source.gen_range(low, high);
                FUZZ_CHECK(false, "no panic for " + pair(low, high));
            } catch (const mirabund_core::Panic& p) {
                FUZZ_CHECK(p.message == "cannot sample empty range", p.message);
            }
            continue;
        }
        // One draw, or a batch of up to 8 (none included), or with flag 2 up
        // to a few thousand; with flag 4, 32 bits wide when the range allows.
        const bool batch = in.byte() & 1;
        const std::size_t count = !batch ? 1 : (flags & 2) ? in.below(256) * 13 : in.below(9);
        std::vector<std::uint64_t> values(std::max<std::size_t>(count, 1));
        if (batch && (flags & 4) && high <= 0xFFFFFFFFu) {
            std::vector<std::uint32_t> narrow(count);
            source.gen_range_fill(low, high, std::span<std::uint32_t>(narrow));
            std::copy(narrow.begin(), narrow.end(), values.begin());
        } else if (batch) {
            source.gen_range_fill(low, high, std::span<std::uint64_t>(values.data(), count));
        } else {
            values[0] = source.gen_range(low, high);
        }
        const std::uint64_t width = high - low;
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint64_t v = values[k];
            FUZZ_CHECK(low <= v && v <= high, std::to_string(v) + " outside " + pair(low, high));
            const std::uint64_t expected = width == u64_max ? twin.next_u64() : low + twin.gen_range(0, width);
            FUZZ_CHECK(v == expected, std::to_string(v) + " vs " + std::to_string(expected) + " in " + pair(low, high) +
                                          (batch ? ", batch draw " + std::to_string(k) : ""));
        }
        FUZZ_CHECK(source.read_position() == twin.read_position() && source.core() == twin.core() &&
                       source.buffer() == twin.buffer(),
                   "draws consumed different output");
    }
    FUZZ_CHECK(source.next_u64() == twin.next_u64(), "sources drifted apart");
    return 0;
}
