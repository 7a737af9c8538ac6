#include "core/random.hpp"

#include <atomic>
#include <bit>
#include <cerrno>
#include <mutex>
#include <string_view>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "core/outcome.hpp"

// The XSI form of strerror_r; the name strerror_r is the GNU form here.
extern "C" int __xpg_strerror_r(int errnum, char* buffer, std::size_t length) noexcept;

namespace mirabund_core::random {

namespace {

inline void quarter_round(std::uint32_t* x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 16);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 12);
    x[a] += x[b]; x[d] ^= x[a]; x[d] = std::rotl(x[d], 8);
    x[c] += x[d]; x[b] ^= x[c]; x[b] = std::rotl(x[b], 7);
}

void block(const ChaChaCore& core, std::uint64_t counter, std::uint32_t double_rounds,
           std::uint32_t* out) {
    std::array<std::uint32_t, 16> input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = sigma[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = core.key[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = core.stream[0];
    input[15] = core.stream[1];

    std::array<std::uint32_t, 16> x = input;
    for (std::uint32_t r = 0; r < double_rounds; ++r) {
        quarter_round(x.data(), 0, 4, 8, 12);
        quarter_round(x.data(), 1, 5, 9, 13);
        quarter_round(x.data(), 2, 6, 10, 14);
        quarter_round(x.data(), 3, 7, 11, 15);
        quarter_round(x.data(), 0, 5, 10, 15);
        quarter_round(x.data(), 1, 6, 11, 12);
        quarter_round(x.data(), 2, 7, 8, 13);
        quarter_round(x.data(), 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

std::uint32_t load_le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

void wide_blocks_scalar(const ChaChaCore& core, std::uint32_t double_rounds, std::uint32_t* out) {
    for (std::uint64_t i = 0; i < 4; ++i) block(core, core.block_counter + i, double_rounds, out + 16 * i);
}

WideBlockFunction wide_block_function() {
    static const WideBlockFunction chosen = available_wide_block_functions().front().function;
    return chosen;
}

ChaChaCore init_chacha(std::span<const std::uint8_t, 32> key, std::span<const std::uint8_t, 8> nonce) {
    ChaChaCore core;
    for (std::size_t i = 0; i < 8; ++i) core.key[i] = load_le32(key.data() + 4 * i);
    core.block_counter = 0;
    core.stream[0] = load_le32(nonce.data());
    core.stream[1] = load_le32(nonce.data() + 4);
    return core;
}

void refill_wide(ChaChaCore& core, std::uint32_t double_rounds, OutputBuffer& buffer) {
    wide_block_function()(core, double_rounds, buffer.data());
    core.block_counter += 4;
}

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
    // The acceptance zone is range shifted up to the top bit, less one, not
    // the largest multiple of range less one: how many values a draw consumes
    // depends on it, and with that every later draw.
    const std::uint64_t zone = (range << std::countl_zero(range)) - 1;
    for (;;) {
        const unsigned __int128 product = static_cast<unsigned __int128>(next_u64()) * range;
        const auto lo = static_cast<std::uint64_t>(product);
        const auto hi = static_cast<std::uint64_t>(product >> 64);
        if (lo <= zone) return low + hi;
    }
}

void RandomSource::gen_range_fill(std::uint64_t low, std::uint64_t high, std::span<std::uint64_t> out) {
    if (high < low) panic("cannot sample empty range");
    const std::uint64_t range = high - low + 1;
    std::size_t count = 0;
    // Values straddle two refills only from an odd position, which 64-bit
    // draws never leave; the one-at-a-time path covers it all the same.
    if (range == 0 || read_position_ % 2 != 0) {
        for (auto& value : out) value = gen_range(low, high);
        return;
    }
    const std::uint64_t zone = (range << std::countl_zero(range)) - 1;
    while (count < out.size()) {
        if (read_position_ >= buffer_words) {
            refill();
            read_position_ = 0;
        }
        std::size_t p = read_position_;
        for (; p < buffer_words && count < out.size(); p += 2) {
            const std::uint64_t v = buffer_[p] | static_cast<std::uint64_t>(buffer_[p + 1]) << 32;
            const unsigned __int128 product = static_cast<unsigned __int128>(v) * range;
            // Written every time, kept only when accepted: the next value
            // overwrites a rejected one.
            out[count] = low + static_cast<std::uint64_t>(product >> 64);
            count += static_cast<std::uint64_t>(product) <= zone;
        }
        read_position_ = p;
    }
}

// ---- Operating-system entropy ----

namespace {

long system_getrandom(void* buffer, std::size_t length, unsigned flags) {
    return ::syscall(SYS_getrandom, buffer, length, flags);
}
int system_open(const char* path, int flags) { return ::open(path, flags); }
int system_poll(pollfd* fds, nfds_t count, int timeout) { return ::poll(fds, count, timeout); }
ssize_t system_read(int fd, void* buffer, std::size_t length) { return ::read(fd, buffer, length); }
int system_close(int fd) { return ::close(fd); }

EntropyCalls calls{system_getrandom, system_open, system_poll, system_read, system_close};

// Probe answer of the getrandom system call, decided once per process. Two
// threads racing on the probe store the same answer.
enum : std::uint8_t { not_probed, unusable, usable };
std::atomic<std::uint8_t> has_getrandom{not_probed};

// The /dev/urandom descriptor, opened at most once (under the mutex).
constexpr int no_descriptor = -1;
std::atomic<int> rng_fd{no_descriptor};
std::mutex rng_fd_mutex;

EntropyError last_os_error() {
    const int e = errno;
    return e > 0 ? static_cast<EntropyError>(e) : errno_not_positive;
}

bool getrandom_usable() {
    std::uint8_t state = has_getrandom.load(std::memory_order_relaxed);
    if (state == not_probed) {
        bool ok = true;
        if (calls.getrandom(nullptr, 0, 0) == -1) {
            const int e = errno;
            ok = !(e == ENOSYS || e == EPERM);
        }
        state = ok ? usable : unusable;
        has_getrandom.store(state, std::memory_order_relaxed);
    }
    return state == usable;
}

// Fills the buffer with repeated calls of fill(pointer, length), which
// returns a count or -1 with errno set.
template <class Fill>
EntropyError fill_loop(std::span<std::byte> buffer, Fill fill) {
    std::byte* pos = buffer.data();
    std::size_t remaining = buffer.size();
    while (remaining > 0) {
        const long result = fill(pos, remaining);
        if (result > 0) {
            if (static_cast<unsigned long>(result) > remaining) return unexpected_result;
            pos += result;
            remaining -= static_cast<std::size_t>(result);
        } else if (result == -1) {
            if (errno == EINTR) continue;
            return last_os_error();
        } else {
            return unexpected_result;
        }
    }
    return entropy_ok;
}

int open_retrying(const char* path) {
    for (;;) {
        const int fd = calls.open(path, O_RDONLY | O_CLOEXEC);
        if (fd != -1 || errno != EINTR) return fd;
    }
}

// The stored /dev/urandom descriptor, opened on first need; the first opener
// waits until /dev/random is readable, that is until the pool is seeded.
EntropyError get_rng_fd(int& fd_out) {
    int fd = rng_fd.load(std::memory_order_relaxed);
    if (fd != no_descriptor) {
        fd_out = fd;
        return entropy_ok;
    }
    std::lock_guard lock(rng_fd_mutex);
    fd = rng_fd.load(std::memory_order_relaxed);
    if (fd != no_descriptor) {
        fd_out = fd;
        return entropy_ok;
    }

    const int random_fd = open_retrying("/dev/random");
    if (random_fd == -1) return last_os_error();
    pollfd pfd{random_fd, POLLIN, 0};
    while (calls.poll(&pfd, 1, -1) == -1) {
        const int e = errno;
        if (e == EINTR || e == EAGAIN) continue;
        const EntropyError error = last_os_error();
        calls.close(random_fd);
        return error;
    }
    calls.close(random_fd);

    fd = open_retrying("/dev/urandom");
    if (fd == -1) return last_os_error();
    rng_fd.store(fd, std::memory_order_relaxed);
    fd_out = fd;
    return entropy_ok;
}

}  // namespace

EntropyCalls system_entropy_calls() {
    return EntropyCalls{system_getrandom, system_open, system_poll, system_read, system_close};
}

EntropyCalls replace_entropy_calls(const EntropyCalls& replacement) {
    const EntropyCalls previous = calls;
    calls = replacement;
    has_getrandom.store(not_probed, std::memory_order_relaxed);
    rng_fd.store(no_descriptor, std::memory_order_relaxed);
    return previous;
}

EntropyError getrandom_inner(std::span<std::byte> buffer) {
    if (getrandom_usable()) {
        return fill_loop(buffer, [](std::byte* p, std::size_t n) { return calls.getrandom(p, n, 0); });
    }
    int fd = no_descriptor;
    if (const EntropyError error = get_rng_fd(fd); error != entropy_ok) return error;
    return fill_loop(buffer, [fd](std::byte* p, std::size_t n) { return static_cast<long>(calls.read(fd, p, n)); });
}

namespace {

bool valid_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        std::uint32_t min;
        std::uint32_t cp;
        if (c < 0x80) { ++i; continue; }
        if (c >= 0xC2 && c <= 0xDF) { extra = 1; min = 0x80; cp = c & 0x1F; }
        else if (c >= 0xE0 && c <= 0xEF) { extra = 2; min = 0x800; cp = c & 0x0F; }
        else if (c >= 0xF0 && c <= 0xF4) { extra = 3; min = 0x10000; cp = c & 0x07; }
        else return false;
        if (text.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) return false;
            cp = cp << 6 | (t & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

}  // namespace

std::string display_text(EntropyError error) {
    if (error == errno_not_positive) return "errno: did not return a positive value";
    if (error == unexpected_result) return "unexpected situation";
    if (error >= 0x80000000U) return "unknown entropy error: " + std::to_string(error);
    char text[128] = {};
    if (__xpg_strerror_r(static_cast<int>(error), text, sizeof text) == 0) {
        std::string_view message(text, sizeof text);
        message = message.substr(0, message.find('\0'));
        if (valid_utf8(message)) return std::string(message);
    }
    return "OS Error: " + std::to_string(error);
}

}  // namespace mirabund_core::random
