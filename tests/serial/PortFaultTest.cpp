// A port whose device goes away, and the explanations for a port that
// cannot be opened.
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "serial/PortDiagnosis.h"
#include "serial/WinCom.h"

#include "PtyTestSupport.h"

#include <csignal>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <string>

TEST(PortFault, DeviceGoneOnlyAfterTheFarEndCloses) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom port;
    EXPECT_FALSE(port.IsDeviceGone());  // not open
    ASSERT_EQ(port.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
    EXPECT_FALSE(port.IsDeviceGone());
    pty.Send("data waiting");
    EXPECT_FALSE(port.IsDeviceGone());
    pty.CloseMaster();
    EXPECT_TRUE(port.IsDeviceGone());
    port.Close();
    EXPECT_FALSE(port.IsDeviceGone());
}

TEST(PortFault, TerminalHungUpLikeAnUnpluggedAdapterIsGone) {
    // An adapter pulled out hangs its terminal up, which (unlike the far end
    // of a pseudo-terminal closing) wakes waiters only as input would. Both
    // the event thread and the device-gone check see it.
    if (geteuid() != 0) GTEST_SKIP() << "vhangup() needs CAP_SYS_TTY_CONFIG";
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CDUXKSerial& ch = GetSensorChannel();
    ASSERT_EQ(ch.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
    ASSERT_EQ(ch.SetEventMask(0x01FD), 0u);
    EXPECT_FALSE(ch.IsDeviceGone());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The terminal becomes the controlling terminal of a new session,
        // whose leader hangs it up.
        signal(SIGHUP, SIG_IGN);
        setsid();
        const int fd = open(pty.slave().c_str(), O_RDWR);
        _exit(fd >= 0 && ioctl(fd, TIOCSCTTY, 1) == 0 && vhangup() == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(ch.IsDeviceGone());
    EXPECT_TRUE(WaitFor([&] { return ch.HasEventThreadFailed(); }, 5000));
    EXPECT_TRUE(ch.IsReceiveEnded());
    ch.Close();
}

TEST(PortFault, HeldPortIsReportedInUse) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CWinCom first, second;
    ASSERT_EQ(first.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
    EXPECT_EQ(second.Open(pty.slave().c_str(), 4000, 4000, true), 5u);
    const std::string why = DescribePortOpenFailure(pty.slave(), 5);
    EXPECT_NE(why.find("is in use"), std::string::npos) << why;
    first.Close();
    // Free again: nothing to explain.
    EXPECT_EQ(DescribePortOpenFailure(pty.slave(), 5), "");
}

TEST(PortFault, OnlyTerminalDevicesAreOpened) {
    // A file, a FIFO without a writer and a device that is no terminal are
    // refused before anything is done to them, at once.
    char dir[] = "/tmp/duxk-notatty-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string file = std::string(dir) + "/file", fifo = std::string(dir) + "/fifo";
    { std::ofstream(file) << "keep me"; }
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& name : {file, fifo, std::string("/dev/null")}) {
        CWinCom port;
        EXPECT_EQ(port.Open(name.c_str(), 4000, 4000, true), ERROR_INVALID_FUNCTION_CODE) << name;
        EXPECT_FALSE(port.IsOpen());
        const std::string why = DescribePortOpenFailure(name, port.LastError());
        EXPECT_NE(why.find("is not a serial port"), std::string::npos) << why;
        // Whatever code a caller has: no advice to hand the file to a group.
        const std::string denied = DescribePortOpenFailure(name, ERROR_ACCESS_DENIED_CODE);
        EXPECT_EQ(denied.find("chgrp"), std::string::npos) << denied;
        EXPECT_EQ(denied.find("usermod"), std::string::npos) << denied;
    }
    std::ifstream in(file);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "keep me");
    std::remove(file.c_str());
    std::remove(fifo.c_str());
    rmdir(dir);
}

TEST(PortFault, ShellQuotedAdvice) {
    EXPECT_EQ(ShellQuote("/dev/ttyUSB0"), "/dev/ttyUSB0");
    EXPECT_EQ(ShellQuote("/dev/serial/by-id/usb-FTDI_A1-if00-port0"), "/dev/serial/by-id/usb-FTDI_A1-if00-port0");
    EXPECT_EQ(ShellQuote("/dev/x; rm -rf ~"), "'/dev/x; rm -rf ~'");
    EXPECT_EQ(ShellQuote("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellQuote("$(id)"), "'$(id)'");
    EXPECT_EQ(ShellQuote(""), "''");
}

TEST(PortFault, MissingPortIsNamed) {
    const std::string why = DescribePortOpenFailure("/dev/duxk-no-such-port", 2);
    EXPECT_NE(why.find("/dev/duxk-no-such-port"), std::string::npos) << why;
}

TEST(PortFault, ReadsEndAtOnceWhenTheDeviceIsGone) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    CDUXKSerial& ch = GetSensorChannel();
    ASSERT_EQ(ch.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
    ASSERT_EQ(ch.SetParams(38400, 8, NOPARITY, TWOSTOPBITS), 0u);
    ASSERT_EQ(ch.SetEventMask(0x01FD), 0u);
    ch.Purge();
    ResetReplyState();
    pty.Send("half a line");
    ASSERT_TRUE(WaitFor([&] { return ch.ReceivedCount() == 11; }, 2000));
    pty.CloseMaster();

    ReplyTimeout = 8.0;
    const uint64_t t0 = TickCountMs();
    EXPECT_EQ(ReadReply(), nullptr);
    uint8_t bytes[4];
    EXPECT_EQ(ReadBytes(bytes, 4, false), 0);
    EXPECT_LT(TickCountMs() - t0, 500u);
    ch.Close();
    ResetReplyState();
}

TEST(PortFault, AWaitUnderwayEndsWhenTheDeviceGoes) {
    CDUXKSerial& ch = GetSensorChannel();
    for (int round = 0; round < 2; ++round) {
        // The second round reopens the channel: a failure of the previous
        // port must not cut the new port's waits short.
        Pty pty;
        ASSERT_TRUE(pty.ok());
        ASSERT_EQ(ch.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetEventMask(0x01FD), 0u);
        ch.Purge();
        EXPECT_FALSE(ch.HasEventThreadFailed());
        uint64_t t0 = TickCountMs();
        EXPECT_FALSE(ch.WaitReceived(300));
        EXPECT_GE(TickCountMs() - t0, 290u);

        std::thread unplug([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            pty.CloseMaster();
        });
        t0 = TickCountMs();
        EXPECT_FALSE(ch.WaitReceived(10000));
        const uint64_t waited = TickCountMs() - t0;
        unplug.join();
        EXPECT_LT(waited, 2000u);
        EXPECT_TRUE(ch.IsReceiveEnded());
        ch.Close();
    }
}
