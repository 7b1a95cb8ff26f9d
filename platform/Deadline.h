// Time-outs as points in time on the monotonic clock: a blocking call's
// time-out becomes a deadline once, and each wait inside it takes what is
// left of it.
#pragma once

#include <chrono>
#include <cstdint>

namespace platform {

// Milliseconds and microseconds of the monotonic clock.
uint64_t MonotonicMs();
uint64_t MonotonicUs();

// A time-out of seconds given as a real number (a command-line option, a
// fault setting), truncated to whole milliseconds; none below zero.
std::chrono::milliseconds MsFromSeconds(double seconds);

class Deadline {
public:
    // Passes timeoutMs milliseconds from now.
    static Deadline In(uint64_t timeoutMs) { return Deadline(MonotonicMs() + timeoutMs, false); }
    static Deadline Never() { return Deadline(0, true); }

    bool Infinite() const { return infinite_; }
    bool Passed() const { return !infinite_ && MonotonicMs() >= at_; }
    // What is left, as poll() takes it: -1 for an infinite deadline, 0 once
    // it has passed, at most INT32_MAX milliseconds.
    int RemainingMs() const;

private:
    Deadline(uint64_t at, bool infinite) : at_(at), infinite_(infinite) {}
    uint64_t at_;
    bool infinite_;
};

}  // namespace platform
