// Link primitives: timed waits, stop-watches, sending bytes and commands,
// collecting reply lines and counted bytes over the sensor channel.
#pragma once

#include <cstdint>

// Monotonic millisecond clock; never wraps.
uint64_t TickCountMs();

// How long ReadReply waits for a complete line, in seconds (initially 8).
extern double ReplyTimeout;

void WaitSeconds(double seconds);
double StopWatch(int slot, bool read);
unsigned SendBytes(const void* data, unsigned count);
void SendCommand(const char* text);
// The collected line, or nullptr on time-out or a closed port.
char* ReadReply();
int ReadBytes(void* buffer, int count, bool echo);
void SendLong(uint32_t value);
bool CheckIdReply(const char* text);

// Fast link: ReadBytes echoes a byte as soon as the line allows instead of
// after its 10 ms pause. Off by default; process-wide like the other values.
void SetFastLink(bool on);
bool FastLink();

// Forgets a partly collected reply line (for tests and for a fresh start).
void ResetReplyState();
// For tests: the carried-over reply state.
int ReplyLength();
int ReplyTerminatorCount();
