// A lock a process holds on a small file of its own for as long as it works
// on something that other processes must leave alone (an update's record of
// its sensor). The system drops it when the process ends, however it ends,
// so a lock nobody holds means that nobody is at work any more.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

class FileLock {
public:
    enum class Result { Taken, Held, Failed };

    FileLock() = default;
    ~FileLock() { Release(false); }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Takes the lock of path without waiting, creating the file (0600, this
    // user's, never through a link) when it is missing. Held: another
    // process (or another FileLock of this one) has it. Failed: `why` (may
    // be null) says why, naming the file.
    Result Take(const std::string& path, std::string* why = nullptr);
    // Gives the lock up; with removeFile the file is removed first, while it
    // is still held, so that whoever opened it meanwhile sees that it is gone.
    void Release(bool removeFile);
    bool Taken() const { return handle_ != kNone; }

    // Whether someone holds the lock of path now (false when there is no file).
    static bool IsHeld(const std::string& path);

private:
    static constexpr intptr_t kNone = -1;
    std::string path_;
    intptr_t handle_ = kNone;
};

}  // namespace platform
