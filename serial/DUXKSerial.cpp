#include "serial/DUXKSerial.h"
#include "serial/Debug.h"

#include "serial/Link.h"

#include "platform/Files.h"
#include "platform/Platform.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

const char* LineErrorText(uint32_t errors) {
    switch (errors) {
    case CE_RXOVER: return "Input buffer overflow";
    case CE_OVERRUN: return "Buffer overrun";
    case CE_RXPARITY: return "Input parity error";
    case CE_FRAME: return "Framing error";
    case CE_BREAK: return "Break condition";
    case CE_TXFULL: return "Output buffer full";
    case CE_IOE: return "IO device error";
    case CE_MODE: return "Unsupported mode";
    default: return "Unknown";
    }
}

uint32_t TickCount32() { return static_cast<uint32_t>(TickCountMs()); }

}  // namespace

CDUXKSerial::CDUXKSerial() = default;

CDUXKSerial::~CDUXKSerial() {
    CloseTrace();
    // The event thread calls this object's OnCommEvent: stop it while this
    // part of the object still exists.
    CWinCom2::Close();
}

double CDUXKSerial::TraceStamp() const { return static_cast<uint32_t>(TickCount32() - traceBase.load()) * 0.001; }

std::string CDUXKSerial::StampedLine(const std::string& text) const {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.6f ", TraceStamp());
    return stamp + text + "\n";
}

uint32_t CDUXKSerial::Write(const void* data, uint32_t count, uint32_t* countOut, ComOverlapped* overlapped,
                            uint32_t timeoutMs) {
    transmitDone.store(false);
    uint32_t written = 0;
    uint32_t code = CWinCom::Write(data, count, &written, overlapped, timeoutMs);
    if (countOut) *countOut = written;
    TraceWrite(data, count, written);
    return code;
}

uint32_t CDUXKSerial::WriteUnwatched(const void* data, uint32_t count, uint32_t* countOut) {
    uint32_t written = 0;
    uint32_t code = CWinCom::WriteUnwatched(data, count, &written);
    if (countOut) *countOut = written;
    TraceWrite(data, count, written);
    return code;
}

void CDUXKSerial::TraceWrite(const void* data, uint32_t count, uint32_t written) {
    if (traceLog.IsOpen()) {
        char line[96];
        std::string text;
        const double ts = TraceStamp();
        if (written != count) {
            std::snprintf(line, sizeof line, "%.6f Write() Error: %d to send, %d sent\n", ts, static_cast<int>(count),
                          static_cast<int>(written));
            text += line;
        }
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        for (uint32_t i = 0; bytes && i < count; ++i) {
            if (bytes[i] < 32)
                std::snprintf(line, sizeof line, "%.6f Write() sent 0x%02x\n", ts, bytes[i]);
            else
                std::snprintf(line, sizeof line, "%.6f Write() sent 0x%02x (%c)\n", ts, bytes[i], bytes[i]);
            text += line;
        }
        traceLog.Append(std::move(text));
    }
}

void CDUXKSerial::OnCommEvent(uint32_t events, uint32_t errors) {
    if (events & EV_TXEMPTY) {
        {
            std::lock_guard<std::mutex> lock(txMutex);
            transmitDone.store(true);
        }
        txCv.notify_all();
    }
    if ((events & EV_RLSD) && IsCarrierOn()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (events & EV_ERR) traceLog.Append(std::string("### Error: ") + LineErrorText(errors) + " ###\n");
    if (events & EV_RXCHAR) {
        // As much as a terminal holds in one read. A short read took
        // everything there was; asking again would ask an empty terminal
        // (see WinComPosix.cpp).
        for (;;) {
            uint8_t chunk[4096];
            uint32_t got = 0;
            if (Read(chunk, sizeof chunk, &got, nullptr, INFINITE_TIMEOUT) != ERROR_SUCCESS_CODE || got == 0) break;
            StoreReceived(chunk, got);
            if (got < sizeof chunk) break;
        }
    }
}

void CDUXKSerial::StoreReceived(const uint8_t* data, uint32_t count) {
    {
        std::lock_guard<std::mutex> ringLock(ringMutex);
        const bool tracing = traceLog.IsOpen();
        std::string text;
        char line[64];
        uint32_t w = writePos.load(std::memory_order_relaxed);
        uint32_t room = (kRingSize - 1) - ReceivedCount();
        const uint64_t arrival = TickCountUs();
        for (uint32_t i = 0; i < count && room > 0; ++i, --room) {
            receiveRing[w] = data[i];
            arrivalRing[w] = arrival;
            if (tracing) {
                std::snprintf(line, sizeof line, "%.6f Read %d (%c)\n", TraceStamp(), data[i],
                              data[i] < 32 ? '.' : static_cast<char>(data[i]));
                text += line;
            }
            w = (w + 1) % kRingSize;
            writePos.store(w, std::memory_order_release);
        }
        if (tracing) traceLog.Append(std::move(text));
    }
    rxCv.notify_all();
}

uint32_t CDUXKSerial::Purge() {
    for (;;) {
        uint8_t chunk[100];
        uint32_t got = 0;
        uint32_t code = Read(chunk, sizeof chunk, &got, nullptr, INFINITE_TIMEOUT);
        if (code != ERROR_SUCCESS_CODE || got == 0) break;
    }
    {
        std::lock_guard<std::mutex> lock(ringMutex);
        writePos.store(0, std::memory_order_release);
        readPos.store(0, std::memory_order_release);
    }
    if (traceLog.IsOpen()) traceLog.Append(StampedLine("Purge()"));
    return 0;
}

uint8_t CDUXKSerial::GetByte() { return GetByte(nullptr); }

uint8_t CDUXKSerial::GetByte(uint64_t* arrivalUs) {
    if (arrivalUs) *arrivalUs = 0;
    uint32_t r = readPos.load(std::memory_order_relaxed);
    if (r == writePos.load(std::memory_order_acquire)) return 0;
    uint8_t b = receiveRing[r];
    if (arrivalUs) *arrivalUs = arrivalRing[r];
    readPos.store((r + 1) % kRingSize, std::memory_order_release);
    return b;
}

uint32_t CDUXKSerial::ReceivedCount() const {
    uint32_t w = writePos.load(std::memory_order_acquire);
    uint32_t r = readPos.load(std::memory_order_acquire);
    return w >= r ? w - r : w + kRingSize - r;
}

bool CDUXKSerial::IsTransmitDone() const { return transmitDone.load(); }

void CDUXKSerial::OnCommEnded(uint32_t) {
    // Wake every wait: what it waits for can no longer come. The failure
    // flag is already set; taking each mutex orders the wake after a
    // waiter's look at its condition.
    { std::lock_guard<std::mutex> lock(ringMutex); }
    rxCv.notify_all();
    { std::lock_guard<std::mutex> lock(txMutex); }
    txCv.notify_all();
}

bool CDUXKSerial::IsReceiveEnded() const { return HasEventThreadFailed() || IsDeviceGone(); }

bool CDUXKSerial::WaitReceived(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(ringMutex);
    auto ready = [this] { return ReceivedCount() > 0 || HasEventThreadFailed(); };
    if (timeoutMs == INFINITE_TIMEOUT)
        rxCv.wait(lock, ready);
    else
        rxCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    return ReceivedCount() > 0;
}

bool CDUXKSerial::WaitTransmitDone(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(txMutex);
    auto ready = [this] { return transmitDone.load() || HasEventThreadFailed(); };
    if (timeoutMs == INFINITE_TIMEOUT)
        txCv.wait(lock, ready);
    else
        txCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
    return transmitDone.load();
}

void CDUXKSerial::TraceMessage(const char* text) {
    if (VerboseSteps()) std::fprintf(stderr, "  %s\n", text ? text : "");
    if (traceLog.IsOpen()) traceLog.Append(StampedLine(std::string("---") + (text ? text : "") + "---"));
}

void CDUXKSerial::TraceLine(const char* text) {
    if (traceLog.IsOpen()) traceLog.Append(StampedLine(text ? text : ""));
}

void CDUXKSerial::CloseTrace() { traceLog.Close(); }

bool CDUXKSerial::AttachTrace(const char* path, std::string* why) {
    if (!path || !*path) return false;
    // The trace holds the whole exchange, the calibration unlock included:
    // readable by this user only, and never written through a link.
    FILE* f = platform::OpenPrivateOutput(path, true, why);
    if (!f) return false;
    traceBase = TickCount32();
    traceLog.Start(f);
    return true;
}

bool CDUXKSerial::HasTrace() const { return traceLog.IsOpen(); }

uint32_t CDUXKSerial::BaudFromText(const char* text) {
    static const struct {
        const char* text;
        uint32_t rate;
    } table[] = {
        {"256000", 256000}, {"128000", 128000}, {"57600", 57600}, {"56000", 56000}, {"38400", 38400}, {"19200", 19200},
        {"9600", 9600},     {"4800", 4800},     {"2400", 2400},   {"1200", 1200},   {"600", 600},     {"300", 300},
    };
    if (!text) return 38400;
    for (const auto& row : table)
        if (std::strcmp(text, row.text) == 0) return row.rate;
    return 38400;
}

CDUXKSerial& GetSensorChannel() {
    static CDUXKSerial channel;
    return channel;
}

void AttachTraceFromEnvironment() {
    const char* path = std::getenv("DUXK_TRACE");
    if (path && *path) GetSensorChannel().AttachTrace(path);
}
