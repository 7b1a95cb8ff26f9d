#include "platform/Deadline.h"

#include <climits>

namespace platform {

namespace {

template <class Unit>
uint64_t Monotonic() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<Unit>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

}  // namespace

uint64_t MonotonicMs() { return Monotonic<std::chrono::milliseconds>(); }

uint64_t MonotonicUs() { return Monotonic<std::chrono::microseconds>(); }

std::chrono::milliseconds MsFromSeconds(double seconds) {
    if (!(seconds > 0)) return std::chrono::milliseconds(0);
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

int Deadline::RemainingMs() const {
    if (infinite_) return -1;
    const uint64_t now = MonotonicMs();
    if (now >= at_) return 0;
    return at_ - now > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(at_ - now);
}

}  // namespace platform
