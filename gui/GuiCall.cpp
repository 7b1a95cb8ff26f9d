#include "gui/GuiCall.h"

#include <QSocketNotifier>
#include <QThread>

#include <fcntl.h>
#include <unistd.h>

GuiCallGate::GuiCallGate(QObject* context) : context_(context) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
        wakeRead_ = fds[0];
        wakeWrite_ = fds[1];
        notifier_ = new QSocketNotifier(wakeRead_, QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, [this] { RunQueued(); });
    }
}

GuiCallGate::~GuiCallGate() {
    Close();
    delete notifier_;
    if (wakeRead_ >= 0) ::close(wakeRead_);
    if (wakeWrite_ >= 0) ::close(wakeWrite_);
}

bool GuiCallGate::Call(std::function<void()> fn) {
    if (QThread::currentThread() == context_->thread()) {
        fn();
        return true;
    }
    auto request = std::make_shared<Request>();
    request->fn = std::move(fn);
    std::unique_lock<std::mutex> lock(mutex_);
    if (closed_ || wakeWrite_ < 0) return false;
    pending_.push_back(request);
    const char wake = 1;
    // A full pipe already holds a wake-up; the window thread drains the
    // whole queue on each one.
    if (::write(wakeWrite_, &wake, 1) < 0) {}
    cv_.wait(lock,
             [&] { return request->state == Request::State::Done || request->state == Request::State::Cancelled; });
    return request->state == Request::State::Done;
}

void GuiCallGate::RunQueued() {
    char buf[64];
    while (::read(wakeRead_, buf, sizeof buf) > 0) {}
    for (;;) {
        std::shared_ptr<Request> request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (pending_.empty()) return;
            request = pending_.front();
            pending_.pop_front();
            if (request->state != Request::State::Waiting) continue;
            request->state = Request::State::Running;
        }
        // Runs unlocked: a box may open its own loop, in which further
        // requests are served by a nested call of this function.
        request->fn();
        std::lock_guard<std::mutex> lock(mutex_);
        request->state = Request::State::Done;
        cv_.notify_all();
    }
}

void GuiCallGate::Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    for (auto& request : pending_) {
        if (request->state == Request::State::Waiting) request->state = Request::State::Cancelled;
    }
    pending_.clear();
    cv_.notify_all();
}

bool GuiCallGate::IsClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}
