#include "dialogs/Worker.h"

Worker::~Worker() { Join(); }

bool Worker::Start(std::function<void()> work, std::function<void()> onEnd) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (started_) return false;
        started_ = true;
    }
    thread_ = std::thread([this, work = std::move(work), onEnd = std::move(onEnd)] {
        work();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        ended_.notify_all();
        if (onEnd) onEnd();
    });
    return true;
}

bool Worker::Started() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return started_;
}

bool Worker::Ended() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return done_;
}

bool Worker::WaitEndUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!started_) return true;
    return ended_.wait_until(lock, until, [this] { return done_; });
}

bool Worker::WaitEnd(uint32_t timeoutMs) {
    return WaitEndUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs));
}

void Worker::Join() {
    if (thread_.joinable()) thread_.join();
}

void RunWithTicks(std::function<void()> work, const std::function<void()>& tick, uint32_t periodMs) {
    Worker worker;
    worker.Start(std::move(work));
    const auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        tick();
        if (worker.WaitEndUntil(next)) break;
        next += period;
    }
    worker.Join();
}

void RunTicks(const std::function<TickStep()>& tick, uint32_t periodMs) {
    const auto period = std::chrono::milliseconds(periodMs);
    auto next = std::chrono::steady_clock::now();
    for (;;) {
        next += period;
        std::this_thread::sleep_until(next);
        const TickStep step = tick();
        if (step == TickStep::Stop) return;
        if (step == TickStep::Restart) next = std::chrono::steady_clock::now();
    }
}
