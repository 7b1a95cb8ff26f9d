#include "cli/Signals.h"

#include <atomic>
#include <csignal>
#include <cstring>

namespace {

std::atomic<bool> g_held{false};
std::atomic<int> g_count{0};
std::atomic<int> g_last{0};
std::atomic<int> g_endBy{0};

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// Only atomics here; everything else happens on the command's thread.
extern "C" void OnInterrupt(int signal) {
    if (!g_held.load()) {
        // Not held: end as the default action would. The signal is blocked
        // while its handler runs, so it is delivered again on return.
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    g_last.store(signal);
    g_count.fetch_add(1);
}

}  // namespace

void InstallSignalHandling() {
    std::signal(SIGPIPE, SIG_IGN);
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int s : kInterrupts) sigaddset(&action.sa_mask, s);
    action.sa_flags = SA_RESTART;
    for (int s : kInterrupts) {
        // An interrupt ignored by whoever started us stays ignored.
        struct sigaction old;
        if (sigaction(s, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(s, &action, nullptr);
    }
}

void HoldInterrupts() {
    g_count.store(0);
    g_last.store(0);
    g_held.store(true);
}

void ReleaseInterrupts() { g_held.store(false); }

int InterruptCount() { return g_count.load(); }

int LastInterrupt() { return g_last.load(); }

const char* InterruptName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

void EndBySignalLater(int signal) { g_endBy.store(signal); }

void EndBySignalIfAsked() {
    const int signal = g_endBy.load();
    if (signal == 0) return;
    g_held.store(false);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
