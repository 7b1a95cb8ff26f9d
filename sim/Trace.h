// Byte and event log of the virtual sensor (--trace FILE).
#pragma once

#include "platform/LogWriter.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace sim {

// Lines carry the time they were logged; the file is written by a thread of
// its own, so that the line loop never waits for the disk.
class Trace {
public:
    // Creates (or empties) the trace file, readable by this user only; a
    // link, FIFO or device at path is refused. `why` gets the reason.
    bool Open(const std::string& path, std::string* why = nullptr);
    bool IsOpen() const { return log_.IsOpen(); }
    // dir: "RX" host to sensor, "TX" sensor to host.
    void Bytes(const char* dir, const uint8_t* data, size_t n);
    void Note(const std::string& text);

private:
    std::string Stamp() const;
    platform::LogWriter log_;
    std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
};

}  // namespace sim
