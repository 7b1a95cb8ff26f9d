// What happens to characters on the serial line between two UARTs.
//
// A character sent at one bit rate and sampled by a receiver set to another
// arrives as something else, usually with a framing error. Reframe() plays
// this out bit by bit: the sender's waveform (start bit, data bits LSB first,
// optional even parity, stop bits) is sampled the way a 16x-oversampling UART
// does it. With equal rates the bytes pass unchanged.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace sim {

struct Framing {
    int baud = 38400;
    bool parity = false;  // even parity bit present
    int stopBits = 1;
    int BitsPerChar() const { return 1 + 8 + (parity ? 1 : 0) + stopBits; }
    // Microseconds one character occupies on the wire.
    double CharMicros() const { return 1e6 * BitsPerChar() / baud; }
};

struct LineChar {
    uint8_t value;
    bool error;  // framing error seen by the receiver
    bool parityError = false;
};

// The characters a receiver with framing `rx` sees when `n` bytes are sent
// back to back with framing `tx`. Bytes pass unchanged only at equal rates
// and equal parity; otherwise the waveform is sampled bit by bit, so that a
// receiver expecting a parity bit and two stop bits makes of 10-bit
// characters what a real one would.
std::vector<LineChar> Reframe(const uint8_t* data, size_t n, const Framing& tx, const Framing& rx);

// One direction of a line: a byte starts when it is there and the line is
// free, and has crossed it one character time later. Idle time earns no
// credit, so a byte after a pause is never early; a run of bytes keeps the
// exact average rate however late it is looked at.
class PacedLine {
public:
    using Clock = std::chrono::steady_clock;
    void Add(size_t n, Clock::time_point at, std::chrono::nanoseconds charTime);
    // How many queued bytes have crossed the line by `now`; they leave the queue.
    size_t TakeDone(Clock::time_point now);
    // When the next queued byte will have crossed, if any is queued.
    std::optional<Clock::time_point> NextDone() const;
    // When the last queued byte will have crossed, if any is queued.
    std::optional<Clock::time_point> LastDone() const;
    size_t Queued() const { return queued_; }

private:
    struct Group {
        size_t n;
        Clock::time_point at;
        std::chrono::nanoseconds charTime;
    };
    std::deque<Group> groups_;
    size_t queued_ = 0;
    Clock::time_point lineFree_{};
};

// Termios speed constant to bits per second (0 when unknown).
int BaudFromSpeed(unsigned speed);

}  // namespace sim
