#include "wingui/CallGate.h"

void CallGate::Attach(HWND hwnd) {
    std::lock_guard<std::mutex> lock(mutex_);
    hwnd_ = hwnd;
    thread_ = GetWindowThreadProcessId(hwnd, nullptr);
}

bool CallGate::Call(const std::function<void()>& fn) {
    if (GetCurrentThreadId() == thread_) {
        fn();
        return true;
    }
    auto request = std::make_shared<Request>();
    request->fn = fn;
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_ || !hwnd_) return false;
    pending_.push_back(request);
    // One posted message per request; the window drains the whole queue on
    // each, so a lost one (a full queue) is made up for by the next.
    PostMessageW(hwnd_, WM_APP_GATE, 0, 0);
    cv_.wait(lock,
             [&] { return request->state == Request::State::Done || request->state == Request::State::Cancelled; });
    return request->state == Request::State::Done;
}

void CallGate::RunQueued() {
    for (;;) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.empty()) return;
            request = pending_.front();
            pending_.pop_front();
            if (request->state != Request::State::Waiting) continue;
            request->state = Request::State::Running;
            ++running_;
        }
        // Runs unlocked: a box runs its own message loop, in which further
        // requests are served by a nested call of this function.
        request->fn();
        std::lock_guard<std::mutex> lock(mutex_);
        --running_;
        request->state = Request::State::Done;
        cv_.notify_all();
    }
}

bool CallGate::Busy() {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_ > 0;
}

void CallGate::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto& request : pending_) {
        if (request->state == Request::State::Waiting) request->state = Request::State::Cancelled;
    }
    pending_.clear();
    cv_.notify_all();
}
