// A log file written from a thread of its own: whoever appends (a line loop,
// a port's event thread) never waits for the disk. A write to a file whose
// last page is being written back can block for seconds on a busy machine;
// on a time-critical path that would cost the line its reply deadlines.
#pragma once

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class LogWriter {
public:
    LogWriter() = default;
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // Takes over an open file (nullptr: nothing is logged).
    void Start(std::FILE* file);
    bool IsOpen() const;
    // Queues text; it reaches the file shortly, in the order appended.
    void Append(std::string text);
    // Writes what is queued and closes the file.
    void Close();

private:
    void Run();

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::string pending_;
    bool stop_ = false;
    std::FILE* file_ = nullptr;
    std::thread thread_;
};

}  // namespace platform
