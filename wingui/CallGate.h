// Carrying calls from worker threads to the window's thread. A worker that
// asks for a status text, a menu change or a message box posts the request
// to the window and blocks until it has been carried out, as the core
// expects. Once the window starts to go away the gate is closed, and every
// caller still waiting for a request that has not started is released
// instead of blocking for ever.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

// The message that wakes the window for queued requests.
constexpr UINT WM_APP_GATE = WM_APP + 1;

class CallGate {
public:
    // Calls run on the thread that owns hwnd; it handles WM_APP_GATE by
    // calling RunQueued.
    void Attach(HWND hwnd);
    // Runs fn on the window's thread and returns once it has run (true); on
    // that thread fn runs at once. False when the gate was closed before fn
    // could start; fn then never runs.
    bool Call(const std::function<void()>& fn);
    void RunQueued();
    // A request is being carried out (a box may be open in it).
    bool Busy();
    // Refuses further calls from other threads and releases the callers
    // whose requests have not started. Call on the window's thread.
    void Close();

private:
    struct Request {
        std::function<void()> fn;
        enum class State { Waiting, Running, Done, Cancelled } state = State::Waiting;
    };
    HWND hwnd_ = nullptr;
    DWORD thread_ = 0;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool closed_ = false;
    int running_ = 0;
    std::list<std::shared_ptr<Request>> pending_;
};
