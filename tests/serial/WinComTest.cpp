#include "serial/ComOverlapped.h"
#include "serial/WinCom.h"

#include "PtyTestSupport.h"

#include <dirent.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>

#include <atomic>
#include <mutex>

namespace {

// A port whose handler records what the event thread hands it.
class RecordingPort : public CWinCom2 {
public:
    ~RecordingPort() override { CWinCom2::Close(); }
    void OnCommEvent(uint32_t events, uint32_t errors) override {
        std::lock_guard<std::mutex> lock(mu);
        calls.emplace_back(events, errors);
        if (events & EV_RXCHAR) {
            uint8_t buf[100];
            uint32_t n = 0;
            while (Read(buf, sizeof buf, &n) == 0 && n > 0) received.insert(received.end(), buf, buf + n);
        }
    }
    std::mutex mu;
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    std::vector<uint8_t> received;
};

int ThreadCount() {
    int n = 0;
    if (DIR* d = opendir("/proc/self/task")) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++n;
        closedir(d);
    }
    return n;
}

}  // namespace

TEST(WinCom, ClosedPortGivesInvalidHandle) {
    CWinCom port;
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.SetParams(9600, 8, 0, 0), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.SetEventChar('x', true), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.SetEventMask(1), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.WaitEvent(nullptr, INFINITE_TIMEOUT), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.SetFlowControl(0), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.SetTimeoutMode(0), ERROR_INVALID_HANDLE_CODE);
    uint32_t n = 77;
    EXPECT_EQ(port.Write("ab", 2, &n), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(n, 0u);
    char buf[4];
    EXPECT_EQ(port.Read(buf, 4, &n), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.WriteString("ab"), ERROR_INVALID_HANDLE_CODE);
    for (int32_t v :
         {port.GetBaudRate(), port.GetByteSize(), port.GetParity(), port.GetStopBits(), port.GetFlowControl()}) {
        EXPECT_EQ(v, -1);
    }
    EXPECT_EQ(port.LastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.GetEventMask(), 0u);
    EXPECT_EQ(port.LastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.GetEventChar(), 0);
    EXPECT_EQ(port.LastError(), ERROR_INVALID_HANDLE_CODE);
    EXPECT_FALSE(port.IsCarrierOn());
    EXPECT_EQ(port.Close(), 0u);
    EXPECT_EQ(port.LastError(), 0u);
}

TEST(WinCom, OpenFailuresAndReopen) {
    setenv("DUXK_PORTS_DIR", "/nonexistent-duxk-ports", 1);
    CWinCom port;
    EXPECT_EQ(port.Open("/dev/duxk-no-such-device", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_EQ(port.Open("COM3", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Close(), 0u);

    Pty pty;
    ASSERT_TRUE(pty.ok());
    ASSERT_EQ(port.Open(pty.slave().c_str(), 4000, 4000, false), 0u);
    EXPECT_EQ(port.PortName(), pty.slave());
    EXPECT_EQ(port.Open(pty.slave().c_str(), 0, 0, false), ERROR_ALREADY_INITIALIZED_CODE);
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(port.GetEventMask(), EV_RXCHAR | EV_BREAK | EV_ERR);
    EXPECT_EQ(port.SetParams(19200, 8, NOPARITY, TWOSTOPBITS), 0u);
    EXPECT_EQ(port.GetBaudRate(), 19200);

    // Another descriptor of this process cannot have it.
    CWinCom second;
    EXPECT_EQ(second.Open(pty.slave().c_str(), 0, 0, false), ERROR_ACCESS_DENIED_CODE);
    EXPECT_FALSE(second.IsOpen());
    port.Close();
    EXPECT_EQ(second.Open(pty.slave().c_str(), 0, 0, false), 0u);
    EXPECT_TRUE(second.IsOpen());
    unsetenv("DUXK_PORTS_DIR");
}

TEST(WinCom, CloseGivesTheLineBackAsOpenFoundIt) {
    // However the port is closed, the terminal's settings are those it had
    // before the open; with the far end gone there is nothing to give back,
    // and no error either.
    const struct {
        const char* how;
        std::function<void(Pty&)> useAndClose;
        bool farEndGone;
    } cases[] = {
        {"Close",
         [](Pty& pty) {
             CWinCom port;
             ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
             ASSERT_EQ(port.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
             EXPECT_EQ(port.Close(), 0u);
         },
         false},
        {"destructor, event thread running",
         [](Pty& pty) {
             RecordingPort port;
             ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
             ASSERT_EQ(port.SetFlowControl(2), 0u);
             ASSERT_EQ(port.SetParams(57600, 7, ODDPARITY, ONESTOPBIT), 0u);
         },
         false},
        {"destructor of a port never closed",
         [](Pty& pty) {
             CWinCom port;
             ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
             ASSERT_EQ(port.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
         },
         false},
        {"Close after failed calls",
         [](Pty& pty) {
             CWinCom port;
             ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
             ASSERT_EQ(port.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
             EXPECT_EQ(port.SetParams(10, 8, NOPARITY, ONESTOPBIT),
                       static_cast<uint32_t>(ERROR_INVALID_PARAMETER_CODE));
             ASSERT_EQ(port.SetTimeoutMode(1), 0u);
             uint8_t b[4];
             uint32_t n = 0;
             EXPECT_EQ(port.Read(b, sizeof b, &n, nullptr, 20), static_cast<uint32_t>(ERROR_TIMEOUT_CODE));
             EXPECT_EQ(port.Close(), 0u);
         },
         false},
        {"Close after the far end went away",
         [](Pty& pty) {
             RecordingPort port;
             ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
             ASSERT_EQ(port.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
             pty.CloseMaster();
             EXPECT_EQ(port.Close(), 0u);
             EXPECT_EQ(port.LastError(), 0u);
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        Pty pty;
        ASSERT_TRUE(pty.ok());
        // A line as a shell leaves it: canonical, echoing, at 4800 baud.
        const int probe = open(pty.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(probe, 0);
        termios before{};
        ASSERT_EQ(tcgetattr(probe, &before), 0);
        before.c_lflag |= ICANON | ECHO | ISIG;
        before.c_iflag |= ICRNL | IXON;
        before.c_cc[VMIN] = 3;
        cfsetspeed(&before, B4800);
        ASSERT_EQ(tcsetattr(probe, TCSANOW, &before), 0);
        ASSERT_EQ(tcgetattr(probe, &before), 0);

        c.useAndClose(pty);
        if (!c.farEndGone) {
            termios after{};
            ASSERT_EQ(tcgetattr(probe, &after), 0);
            EXPECT_EQ(after.c_iflag, before.c_iflag);
            EXPECT_EQ(after.c_oflag, before.c_oflag);
            EXPECT_EQ(after.c_cflag, before.c_cflag);
            EXPECT_EQ(after.c_lflag, before.c_lflag);
            EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
            EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B4800));
        }
        close(probe);
    }
}

TEST(WinCom, PortHeldByAnotherProcessIsAccessDenied) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(pty.slave().c_str(), O_RDWR | O_NOCTTY);
        char c = (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0) ? 'y' : 'n';
        ssize_t w = write(ready[1], &c, 1);
        (void)w;
        pause();
        _exit(0);
    }
    char c = 0;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    EXPECT_EQ(c, 'y');
    CWinCom port;
    EXPECT_EQ(port.Open(pty.slave().c_str(), 0, 0, false), ERROR_ACCESS_DENIED_CODE);
    EXPECT_FALSE(port.IsOpen());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    EXPECT_EQ(port.Open(pty.slave().c_str(), 0, 0, false), 0u);
}

TEST(WinCom, ModesAndSettingsRecord) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);

    // Even parity and two stop bits are kept although the pseudo-terminal
    // cannot carry parity.
    ASSERT_EQ(port.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
    EXPECT_EQ(port.GetParity(), EVENPARITY);
    EXPECT_EQ(port.GetStopBits(), TWOSTOPBITS);
    EXPECT_EQ(port.GetByteSize(), 8);
    ASSERT_EQ(port.SetParams(9600, 7, ODDPARITY, ONESTOPBIT), 0u);
    EXPECT_EQ(port.GetByteSize(), 7);
    EXPECT_EQ(port.GetParity(), ODDPARITY);
    EXPECT_EQ(port.SetParams(9600, 9, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER_CODE);
    EXPECT_EQ(port.GetByteSize(), 7);

    ASSERT_EQ(port.SetFlowControl(2), 0u);
    EXPECT_EQ(port.GetFlowControl(), 2);
    EXPECT_EQ(port.SetFlowControl(3), E_INVALIDARG_CODE);
    EXPECT_EQ(port.LastError(), E_INVALIDARG_CODE);
    EXPECT_EQ(port.GetFlowControl(), 2);
    ASSERT_EQ(port.SetFlowControl(1), 0u);
    EXPECT_EQ(port.GetFlowControl(), 1);
    ASSERT_EQ(port.SetFlowControl(0), 0u);
    EXPECT_EQ(port.GetFlowControl(), 0);
    EXPECT_EQ(port.SetTimeoutMode(2), E_INVALIDARG_CODE);

    ASSERT_EQ(port.SetEventChar('#', true), 0u);
    EXPECT_EQ(port.GetEventChar(), '#');
    EXPECT_EQ(port.GetEventMask(), EV_RXCHAR | EV_BREAK | EV_ERR | EV_RXFLAG);
}

TEST(WinCom, NonOverlappedPortRefusesTimeOutsAndRecords) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, false), 0u);
    char buf[8];
    uint32_t n = 5;
    EXPECT_EQ(port.Read(buf, sizeof buf, &n, nullptr, 100), ERROR_INVALID_FUNCTION_CODE);
    EXPECT_EQ(n, 0u);
    ComOverlapped ov;
    EXPECT_EQ(port.Write("x", 1, &n, &ov), ERROR_INVALID_FUNCTION_CODE);
    EXPECT_EQ(port.WaitEvent(nullptr, 10), ERROR_INVALID_FUNCTION_CODE);
    EXPECT_TRUE(pty.Receive(1, 50).empty());

    // Synchronous use: write reaches the far end, read returns at once with
    // what is there.
    ASSERT_EQ(port.WriteString("hello", &n), 0u);
    EXPECT_EQ(n, 5u);
    auto got = pty.Receive(5, 1000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "hello");
    EXPECT_EQ(port.Read(buf, sizeof buf, &n), 0u);
    EXPECT_EQ(n, 0u);
    pty.Send("ok");
    ASSERT_TRUE(WaitFor([&] { return port.Read(buf, sizeof buf, &n) == 0 && n > 0; }, 1000));
    EXPECT_EQ(std::string(buf, n), "ok");
}

TEST(WinCom, OverlappedWriteTimesOutWithNothingOutstanding) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    std::vector<uint8_t> big(200000, 'z');
    uint32_t n = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Write(big.data(), static_cast<uint32_t>(big.size()), &n, nullptr, 150), ERROR_TIMEOUT_CODE);
    EXPECT_GE(SecondsSince(t0), 0.14);
    EXPECT_EQ(port.LastError(), ERROR_TIMEOUT_CODE);
    EXPECT_LT(n, big.size());
    // What arrives is exactly what was reported written, and nothing comes
    // after the time-out.
    auto got = pty.Receive(big.size(), 300);
    EXPECT_EQ(got.size(), n);
    EXPECT_TRUE(pty.Receive(1, 100).empty());
    // The port stays usable.
    EXPECT_EQ(port.Write("ab", 2, &n, nullptr, 1000), 0u);
    EXPECT_EQ(pty.Receive(2, 1000).size(), 2u);
}

TEST(WinCom, ReadWaitsForAllBytesInModeOne) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    ASSERT_EQ(port.SetTimeoutMode(1), 0u);
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty.Send("abc");
    });
    char buf[3];
    uint32_t n = 0;
    EXPECT_EQ(port.Read(buf, 3, &n, nullptr, 2000), 0u);
    sender.join();
    EXPECT_EQ(std::string(buf, n), "abc");
    EXPECT_EQ(port.Read(buf, 3, &n, nullptr, 50), ERROR_TIMEOUT_CODE);
}

TEST(WinCom, EventThreadDeliversBytesAndStopsCleanly) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const int before = ThreadCount();
    {
        RecordingPort port;
        ASSERT_EQ(port.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
        EXPECT_EQ(ThreadCount(), before + 1);
        EXPECT_EQ(port.StartEventThread(), 0u);
        EXPECT_EQ(ThreadCount(), before + 1);

        pty.Send("data");
        ASSERT_TRUE(WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(port.mu);
                return port.received.size() == 4;
            },
            1000));
        {
            std::lock_guard<std::mutex> lock(port.mu);
            ASSERT_FALSE(port.calls.empty());
            EXPECT_EQ(port.calls[0].first, EV_RXCHAR);
        }

        // Transmit-empty is reported once output has drained.
        ASSERT_EQ(port.SetEventMask(0x01FD), 0u);
        ASSERT_EQ(port.Write("xyz", 3), 0u);
        ASSERT_TRUE(WaitFor(
            [&] {
                std::lock_guard<std::mutex> lock(port.mu);
                for (auto& c : port.calls)
                    if (c.first & EV_TXEMPTY) return true;
                return false;
            },
            1000));

        // Many quick stop/start cycles: a stop is never lost.
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(port.StopEventThread(INFINITE_TIMEOUT), 0u);
            EXPECT_EQ(port.StartEventThread(), 0u);
        }
        EXPECT_EQ(port.StopEventThread(1000), 0u);
        EXPECT_EQ(port.StopEventThread(1000), 0u);
        EXPECT_EQ(ThreadCount(), before);
        EXPECT_EQ(port.StartEventThread(), 0u);
    }
    EXPECT_EQ(ThreadCount(), before);
}

TEST(WinCom, VanishedDeviceEndsEventThreadWithAnError) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const int before = ThreadCount();
    RecordingPort port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    pty.CloseMaster();
    // The thread notices the hang-up and ends instead of spinning on it.
    ASSERT_TRUE(WaitFor([&] { return ThreadCount() == before; }, 2000));
    EXPECT_EQ(port.LastError(), ERROR_DEVICE_NOT_CONNECTED_CODE);
    uint32_t n = 0;
    EXPECT_NE(port.Write("a", 1, &n, nullptr, 100), 0u);
    EXPECT_EQ(port.Close(), 0u);
}

TEST(WinCom, WaitEventTimesOutAndSeesInput) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    EXPECT_EQ(port.WaitEvent(nullptr, 50), ERROR_TIMEOUT_CODE);
    pty.Send("q");
    EXPECT_EQ(port.WaitEvent(nullptr, 1000), 0u);
    EXPECT_EQ(port.TakeEvents(), EV_RXCHAR);
    EXPECT_EQ(port.TakeEvents(), 0u);
}

TEST(WinCom, RatesWithoutStandardConstant) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    for (uint32_t rate : {56000u, 128000u, 256000u, 38400u}) {
        EXPECT_EQ(port.SetParams(rate, 8, NOPARITY, ONESTOPBIT), 0u) << rate;
        EXPECT_EQ(port.GetBaudRate(), static_cast<int32_t>(rate));
    }
    EXPECT_EQ(port.SetParams(0, 8, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER_CODE);
    EXPECT_EQ(port.GetBaudRate(), 38400);
}

TEST(WinCom, WaitEventWithOwnRecordSignalsIt) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    ComOverlapped ov;
    pty.Send("r");
    EXPECT_EQ(port.WaitEvent(&ov, INFINITE_TIMEOUT), 0u);
    EXPECT_TRUE(ov.Wait(1000));
    EXPECT_EQ(ov.Result(), 0u);
    EXPECT_EQ(port.TakeEvents(), EV_RXCHAR);
}

TEST(WinCom, CloseEndsAWriteBlockedOnAnotherThread) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    ASSERT_EQ(port.Open(pty.slave().c_str(), 0, 0, true), 0u);
    std::atomic<uint32_t> code{0};
    std::thread writer([&] {
        std::vector<uint8_t> big(1 << 20, 'w');
        code = port.Write(big.data(), static_cast<uint32_t>(big.size()));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(port.Close(), 0u);
    writer.join();
    EXPECT_EQ(code.load(), ERROR_OPERATION_ABORTED_CODE);
    EXPECT_FALSE(port.IsOpen());
}
