// Link primitives: timed waits, stop-watches, sending bytes and commands,
// collecting reply lines and counted bytes over the sensor channel.
#pragma once

#include <cstdint>

// Monotonic millisecond clock; never wraps.
uint64_t TickCountMs();
// The same clock in microseconds.
uint64_t TickCountUs();

// How long ReadReply waits for a complete line, in seconds (initially 8).
extern double ReplyTimeout;

void WaitSeconds(double seconds);
double StopWatch(int slot, bool read);
unsigned SendBytes(const void* data, unsigned count);
void SendCommand(const char* text);
// The collected line, or nullptr on time-out or a closed port.
char* ReadReply();
// Reads count bytes, each within byteTimeoutMs of the one before (1 s
// unless given), echoing each when echo is set; the number read, 0 on a
// time-out or a closed port.
int ReadBytes(void* buffer, int count, bool echo, uint32_t byteTimeoutMs = 1000);
void SendLong(uint32_t value);
bool CheckIdReply(const char* text);

// The fast update mode of the link, process-wide and off by default. When on,
// ReadBytes echoes a byte as soon as one character time has passed since its
// arrival (a half-duplex line needs that long to turn round) instead of
// 10 ms after taking it from the ring.
void SetFastLink(bool on);
bool FastLink();

// Microseconds one character occupies on the line: start bit, data bits,
// parity bit, stop bits (parity and stop-bit codes as in a DCB).
double CharacterMicros(uint32_t baud, int byteSize, int parity, int stopBits);
// How long a fast-mode echo still has to wait at nowUs for a byte that
// arrived at arrivalUs; 0 when its character time is already over.
uint64_t EchoWaitMicros(uint64_t arrivalUs, uint64_t nowUs, double charMicros);

// Forgets a partly collected reply line (for tests and for a fresh start).
void ResetReplyState();
// The terminator that completed the line ReadReply returned last (CR, LF,
// 3 or 4), or 0 when that line was cut at its length limit.
char LastReplyTerminator();
// For tests: the carried-over reply state.
int ReplyLength();
int ReplyTerminatorCount();
