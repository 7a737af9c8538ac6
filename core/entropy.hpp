// Key material from the operating system for sources made without a seed:
// the getrandom system call when it is usable, else /dev/urandom once
// /dev/random is readable. The system calls sit behind a replaceable table so
// that tests can inject their faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include <poll.h>
#include <sys/types.h>

namespace mirabund_core::random {

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
