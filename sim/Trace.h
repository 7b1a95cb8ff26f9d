// Byte and event log of the virtual sensor (--trace FILE).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace sim {

class Trace {
public:
    Trace() = default;
    ~Trace();
    // Creates (or empties) the trace file, readable by this user only; a
    // link, FIFO or device at path is refused. `why` gets the reason.
    bool Open(const std::string& path, std::string* why = nullptr);
    bool IsOpen() const { return file_ != nullptr; }
    // dir: "RX" host to sensor, "TX" sensor to host.
    void Bytes(const char* dir, const uint8_t* data, size_t n);
    void Note(const std::string& text);

private:
    void Stamp();
    std::mutex mu_;
    std::FILE* file_ = nullptr;
    std::chrono::steady_clock::time_point base_ = std::chrono::steady_clock::now();
};

}  // namespace sim
