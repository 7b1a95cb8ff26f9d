#include "cli/Signals.h"

#include "serial/WinCom.h"

#include <atomic>
#include <csignal>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

std::atomic<bool> g_held{false};
std::atomic<int> g_count{0};
std::atomic<int> g_last{0};
std::atomic<int> g_endBy{0};

void Count(int signal) {
    g_last.store(signal);
    g_count.fetch_add(1);
}

#ifdef _WIN32

// Ctrl-C and Ctrl-Break of the console; the others (the console closed, the
// user logging off) end the process whatever a handler says.
BOOL WINAPI OnConsoleEvent(DWORD type) {
    if ((type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) || !g_held.load()) return FALSE;
    Count(type == CTRL_C_EVENT ? SIGINT : SIGBREAK);
    return TRUE;
}

#else

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

// Only atomics here; everything else happens on the command's thread.
extern "C" void OnInterrupt(int signal) {
    if (!g_held.load()) {
        // Not held: end as the default action would, with the ports given
        // back as they were found. The signal is blocked while its handler
        // runs, so it is delivered again on return.
        GiveBackOpenPorts();
        std::signal(signal, SIG_DFL);
        std::raise(signal);
        return;
    }
    Count(signal);
}

#endif

}  // namespace

void InstallSignalHandling() {
#ifdef _WIN32
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
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
#endif
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
#ifdef _WIN32
    case SIGBREAK: return "Ctrl-Break";
#else
    case SIGHUP: return "SIGHUP";
#endif
    default: return "signal";
    }
}

void EndBySignalLater(int signal) { g_endBy.store(signal); }

void EndBySignalIfAsked() {
    const int signal = g_endBy.load();
    if (signal == 0) return;
    g_held.store(false);
#ifdef _WIN32
    // What a console process ended by Ctrl-C reports.
    ExitProcess(STATUS_CONTROL_C_EXIT);
#else
    std::signal(signal, SIG_DFL);
    std::raise(signal);
#endif
}
