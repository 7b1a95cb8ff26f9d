// Carrying calls from worker threads to the window thread. A worker that asks
// for a status text, a menu change or a message box blocks until the window
// thread has carried the request out, as the core expects; once the window
// starts to go away the gate is closed, and every caller still waiting for a
// request that has not started yet is released instead of blocking forever.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>

class QSocketNotifier;

class GuiCallGate {
public:
    // context: an object living on the window thread; calls run there.
    explicit GuiCallGate(QObject* context);
    ~GuiCallGate();
    GuiCallGate(const GuiCallGate&) = delete;
    GuiCallGate& operator=(const GuiCallGate&) = delete;

    // Runs fn on the window thread and returns once it has run (true). On the
    // window thread itself fn runs at once. False when the gate was closed
    // before fn could start; fn then never runs.
    bool Call(std::function<void()> fn);

    // Refuses further calls from other threads and releases the callers whose
    // requests have not started. Call on the window thread.
    void Close();
    bool IsClosed();

private:
    struct Request {
        std::function<void()> fn;
        enum class State { Waiting, Running, Done, Cancelled } state = State::Waiting;
    };
    // Requests travel through a queue under our own lock, and the window
    // thread is woken through a pipe watched by its event loop, so nothing
    // allocated by one thread is freed by the other behind a lock that the
    // thread checkers cannot see.
    void RunQueued();

    QObject* context_;
    std::mutex mutex_;
    std::condition_variable cv_;
    bool closed_ = false;
    std::list<std::shared_ptr<Request>> pending_;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    QSocketNotifier* notifier_ = nullptr;
};
