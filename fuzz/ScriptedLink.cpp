#include "ScriptedLink.h"

#include "serial/Link.h"

#include <cstring>

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;
size_t g_pos = 0;
double g_now = 0.0;  // simulated seconds
double g_watch[7] = {};
char g_line[512];
int g_lineLength = 0;
char g_terminator = 0;
bool g_fast = false;

}  // namespace

void ScriptReset(const uint8_t* data, size_t size) {
    g_data = data;
    g_size = size;
    g_pos = 0;
    g_now = 0.0;
    std::memset(g_watch, 0, sizeof g_watch);
    g_lineLength = 0;
    g_terminator = 0;
}

size_t ScriptLeft() { return g_size - g_pos; }

double ReplyTimeout = 8.0;

uint64_t TickCountMs() { return static_cast<uint64_t>(g_now * 1000.0); }

uint64_t TickCountUs() { return static_cast<uint64_t>(g_now * 1e6); }

void SetFastLink(bool on) { g_fast = on; }

bool FastLink() { return g_fast; }

void WaitSeconds(double seconds) {
    if (seconds > 0) g_now += seconds;
}

double StopWatch(int slot, bool read) {
    if (slot < 0 || slot >= 7) return 0.0;
    if (!read) {
        g_watch[slot] = g_now;
        return 0.0;
    }
    // Reading takes a little time, so that loops on a watch always end.
    g_now += 0.001;
    return g_now - g_watch[slot];
}

unsigned SendBytes(const void*, unsigned count) { return count; }

void SendCommand(const char*) {}

char* ReadReply() {
    while (g_pos < g_size) {
        const uint8_t b = g_data[g_pos++];
        if (b == '\n' || b == '\r') {
            g_terminator = static_cast<char>(b);
            g_line[g_lineLength] = 0;
            g_lineLength = 0;
            return g_line;
        }
        if (g_lineLength < 511) g_line[g_lineLength++] = static_cast<char>(b);
    }
    g_now += ReplyTimeout;
    return nullptr;
}

int ReadBytes(void* buffer, int count, bool echo, uint32_t byteTimeoutMs) {
    if (count <= 0) return 0;
    uint8_t* out = static_cast<uint8_t*>(buffer);
    for (int i = 0; i < count; ++i) {
        if (g_pos >= g_size) {
            g_now += byteTimeoutMs / 1000.0;  // the per-byte time-out
            return 0;
        }
        out[i] = g_data[g_pos++];
        if (echo) g_now += g_fast ? 0.0003 : 0.01;
    }
    return count;
}

void SendLong(uint32_t) {}

bool CheckIdReply(const char*) { return false; }

void ResetReplyState() { g_lineLength = 0; }

char LastReplyTerminator() { return g_terminator; }

int ReplyLength() { return g_lineLength; }

int ReplyTerminatorCount() { return 0; }
