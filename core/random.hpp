// Reproducible random source of the bootstrap: a ChaCha keystream with 8
// rounds, keyed from a 64-bit seed through PCG32 or from the operating
// system's entropy, read through a buffer of four blocks (64 words).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <poll.h>
#include <sys/types.h>

namespace mirabund_core::random {

// ChaCha state words 4 to 15; words 0 to 3 are the fixed constants.
struct ChaChaCore {
    std::array<std::uint32_t, 8> key{};
    std::uint64_t block_counter = 0;  // words 12 (low half) and 13 (high half)
    std::array<std::uint32_t, 2> stream{};  // words 14 and 15

    bool operator==(const ChaChaCore&) const = default;
};

// State words 0 to 3 of every block, whichever implementation computes it.
inline constexpr std::array<std::uint32_t, 4> sigma{0x61707865, 0x3320646E, 0x79622D32, 0x6B206574};

inline constexpr std::size_t buffer_words = 64;
using OutputBuffer = std::array<std::uint32_t, buffer_words>;

// Computes the four blocks core.block_counter .. +3 (64-bit wrap-around) into
// out, block after block, each in state word order. Every implementation
// must produce exactly the same words; only the speed differs.
using WideBlockFunction = void (*)(const ChaChaCore& core, std::uint32_t double_rounds,
                                   std::uint32_t* out);

void wide_blocks_scalar(const ChaChaCore& core, std::uint32_t double_rounds, std::uint32_t* out);

struct NamedWideBlockFunction {
    std::string_view name;  // "avx2", "avx", "sse4.1", "ssse3" or "scalar"
    WideBlockFunction function;
};

// Every implementation this processor can run, fastest first; the last is
// always the scalar one. Detected once per process.
std::span<const NamedWideBlockFunction> available_wide_block_functions();

// The first of available_wide_block_functions(), chosen on first use.
WideBlockFunction wide_block_function();

ChaChaCore init_chacha(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 8> nonce);

// Fills the buffer with the next four blocks and advances the counter by 4.
void refill_wide(ChaChaCore& core, std::uint32_t double_rounds, OutputBuffer& buffer);

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
    // same values and leaving the source in the same state, with the
    // acceptance test kept off the branch predictor.
    void gen_range_fill(std::uint64_t low, std::uint64_t high, std::span<std::uint64_t> out);

    const OutputBuffer& buffer() const { return buffer_; }
    std::size_t read_position() const { return read_position_; }
    const ChaChaCore& core() const { return core_; }

private:
    void refill() { refill_wide(core_, 4, buffer_); }

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

// Failure to obtain entropy. Below 0x80000000: an errno value (positive).
// With bit 31 set: one of the internal codes below. 0 is never an error and
// is what getrandom_inner returns on success.
using EntropyError = std::uint32_t;
inline constexpr EntropyError entropy_ok = 0;
// A failed call left an errno that is not positive.
inline constexpr EntropyError errno_not_positive = 0x80000001;
// A call returned a count that cannot occur (0, below -1, more than asked).
inline constexpr EntropyError unexpected_result = 0x80000002;

// Fills the whole buffer from the operating system: the getrandom system call
// when it is usable, else a descriptor of /dev/urandom opened once (after
// /dev/random became readable) and kept for the life of the process.
EntropyError getrandom_inner(std::span<std::byte> buffer);

std::string display_text(EntropyError error);

// The system calls behind getrandom_inner. Each reports failure the way the
// system does: -1 with errno set.
struct EntropyCalls {
    long (*getrandom)(void* buffer, std::size_t length, unsigned flags);
    int (*open)(const char* path, int flags);
    int (*poll)(pollfd* fds, nfds_t count, int timeout);
    ssize_t (*read)(int fd, void* buffer, std::size_t length);
    int (*close)(int fd);
};

EntropyCalls system_entropy_calls();

// Installs other calls (fault injection) and returns the previous ones. The
// cached probe answer and the stored descriptor are forgotten (not closed),
// since they belong to the calls being replaced. Not thread-safe.
EntropyCalls replace_entropy_calls(const EntropyCalls& calls);

}  // namespace mirabund_core::random
