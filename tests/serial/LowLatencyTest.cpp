// The low-latency flag of a USB serial adapter, which the port sets on open
// and must take back on close. A pseudo-terminal has no serial_struct, so
// this program stands in for the driver: its own ioctl() answers
// TIOCGSERIAL and TIOCSSERIAL for the one terminal under test from a flag
// word kept here and hands every other request to the kernel. (It is a
// program of its own so that no other test runs with the stand-in.)

#include "serial/WinCom.h"

#include "PtyTestSupport.h"

#include <atomic>
#include <cstdarg>
#include <memory>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

namespace {

std::atomic<dev_t> g_device{0};  // the terminal the stand-in answers for (0: none)
std::atomic<int> g_flags{0};     // its serial_struct flags

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    struct stat st {};
    if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && g_device.load() != 0 && fstat(fd, &st) == 0 &&
        st.st_rdev == g_device.load()) {
        auto* ss = static_cast<serial_struct*>(arg);
        if (request == TIOCGSERIAL) {
            *ss = serial_struct{};
            ss->flags = g_flags.load();
        } else {
            g_flags.store(ss->flags);
        }
        return 0;
    }
    return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

TEST(LowLatency, SetWhileOpenAndTakenBackOnEveryClose) {
    // The flag is the port's while it is open; each way of closing leaves it
    // as open found it: cleared when open set it, still set when someone
    // else had set it before.
    const struct {
        const char* how;
        bool setBefore;
        std::function<void(Pty&, CWinCom&)> close;
    } cases[] = {
        {"Close", false, [](Pty&, CWinCom& port) { EXPECT_EQ(port.Close(), 0u); }},
        {"Close, set before the open", true, [](Pty&, CWinCom& port) { EXPECT_EQ(port.Close(), 0u); }},
        {"destructor", false, [](Pty&, CWinCom&) {}},
        {"Close after a failed call", false,
         [](Pty&, CWinCom& port) {
             EXPECT_EQ(port.SetParams(10, 8, NOPARITY, ONESTOPBIT),
                       static_cast<uint32_t>(ERROR_INVALID_PARAMETER_CODE));
             EXPECT_EQ(port.Close(), 0u);
         }},
        {"Close after the far end went away", false,
         [](Pty& pty, CWinCom& port) {
             pty.CloseMaster();
             EXPECT_TRUE(port.IsDeviceGone());
             EXPECT_EQ(port.Close(), 0u);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        Pty pty;
        ASSERT_TRUE(pty.ok());
        struct stat st {};
        ASSERT_EQ(stat(pty.slave().c_str(), &st), 0);
        g_device.store(st.st_rdev);
        const int other = ASYNC_SPD_HI;  // a flag the port leaves alone
        g_flags.store(other | (c.setBefore ? ASYNC_LOW_LATENCY : 0));
        {
            auto port = std::make_unique<CWinCom>();
            ASSERT_EQ(port->Open(pty.slave().c_str(), 0, 0, true), 0u);
            EXPECT_EQ(g_flags.load(), other | ASYNC_LOW_LATENCY);
            ASSERT_EQ(port->SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
            c.close(pty, *port);
        }
        EXPECT_EQ(g_flags.load(), other | (c.setBefore ? ASYNC_LOW_LATENCY : 0));
        g_device.store(0);
    }
}
