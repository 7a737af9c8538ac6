// Conventions shared by every statistics module: results are values, and the
// only way out of an operation besides its result is a panic (a broken
// invariant), which the Python surface reports as its panic exception.
#pragma once

#include <expected>
#include <source_location>
#include <string>

namespace mirabund_core {

// Either the operation's Outcome record or its module's error value.
template <class Outcome, class Error>
using Result = std::expected<Outcome, Error>;

// An unrecoverable internal failure. Thrown, never returned: it aborts the
// call and is turned into the panic exception at the Python boundary.
struct Panic {
    std::string message;
    std::source_location where;
};

[[noreturn]] inline void panic(std::string message,
                               std::source_location where = std::source_location::current()) {
    throw Panic{std::move(message), where};
}

}  // namespace mirabund_core
