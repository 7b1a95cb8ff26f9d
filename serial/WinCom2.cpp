// The portable part of the port classes: the comm-event thread of CWinCom2
// and the operations that need nothing of the platform. The platform file
// (WinComPosix.cpp or WinComWin32.cpp) implements CWinCom and the waits.

#include "serial/WinCom.h"

#include "serial/PortAccess.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

uint32_t CWinCom::WriteString(const char* text, uint32_t* countOut, ComOverlapped* overlapped, uint32_t timeoutMs) {
    uint32_t len = text ? static_cast<uint32_t>(std::strlen(text)) : 0;
    return Write(text, len, countOut, overlapped, timeoutMs);
}

uint32_t CWinCom::LastError() const { return lastError.load(); }

// ---------------------------------------------------------------- CWinCom2

// One run of the event thread: its own stop flag and end notice, so that a
// thread left running after a timed-out stop can never be revived by a
// later start.
struct EventThreadControl {
    std::atomic<bool> stopRequested{false};
    std::mutex mu;
    std::condition_variable cv;
    bool running = true;
};

struct CWinCom2::Impl2 {
    std::thread thread;
    std::shared_ptr<EventThreadControl> control;
    std::vector<std::thread> leftThreads;  // stopped with a time-out; joined at Close
    std::mutex mu;
    std::atomic<bool> failed{false};  // the event thread ended on a port error
};

CWinCom2::CWinCom2() : impl2_(new Impl2) {}

CWinCom2::~CWinCom2() {
    CWinCom2::Close();
    delete impl2_;
}

uint32_t CWinCom2::Open(const char* portName, uint32_t inQueue, uint32_t outQueue, bool flag) {
    uint32_t code = CWinCom::Open(portName, inQueue, outQueue, true);
    if (code != ERROR_SUCCESS_CODE) return code;
    if (flag) {
        code = StartEventThread();
        if (code != ERROR_SUCCESS_CODE) return code;
    }
    return lastError;
}

uint32_t CWinCom2::Close() {
    StopEventThread(INFINITE_TIMEOUT);
    std::vector<std::thread> left;
    {
        std::lock_guard<std::mutex> lock(impl2_->mu);
        left.swap(impl2_->leftThreads);
    }
    // Close wakes every blocked operation, so a thread that outlived its
    // stop ends now; join it once the port is closed.
    uint32_t code = CWinCom::Close();
    for (std::thread& t : left) {
        if (t.get_id() == std::this_thread::get_id())
            t.detach();
        else if (t.joinable())
            t.join();
    }
    return code;
}

uint32_t CWinCom2::StartEventThread() {
    if (impl2_->thread.joinable()) {
        lastError = ERROR_SUCCESS_CODE;
        return 0;
    }
    if (!IsOpen()) return lastError = ERROR_INVALID_HANDLE_CODE;
    auto control = std::make_shared<EventThreadControl>();
    impl2_->failed.store(false);
    try {
        impl2_->thread = std::thread([this, control] {
            for (;;) {
                uint32_t events = 0, errors = 0;
                uint32_t code = PortAccess::WaitForEvents(*this, control->stopRequested, &events, &errors);
                if (code != ERROR_SUCCESS_CODE) {
                    if (!control->stopRequested.load()) {
                        lastError = code;
                        impl2_->failed.store(true);
                        OnCommEnded(code);
                    }
                    break;
                }
                if (control->stopRequested.load()) break;
                if (events) OnCommEvent(events, errors);
                if (control->stopRequested.load()) break;
            }
            std::lock_guard<std::mutex> lock(control->mu);
            control->running = false;
            control->cv.notify_all();
        });
    } catch (const std::system_error&) {
        return lastError = ERROR_GEN_FAILURE_CODE;
    }
    impl2_->control = control;
    return lastError = ERROR_SUCCESS_CODE;
}

bool CWinCom2::HasEventThreadFailed() const { return impl2_->failed.load(); }

uint32_t CWinCom2::StopEventThread(uint32_t timeoutMs) {
    if (impl2_->thread.joinable()) {
        std::shared_ptr<EventThreadControl> control = impl2_->control;
        control->stopRequested = true;
        // Changing the mask completes the pending comm-event wait; the wake
        // descriptor keeps the request until the thread looks, so a request
        // made just before the thread starts its next wait is not lost.
        SetEventMask(GetEventMask());
        PortAccess::Wake(*this);
        bool ended = false;
        if (impl2_->thread.get_id() != std::this_thread::get_id()) {
            std::unique_lock<std::mutex> lock(control->mu);
            auto done = [&control] { return !control->running; };
            if (timeoutMs == INFINITE_TIMEOUT) {
                control->cv.wait(lock, done);
                ended = true;
            } else {
                ended = control->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
            }
        }
        if (ended) {
            impl2_->thread.join();
        } else {
            // Still busy in its handler (or asked from the event thread
            // itself): it has been told to stop and is joined at Close.
            std::lock_guard<std::mutex> lock(impl2_->mu);
            impl2_->leftThreads.push_back(std::move(impl2_->thread));
        }
        impl2_->control.reset();
    }
    lastError = ERROR_SUCCESS_CODE;
    return 0;
}
