#include "app/gui/GuiCall.h"

#include <QMetaObject>
#include <QThread>

GuiCallGate::GuiCallGate(QObject* context) : context_(context), shared_(std::make_shared<Shared>()) {}

GuiCallGate::~GuiCallGate() { Close(); }

bool GuiCallGate::Call(std::function<void()> fn) {
    if (QThread::currentThread() == context_->thread()) {
        fn();
        return true;
    }
    auto request = std::make_shared<Request>();
    request->fn = std::move(fn);
    std::shared_ptr<Shared> shared = shared_;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->closed) return false;
        shared->pending.push_back(request);
    }
    // The posted function holds the shared state, so it stays valid even when
    // the gate has gone by the time the window thread gets to it; it then
    // finds the request cancelled and does nothing.
    QMetaObject::invokeMethod(
        context_,
        [shared, request] {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (request->state != Request::State::Waiting) return;
                request->state = Request::State::Running;
            }
            request->fn();
            std::lock_guard<std::mutex> lock(shared->mutex);
            request->state = Request::State::Done;
            shared->cv.notify_all();
        },
        Qt::QueuedConnection);

    std::unique_lock<std::mutex> lock(shared->mutex);
    shared->cv.wait(lock, [&] {
        return request->state == Request::State::Done || request->state == Request::State::Cancelled;
    });
    shared->pending.remove(request);
    return request->state == Request::State::Done;
}

void GuiCallGate::Close() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->closed = true;
    for (auto& request : shared_->pending) {
        if (request->state == Request::State::Waiting) request->state = Request::State::Cancelled;
    }
    shared_->cv.notify_all();
}

bool GuiCallGate::IsClosed() const {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    return shared_->closed;
}
