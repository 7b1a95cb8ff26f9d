// What the portable part of the port classes (the comm-event thread of
// CWinCom2) needs from the platform file that implements CWinCom. Private
// to serial/: nothing outside it includes this.
#pragma once

#include "platform/Deadline.h"
#include "serial/WinCom.h"

#include <atomic>
#include <cstdint>

// The deadline of a port call's time-out (INFINITE_TIMEOUT: none).
inline platform::Deadline PortDeadline(uint32_t timeoutMs) {
    return timeoutMs == INFINITE_TIMEOUT ? platform::Deadline::Never() : platform::Deadline::In(timeoutMs);
}

struct PortAccess {
    using Impl = CWinCom::Impl;

    // One wait of the event thread: blocks until an event of the port's mask
    // fires, the mask changes, Wake is called or `stop` is seen, or the port
    // fails. Returns 0 with the fired events (already taken and masked; 0
    // when woken) and the line errors of that moment, or the code that ends
    // the thread: 995 when the port is being closed, the device's error when
    // it failed or went away.
    static uint32_t WaitForEvents(CWinCom& port, const std::atomic<bool>& stop, uint32_t* events, uint32_t* errors);
    // Ends a pending WaitForEvents (it returns 0 with no events); a wake
    // with no wait pending is kept for the next one.
    static void Wake(CWinCom& port);
};
