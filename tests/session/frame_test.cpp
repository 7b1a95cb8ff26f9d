// Main frame core: the last-port file, the sensor commands, reopening the
// port, and starting and stopping the search.

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "tests/session/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <map>

using namespace testsupport;

namespace {

class FrameTest : public ::testing::Test {
protected:
    void TearDown() override {
        frame.StopSearch();
        if (GetSensorChannel().IsOpen()) GetSensorChannel().Close();
    }
    TempEnv env;
    RecordingUi ui;
    CMainFrameCore frame{ui};
};

std::string ReadPort(CMainFrameCore& frame, bool* ok) {
    char buf[kPortNameSize];
    std::strcpy(buf, "keep");
    *ok = frame.ReadLastPort(buf, sizeof buf);
    return buf;
}

TEST_F(FrameTest, LastPortFileRoundTripAndCaseOfPrefix) {
    bool ok = false;
    EXPECT_EQ(ReadPort(frame, &ok), "keep");
    EXPECT_FALSE(ok) << "no file yet";

    ASSERT_TRUE(frame.WriteLastPort("COM3"));
    EXPECT_EQ(env.ReadLastPortFile(), "COM3\r\n");
    EXPECT_EQ(ReadPort(frame, &ok), "COM3");
    EXPECT_TRUE(ok);

    env.WriteLastPortFile("com3\r\n");
    EXPECT_EQ(ReadPort(frame, &ok), "com3");
    EXPECT_TRUE(ok);

    env.WriteLastPortFile("cOm5\n");  // written without CR
    EXPECT_EQ(ReadPort(frame, &ok), "cOm5");
    EXPECT_TRUE(ok);
}

TEST_F(FrameTest, LastPortFileKeepsOnlyFourCharactersOfTheFirstLine) {
    bool ok = false;
    env.WriteLastPortFile("COM12\r\nCOM4\r\n");
    EXPECT_EQ(ReadPort(frame, &ok), "COM1");
    EXPECT_TRUE(ok);

    // A device path counts whole.
    env.WriteLastPortFile("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0\r\n");
    EXPECT_EQ(ReadPort(frame, &ok), "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0");
    EXPECT_TRUE(ok);
}

TEST_F(FrameTest, UnusableLastPortFileLeavesBufferUnchanged) {
    for (const char* content : {"", "\r\n", "XCOM3\r\n", "CO\r\nM3", "\x01\xff\xfe\x02", "COM", "COMx\r\n",
                                "dev/ttyUSB0\n", "/dev/tty\x1b[2JUSB0\n", "ttyUSB0"}) {
        env.WriteLastPortFile(content);
        bool ok = true;
        EXPECT_EQ(ReadPort(frame, &ok), "keep") << content;
        EXPECT_FALSE(ok) << content;
    }
}

TEST_F(FrameTest, LastPortFileLocation) {
    EXPECT_EQ(LastPortFilePath(), env.temp + "/DUXKUpdt.tmp");

    const char* oldXdg = getenv("XDG_RUNTIME_DIR");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    // A TEMP that is no directory of the user's is not used: the user's own
    // runtime directory is.
    setenv("XDG_RUNTIME_DIR", env.temp.c_str(), 1);
    setenv("TEMP", (env.temp + "/missing").c_str(), 1);
    EXPECT_EQ(LastPortFilePath(), env.temp + "/duxkupdate/DUXKUpdt.tmp");

    // Without TEMP: never the shared /tmp (nor TMPDIR, which is usually
    // that), but the user's own runtime or cache directory.
    unsetenv("TEMP");
    setenv("TMPDIR", "/tmp", 1);
    setenv("XDG_RUNTIME_DIR", env.temp.c_str(), 1);
    EXPECT_EQ(LastPortFilePath(), env.temp + "/duxkupdate/DUXKUpdt.tmp");
    ASSERT_TRUE(frame.WriteLastPort("COM2"));
    struct stat st {};
    ASSERT_EQ(stat((env.temp + "/duxkupdate").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    oldXdg ? setenv("XDG_RUNTIME_DIR", savedXdg.c_str(), 1) : unsetenv("XDG_RUNTIME_DIR");
    unsetenv("TMPDIR");
    setenv("TEMP", env.temp.c_str(), 1);
}

TEST_F(FrameTest, PlantedLastPortFileIsNeitherFollowedNorWaitedOn) {
    // A link planted at the file's name: writing replaces the link, the file
    // it points at stays as it was; reading does not follow it.
    const std::string victim = env.temp + "/victim";
    std::ofstream(victim) << "COM7\r\n";
    ASSERT_EQ(symlink(victim.c_str(), env.LastPortFile().c_str()), 0);
    bool ok = true;
    EXPECT_EQ(ReadPort(frame, &ok), "keep");
    EXPECT_FALSE(ok);
    ASSERT_TRUE(frame.WriteLastPort("COM3"));
    std::ifstream in(victim);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "COM7\r");
    struct stat st {};
    ASSERT_EQ(lstat(env.LastPortFile().c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(env.ReadLastPortFile(), "COM3\r\n");

    // A FIFO without a writer: read at once as no file, and not written to.
    ASSERT_EQ(unlink(env.LastPortFile().c_str()), 0);
    ASSERT_EQ(mkfifo(env.LastPortFile().c_str(), 0600), 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadPort(frame, &ok), "keep");
    EXPECT_FALSE(ok);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_FALSE(frame.WriteLastPort("COM4"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    ASSERT_EQ(unlink(env.LastPortFile().c_str()), 0);
    ASSERT_TRUE(frame.WriteLastPort("COM4"));

    // Names that would not be read back are not stored.
    EXPECT_FALSE(frame.WriteLastPort("COM12"));
    EXPECT_FALSE(frame.WriteLastPort("/dev/tty\nUSB0"));
    EXPECT_EQ(env.ReadLastPortFile(), "COM4\r\n");
}

TEST_F(FrameTest, SensorCommandsInFixedOrderAndNoSensorRefusal) {
    EXPECT_TRUE(frame.EnableSensorCommands(false));
    EXPECT_TRUE(frame.EnableSensorCommands(true));
    auto calls = ui.MenuCalls();
    ASSERT_EQ(calls.size(), 2u);
    const std::vector<int> order = {32771, 32774, 32773, 32772, 32775, 32776};
    EXPECT_EQ(calls[0].first, order);
    EXPECT_FALSE(calls[0].second);
    EXPECT_TRUE(calls[1].second);

    EXPECT_FALSE(frame.CheckSensorFound());
    ASSERT_EQ(ui.Status().size(), 1u);
    EXPECT_EQ(ui.Status()[0], "No Sensor!");
    frame.m_bSensorFound = 1;
    EXPECT_TRUE(frame.CheckSensorFound());
    EXPECT_EQ(ui.Status().size(), 1u);
}

TEST_F(FrameTest, ReopenSensorPortSendsApplOnlyWhenItOpens) {
    std::strcpy(frame.m_search.szPort, "COM4");
    std::strcpy(frame.m_search.szBaud, "9600");
    EXPECT_FALSE(frame.ReopenSensorPort()) << "COM4 is not in the port map";

    PtySensor sensor(env, 4, {});
    ASSERT_TRUE(frame.ReopenSensorPort());
    EXPECT_TRUE(GetSensorChannel().IsOpen());
    EXPECT_EQ(GetSensorChannel().GetBaudRate(), 9600);
    EXPECT_EQ(GetSensorChannel().GetStopBits(), TWOSTOPBITS);
    ASSERT_TRUE(sensor.WaitCommands(1, 2000));
    EXPECT_EQ(sensor.Commands()[0], "appl");

    EXPECT_FALSE(frame.ReopenSensorPort()) << "already open";
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(sensor.Commands().size(), 1u) << "nothing sent by the failed reopen";
}

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
}

TEST_F(FrameTest, SearchWithoutPortsGoesOnIdleAndStopsOnRequest) {
    double cpuBefore = CpuSeconds();
    frame.StartSearch();
    ASSERT_TRUE(ui.WaitStatus("Looking for sensor...", 3000));
    EXPECT_FALSE(frame.WaitSearchEnd(2500)) << "the search has no end of its own";
    EXPECT_TRUE(frame.SearchRunning());
    // Passes over ports that cannot be opened must not keep a processor busy.
    EXPECT_LT(CpuSeconds() - cpuBefore, 0.5);

    frame.StopSearch();
    EXPECT_FALSE(frame.SearchRunning());
    EXPECT_EQ(frame.SearchExitCode(), static_cast<unsigned>(-1));
    EXPECT_EQ(frame.m_search.nStop.load(), 3);
    EXPECT_EQ(frame.m_bSensorFound.load(), 0);
    EXPECT_EQ(ui.Status(), std::vector<std::string>{"Looking for sensor..."});
    auto calls = ui.MenuCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_FALSE(calls[0].second) << "commands greyed at the start";
}

TEST_F(FrameTest, StopDuringTheStartDelayShowsNothing) {
    frame.StartSearch();
    frame.StopSearch();
    EXPECT_EQ(frame.SearchExitCode(), static_cast<unsigned>(-1));
    EXPECT_TRUE(ui.Status().empty());
}

// The order in which the search opens ports, seen through the port map: each
// COMn links to a pseudo-terminal that this test holds locked, so the search
// opens it (inotify reports that) and at once finds it in use, at no cost.
std::vector<int> OpenOrder(TempEnv& env, RecordingUi& ui, size_t count) {
    int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    std::map<int, int> portOfWatch;
    std::vector<int> masters, holders;
    for (int n = 1; n <= 7; ++n) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) break;
        const std::string slave = ptsname(master);
        const int holder = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (holder < 0 || flock(holder, LOCK_EX | LOCK_NB) != 0) break;
        masters.push_back(master);
        holders.push_back(holder);
        env.Link(n, slave);
        // Close events between the opens keep two opens of one device in a
        // row from being merged into one event.
        portOfWatch[inotify_add_watch(fd, slave.c_str(), IN_OPEN | IN_CLOSE)] = n;
    }

    std::vector<int> order;
    CMainFrameCore frame(ui);
    frame.StartSearch();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(8);
    while (order.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        alignas(inotify_event) char buf[4096];
        ssize_t len = read(fd, buf, sizeof buf);
        for (ssize_t i = 0; i < len;) {
            auto* ev = reinterpret_cast<inotify_event*>(buf + i);
            if ((ev->mask & IN_OPEN) && portOfWatch.count(ev->wd) && order.size() < count)
                order.push_back(portOfWatch[ev->wd]);
            i += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        }
    }
    frame.StopSearch();
    close(fd);
    for (int h : holders) close(h);
    for (int m : masters) close(m);
    return order;
}

TEST(SearchOrderTest, RememberedPortFirstThenComOneToSevenEveryPass) {
    const std::vector<int> later = {1, 2, 3, 4, 5, 6, 7};
    struct Case {
        const char* file;
        std::vector<int> firstPass;
    } cases[] = {
        {"COM3\r\n", {3, 1, 2, 3, 4, 5, 6, 7}},
        {"COM12\r\n", {1, 1, 2, 3, 4, 5, 6, 7}},  // only four characters count
        {"PORT3\r\n", {1, 2, 3, 4, 5, 6, 7}},     // not a COM name: ignored
    };
    for (const Case& c : cases) {
        TempEnv env;
        RecordingUi ui;
        env.WriteLastPortFile(c.file);
        std::vector<int> expected = c.firstPass;
        expected.insert(expected.end(), later.begin(), later.end());
        EXPECT_EQ(OpenOrder(env, ui, expected.size()), expected) << c.file;
        EXPECT_EQ(ui.Status(), std::vector<std::string>{"Looking for sensor..."});
    }
}

}  // namespace
