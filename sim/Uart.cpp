#include "sim/Uart.h"

#include <termios.h>

#include <algorithm>
#include <cmath>

namespace sim {

std::vector<LineChar> Reframe(const uint8_t* data, size_t n, const Framing& tx, const Framing& rx) {
    std::vector<LineChar> out;
    if ((tx.baud == rx.baud && tx.parity == rx.parity) || tx.baud <= 0 || rx.baud <= 0) {
        // Stop-bit differences alone do not matter to a receiver: it checks
        // the first stop bit only, and a longer stop is idle line to it.
        out.reserve(n);
        for (size_t i = 0; i < n; ++i) out.push_back({data[i], false});
        return out;
    }

    // The sender's waveform, one level per bit, followed by idle line long
    // enough for the receiver to finish its last character.
    std::vector<uint8_t> bits;
    bits.reserve(n * tx.BitsPerChar());
    for (size_t i = 0; i < n; ++i) {
        bits.push_back(0);
        int ones = 0;
        for (int b = 0; b < 8; ++b) {
            const uint8_t v = (data[i] >> b) & 1;
            ones += v;
            bits.push_back(v);
        }
        if (tx.parity) bits.push_back(static_cast<uint8_t>(ones & 1));
        for (int s = 0; s < tx.stopBits; ++s) bits.push_back(1);
    }
    const double t1 = 1.0 / tx.baud;
    const double t2 = 1.0 / rx.baud;
    const double end = bits.size() * t1 + 2 * rx.BitsPerChar() * t2;
    auto level = [&](double t) -> int {
        const double idx = std::floor(t / t1 + 1e-9);
        if (idx < 0 || idx >= static_cast<double>(bits.size())) return 1;
        return bits[static_cast<size_t>(idx)];
    };

    const double step = t2 / 16;
    double t = 0;
    int prev = 1;
    while (t < end) {
        const int now = level(t);
        if (!(prev == 1 && now == 0)) {
            prev = now;
            t += step;
            continue;
        }
        // Falling edge: confirm the start bit in its middle.
        const double start = t;
        if (level(start + t2 / 2) != 0) {
            prev = 0;
            t += step;
            continue;
        }
        uint8_t v = 0;
        int ones = 0;
        for (int b = 0; b < 8; ++b)
            if (level(start + t2 * (1.5 + b))) {
                v |= static_cast<uint8_t>(1u << b);
                ++ones;
            }
        double stopAt = start + t2 * 9.5;
        bool parityError = false;
        if (rx.parity) {
            parityError = level(stopAt) != (ones & 1);
            stopAt += t2;
        }
        const bool framingError = level(stopAt) == 0;
        out.push_back({v, framingError, parityError});
        // The receiver looks for the next start bit from the middle of the
        // stop bit on; after a framing error the line may still be low.
        t = stopAt;
        prev = framingError ? 0 : 1;
    }
    return out;
}

void PacedLine::Add(size_t n, Clock::time_point at, std::chrono::nanoseconds charTime) {
    if (n == 0) return;
    groups_.push_back({n, at, charTime});
    queued_ += n;
}

size_t PacedLine::TakeDone(Clock::time_point now) {
    size_t done = 0;
    while (!groups_.empty()) {
        Group& g = groups_.front();
        const Clock::time_point end = std::max(lineFree_, g.at) + g.charTime;
        if (end > now) break;
        lineFree_ = end;
        ++done;
        --queued_;
        if (--g.n == 0) groups_.pop_front();
    }
    return done;
}

std::optional<PacedLine::Clock::time_point> PacedLine::NextDone() const {
    if (groups_.empty()) return std::nullopt;
    return std::max(lineFree_, groups_.front().at) + groups_.front().charTime;
}

std::optional<PacedLine::Clock::time_point> PacedLine::LastDone() const {
    if (groups_.empty()) return std::nullopt;
    Clock::time_point free = lineFree_;
    for (const Group& g : groups_) free = std::max(free, g.at) + g.charTime * static_cast<int64_t>(g.n);
    return free;
}

int BaudFromSpeed(unsigned speed) {
    switch (speed) {
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
    }
}

}  // namespace sim
