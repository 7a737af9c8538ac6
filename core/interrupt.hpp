// Long operations give their caller a chance to stop them (a user pressing
// Ctrl-C): every few milliseconds of work they call the caller's hook, which
// ends the call by throwing. Operations hold only owned storage, so the
// unwinding leaves nothing behind, and a call that is not stopped computes
// exactly what it would without a hook.
#pragma once

#include <cstdint>

namespace mirabund_core {

class InterruptCheck {
public:
    using Hook = void (*)(void* context);

    // Units of work between two calls of the hook. A unit is about the cost
    // of adding one value (a nanosecond or less), so the hook runs every few
    // milliseconds and its cost is lost in the work.
    static constexpr std::uint64_t interval = std::uint64_t{1} << 22;

    // Never interrupts.
    constexpr InterruptCheck() = default;
    constexpr InterruptCheck(Hook hook, void* context) : hook_(hook), context_(context) {}

    // Counts work done; calls the hook once a whole interval has passed.
    void add(std::uint64_t units) {
        pending_ += units;
        if (pending_ >= interval) poll();
    }

    // Calls the hook now.
    void poll() {
        pending_ = 0;
        if (hook_ != nullptr) hook_(context_);
    }

private:
    Hook hook_ = nullptr;
    void* context_ = nullptr;
    std::uint64_t pending_ = 0;
};

}  // namespace mirabund_core
