#include "serial/Link.h"

#include "platform/Deadline.h"
#include "serial/DUXKSerial.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <thread>

double ReplyTimeout = 8.0;

namespace {

std::atomic<bool> fastLink{false};

constexpr int kStopWatchSlots = 7;
constexpr int kReplyBufferSize = 512;

double stopWatchStart[kStopWatchSlots] = {};
char replyBuffer[kReplyBufferSize] = {};
int replyLength = 0;
int terminatorCount = 0;
char lastTerminator = 0;

bool IsTerminator(uint8_t b) { return b == 3 || b == 4 || b == 10 || b == 13; }

// Milliseconds left until deadline (0 when it has passed), for the blocking
// helpers of the channel.
uint32_t MsUntil(uint64_t deadline) {
    uint64_t now = TickCountMs();
    return now >= deadline ? 0 : static_cast<uint32_t>(deadline - now);
}

}  // namespace

uint64_t TickCountMs() { return platform::MonotonicMs(); }

uint64_t TickCountUs() { return platform::MonotonicUs(); }

void SetFastLink(bool on) { fastLink.store(on); }

bool FastLink() { return fastLink.load(); }

double CharacterMicros(uint32_t baud, int byteSize, int parity, int stopBits) {
    if (baud == 0) baud = 9600;
    double bits = 1.0 + byteSize + (parity != NOPARITY ? 1 : 0);
    bits += stopBits == TWOSTOPBITS ? 2.0 : stopBits == ONE5STOPBITS ? 1.5 : 1.0;
    return bits * 1e6 / baud;
}

uint64_t EchoWaitMicros(uint64_t arrivalUs, uint64_t nowUs, double charMicros) {
    const uint64_t due = arrivalUs + static_cast<uint64_t>(std::ceil(charMicros));
    return due > nowUs ? due - nowUs : 0;
}

void WaitSeconds(double seconds) {
    const uint64_t t0 = TickCountMs();
    const double ms = seconds * 1000.0;
    if (!(ms >= 1.0)) return;
    const uint64_t wait = static_cast<uint64_t>(ms);
    const uint64_t end = t0 + wait;
    for (uint64_t now = t0; now < end; now = TickCountMs())
        std::this_thread::sleep_for(std::chrono::milliseconds(end - now));
}

double StopWatch(int slot, bool read) {
    if (slot < 0 || slot >= kStopWatchSlots) return 0.0;
    const double now = static_cast<double>(TickCountMs());
    if (!read) {
        stopWatchStart[slot] = now;
        return 0.0;
    }
    return (now - stopWatchStart[slot]) * 0.001;
}

unsigned SendBytes(const void* data, unsigned count) {
    CDUXKSerial& channel = GetSensorChannel();
    if (!channel.IsOpen()) return 0;
    uint32_t written = 0;
    uint32_t code = channel.Write(data, count, &written, nullptr, INFINITE_TIMEOUT);
    // A failed write (a device that went away) will never see its
    // transmitter drain: report it at once instead of waiting out 10 ms for
    // every byte.
    if (code != ERROR_SUCCESS_CODE) return 0;
    // Wait for the transmitter to drain, at most 10 ms per byte; running
    // out of time is not a failure.
    const uint64_t deadline = TickCountMs() + 10ull * count;
    while (!channel.IsTransmitDone()) {
        uint32_t left = MsUntil(deadline);
        if (left == 0 || channel.HasEventThreadFailed()) break;
        channel.WaitTransmitDone(left);
    }
    return written;
}

void SendCommand(const char* text) {
    char buffer[kReplyBufferSize];
    // A text longer than the buffer allows is cut, rather than written past
    // its end.
    int len = std::snprintf(buffer, sizeof buffer, "%s\n", text ? text : "");
    if (len < 0) return;
    if (len >= static_cast<int>(sizeof buffer)) len = static_cast<int>(sizeof buffer) - 1;
    SendBytes(buffer, static_cast<unsigned>(len));
}

char* ReadReply() {
    CDUXKSerial& channel = GetSensorChannel();
    if (!channel.IsOpen()) return nullptr;
    StopWatch(2, false);
    for (;;) {
        uint8_t b = 0;
        if (channel.ReceivedCount() > 0) b = channel.GetByte();
        if (b == 0) {
            const double elapsed = StopWatch(2, true);
            if (elapsed > ReplyTimeout) return nullptr;
            if (channel.ReceivedCount() == 0) {
                // Nothing more can come from a port whose device is gone.
                if (channel.IsReceiveEnded()) return nullptr;
                // Block until a byte comes or the time-out has just passed.
                double leftMs = (ReplyTimeout - elapsed) * 1000.0;
                uint32_t wait = leftMs > 0 ? static_cast<uint32_t>(leftMs) + 1 : 1;
                channel.WaitReceived(wait);
            }
            continue;
        }
        if (IsTerminator(b)) {
            if (terminatorCount++ == 0) continue;
            if (replyLength == 0) {
                replyBuffer[0] = 13;
                replyBuffer[1] = 10;
                replyLength = 2;
            }
            replyBuffer[replyLength] = 0;
            terminatorCount = 0;
            replyLength = 0;
            lastTerminator = static_cast<char>(b);
            return replyBuffer;
        }
        replyBuffer[replyLength++] = static_cast<char>(b);
        if (replyLength < kReplyBufferSize) continue;
        replyBuffer[kReplyBufferSize - 1] = 0;
        terminatorCount = 0;
        replyLength = 0;
        lastTerminator = 0;
        return replyBuffer;
    }
}

int ReadBytes(void* buffer, int count, bool echo, uint32_t byteTimeoutMs) {
    CDUXKSerial& channel = GetSensorChannel();
    if (!channel.IsOpen() || count <= 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const bool fast = echo && FastLink();
    const double charMicros = fast ? CharacterMicros(static_cast<uint32_t>(channel.GetBaudRate()),
                                                     channel.GetByteSize(), channel.GetParity(), channel.GetStopBits())
                                   : 0.0;
    for (int i = 0; i < count; ++i) {
        const uint64_t deadline = TickCountMs() + byteTimeoutMs;
        while (channel.ReceivedCount() == 0) {
            uint32_t left = MsUntil(deadline);
            if (left == 0 || channel.IsReceiveEnded()) return 0;
            channel.WaitReceived(left);
        }
        uint64_t arrival = 0;
        uint8_t b = channel.GetByte(&arrival);
        out[i] = b;
        if (fast) {
            // Not before the byte's own character time is over: the line
            // (a half-duplex adapter) must have turned round.
            for (uint64_t wait; (wait = EchoWaitMicros(arrival, TickCountUs(), charMicros)) > 0;)
                std::this_thread::sleep_for(std::chrono::microseconds(wait));
            channel.WriteUnwatched(&b, 1);
        } else if (echo) {
            WaitSeconds(0.01);
            channel.WriteUnwatched(&b, 1);
        }
    }
    return count;
}

void SendLong(uint32_t value) {
    CDUXKSerial& channel = GetSensorChannel();
    if (!channel.IsOpen()) return;
    uint8_t bytes[4] = {
        static_cast<uint8_t>(value),
        static_cast<uint8_t>(value >> 8),
        static_cast<uint8_t>(value >> 16),
        static_cast<uint8_t>(value >> 24),
    };
    channel.Write(bytes, 4, nullptr, nullptr, INFINITE_TIMEOUT);
}

bool CheckIdReply(const char* text) {
    if (!text || text[0] != '@') return false;
    const size_t len = std::strlen(text);
    if (len < 3) return false;
    auto digit = [](char c) {
        int v = std::toupper(static_cast<unsigned char>(c)) - 48;
        if (v > 9) v -= 7;
        return v;
    };
    const int expected = digit(text[1]) * 16 + digit(text[2]);
    unsigned sum = 0;
    size_t payload = 0;
    for (size_t i = 4; i < len; ++i, ++payload) sum += static_cast<unsigned char>(text[i]);
    if (payload > 101) return false;
    return static_cast<int>(sum & 0xFF) == expected;
}

void ResetReplyState() {
    replyLength = 0;
    terminatorCount = 0;
    lastTerminator = 0;
    std::memset(replyBuffer, 0, sizeof replyBuffer);
}

char LastReplyTerminator() { return lastTerminator; }

int ReplyLength() { return replyLength; }

int ReplyTerminatorCount() { return terminatorCount; }
