#include "core/entropy.hpp"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string_view>

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

// The XSI form of strerror_r; the name strerror_r is the GNU form here.
extern "C" int __xpg_strerror_r(int errnum, char* buffer, std::size_t length) noexcept;

namespace mirabund_core::random {

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
