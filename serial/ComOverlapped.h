// The overlapped request record of the port classes: a manual-reset event
// that an operation signals when it completes, with the operation's code and
// byte count.
#pragma once

#include "serial/WinCom.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

struct ComOverlapped {
    // Signals the event (the operation is complete).
    void Set(uint32_t code, uint32_t count) {
        {
            std::lock_guard<std::mutex> lock(mu);
            result = code;
            transferred = count;
            signalled = true;
        }
        cv.notify_all();
    }
    void Reset() {
        std::lock_guard<std::mutex> lock(mu);
        signalled = false;
    }
    // Waits until signalled or timeoutMs has passed (INFINITE_TIMEOUT waits
    // without limit); true when signalled.
    bool Wait(uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mu);
        if (timeoutMs == INFINITE_TIMEOUT) {
            cv.wait(lock, [this] { return signalled; });
            return true;
        }
        return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled; });
    }
    bool IsSignalled() {
        std::lock_guard<std::mutex> lock(mu);
        return signalled;
    }
    uint32_t Result() {
        std::lock_guard<std::mutex> lock(mu);
        return result;
    }
    uint32_t Transferred() {
        std::lock_guard<std::mutex> lock(mu);
        return transferred;
    }

private:
    std::mutex mu;
    std::condition_variable cv;
    bool signalled = false;
    uint32_t result = 0;
    uint32_t transferred = 0;
};
