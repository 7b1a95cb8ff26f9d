// What happens to characters on the serial line between two UARTs.
//
// A character sent at one bit rate and sampled by a receiver set to another
// arrives as something else, usually with a framing error. Reframe() plays
// this out bit by bit: the sender's waveform (start bit, data bits LSB first,
// optional even parity, stop bits) is sampled the way a 16x-oversampling UART
// does it. With equal rates the bytes pass unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
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
};

// The characters a receiver with framing `rx` sees when `n` bytes are sent
// back to back with framing `tx`.
std::vector<LineChar> Reframe(const uint8_t* data, size_t n, const Framing& tx, const Framing& rx);

// Termios speed constant to bits per second (0 when unknown).
int BaudFromSpeed(unsigned speed);

}  // namespace sim
