// Work on a thread of its own, watched from the thread that started it: by a
// window's timer in the desktop applications, by RunWithTicks in a console.
// Nobody polls: the end is announced (a condition variable, and a callback
// that a window turns into a posted message).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Worker {
public:
    Worker() = default;
    // Waits for the work to end.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    // Runs work on a new thread; onEnd, when given, runs on that thread
    // right after work has returned (a window posts itself a message there).
    // One start per object: false, nothing started, when it was started
    // before.
    bool Start(std::function<void()> work, std::function<void()> onEnd = {});
    bool Started() const;
    // The work has returned (onEnd may still be running).
    bool Ended() const;
    // Blocks until the work has returned or the time has come; true when it
    // has returned (also when it was never started).
    bool WaitEndUntil(std::chrono::steady_clock::time_point until);
    bool WaitEnd(uint32_t timeoutMs);
    // Waits for the thread to finish, onEnd included.
    void Join();

private:
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable ended_;
    bool started_ = false;
    bool done_ = false;
};

// The console's way of watching work: runs work on a worker and tick on the
// calling thread at once and then every periodMs until the work has
// returned; the thread sleeps in between and wakes early at the end. The
// tick is where a console shows progress and looks at interrupts (asking the
// work to stop through the work's own stop request).
void RunWithTicks(std::function<void()> work, const std::function<void()>& tick, uint32_t periodMs = 100);

// What a tick of RunTicks asks for next: the next tick one period after this
// one's due time, the rhythm restarted from now (after a tick that began
// something anew, so that no ticks are made up in a hurry), or the end.
enum class TickStep { Next, Restart, Stop };
// The console's way of driving work that is done in the ticks themselves (a
// calibration transfer, a listing), as a window's timer drives it: sleeps a
// period, calls tick, and so on until tick says Stop.
void RunTicks(const std::function<TickStep()>& tick, uint32_t periodMs = 100);
