// Reproducible random source of the bootstrap: a ChaCha keystream with 8
// rounds, keyed from a 64-bit seed through PCG32 or from the operating
// system's entropy, read through a buffer of four blocks (64 words).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/chacha.hpp"

namespace mirabund_core::random {

inline constexpr std::size_t buffer_words = group_words;
using OutputBuffer = std::array<std::uint32_t, buffer_words>;

// Fills the buffer with the next four blocks and advances the counter by 4.
inline void refill_wide(ChaChaCore& core, std::uint32_t double_rounds, OutputBuffer& buffer) {
    compute_groups(core, double_rounds, 1, buffer.data());
}

class RandomSource {
public:
    // A fresh source over the given core: zero buffer, nothing left to read,
    // so the first draw computes blocks core.block_counter .. +3.
    explicit RandomSource(const ChaChaCore& core) : core_(core) {}
    RandomSource(const ChaChaCore& core, const OutputBuffer& buffer, std::size_t read_position)
        : buffer_(buffer), read_position_(read_position), core_(core) {}

    static RandomSource seed_from_u64(std::uint64_t seed);
    // Panics when the operating system provides no entropy.
    static RandomSource from_entropy();

    std::uint64_t next_u64();
    // Uniform in [low, high], both included; panics when high < low.
    std::uint64_t gen_range(std::uint64_t low, std::uint64_t high);
    // Exactly out.size() successive gen_range(low, high) draws, consuming the
    // same values and leaving the source in the same state (buffer, read
    // position, counter), but computed many blocks and values at a time.
    // The 32-bit form needs high < 2^32.
    void gen_range_fill(std::uint64_t low, std::uint64_t high, std::span<std::uint64_t> out);
    void gen_range_fill(std::uint64_t low, std::uint64_t high, std::span<std::uint32_t> out);

    const OutputBuffer& buffer() const { return buffer_; }
    std::size_t read_position() const { return read_position_; }
    const ChaChaCore& core() const { return core_; }

private:
    void refill() { refill_wide(core_, 4, buffer_); }
    template <class T>
    void fill(std::uint64_t low, std::uint64_t high, std::span<T> out);

    OutputBuffer buffer_{};
    std::size_t read_position_ = buffer_words;
    ChaChaCore core_;
};

inline RandomSource seed_from_u64(std::uint64_t seed) { return RandomSource::seed_from_u64(seed); }
inline RandomSource from_entropy() { return RandomSource::from_entropy(); }
inline std::uint64_t next_u64(RandomSource& source) { return source.next_u64(); }
inline std::uint64_t gen_range(RandomSource& source, std::uint64_t low, std::uint64_t high) {
    return source.gen_range(low, high);
}

}  // namespace mirabund_core::random
