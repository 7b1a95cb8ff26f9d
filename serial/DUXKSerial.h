// The one process-wide serial channel to the sensor: receive ring fed by the
// comm-event thread, transmit-done flag, optional trace file.
#pragma once

#include "serial/WinCom.h"

#include "platform/LogWriter.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

class CDUXKSerial : public CWinCom2 {
public:
    static constexpr uint32_t kRingSize = 10240;

    CDUXKSerial();
    ~CDUXKSerial() override;

    uint32_t Write(const void* data, uint32_t count, uint32_t* countOut = nullptr, ComOverlapped* overlapped = nullptr,
                   uint32_t timeoutMs = INFINITE_TIMEOUT) override;
    // A write nobody waits to see sent (an echo): traced as Write, but it
    // leaves the transmit-done flag as it is (see CWinCom::WriteUnwatched).
    uint32_t WriteUnwatched(const void* data, uint32_t count, uint32_t* countOut = nullptr);
    void OnCommEvent(uint32_t events, uint32_t errors) override;
    void OnCommEnded(uint32_t code) override;

    uint32_t Purge();
    uint8_t GetByte();
    // Also hands out when the event thread took the byte from the port
    // (TickCountUs); 0 with the byte 0 when the ring is empty.
    uint8_t GetByte(uint64_t* arrivalUs);
    uint32_t ReceivedCount() const;
    bool IsTransmitDone() const;

    // Blocking helpers for the waits of the link primitives and dialogs, so
    // that no waiting thread spins: return as soon as the condition holds or
    // the time is up; the result tells whether the condition holds. Both
    // also return early once the port has failed (IsReceiveEnded).
    bool WaitReceived(uint32_t timeoutMs);      // at least one unread byte
    bool WaitTransmitDone(uint32_t timeoutMs);  // transmit-done flag set
    // Nothing more can arrive: the device is gone or the port failed.
    bool IsReceiveEnded() const;

    void TraceMessage(const char* text);
    void TraceLine(const char* text);
    void CloseTrace();
    // Attaches a trace file (appending; created readable by this user only,
    // never through a link, only a regular file) and takes the trace base
    // now. `why` (may be null) gets the reason of a failure.
    bool AttachTrace(const char* path, std::string* why = nullptr);
    bool HasTrace() const;

    static uint32_t BaudFromText(const char* text);

private:
    void TraceWrite(const void* data, uint32_t count, uint32_t written);
    // Appends the received bytes to the ring (event thread only).
    void StoreReceived(const uint8_t* data, uint32_t count);
    double TraceStamp() const;  // seconds since traceBase
    std::string StampedLine(const std::string& text) const;

    // The ring: the event thread alone stores bytes and advances writePos,
    // the consumer alone advances readPos; each publishes its position with
    // release and reads the other's with acquire. ringMutex is held only
    // around the producer's stores and Purge's reset, so that the reset can
    // never interleave with a store, and it pairs with rxCv for WaitReceived.
    uint8_t receiveRing[kRingSize] = {};
    uint64_t arrivalRing[kRingSize] = {};  // arrival of each byte, TickCountUs
    std::atomic<uint32_t> writePos{0};
    std::atomic<uint32_t> readPos{0};
    std::mutex ringMutex;
    std::condition_variable rxCv;

    std::atomic<bool> transmitDone{false};
    std::mutex txMutex;
    std::condition_variable txCv;

    // The trace is written by a thread of its own: neither the event thread
    // nor a reply's wait ever waits for the disk.
    std::atomic<uint32_t> traceBase{0};
    platform::LogWriter traceLog;
};

CDUXKSerial& GetSensorChannel();

// Attaches the trace named by DUXK_TRACE, if set (front ends call this once
// at start, before they look at their own --trace option).
void AttachTraceFromEnvironment();
