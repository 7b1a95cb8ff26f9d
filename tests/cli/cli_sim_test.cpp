// duxk find against the virtual sensor.

#include "tests/session/TestSupport.h"
#include "tests/cli/RunDuxk.h"
#include "tests/update/PrivateTemp.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

using namespace testsupport;

namespace {

TEST(CliSimTest, FindsTheSensorAtEachRateOnItsPort) {
    TempEnv env;
    const int rates[] = {38400, 19200, 9600, 4800};
    std::vector<std::unique_ptr<SimProcess>> sims;
    for (int i = 0; i < 4; ++i) {
        sims.push_back(std::make_unique<SimProcess>(
            i + 1, rates[i], std::vector<std::string>{"--serial", "SIM0000" + std::to_string(i + 1)}));
        ASSERT_TRUE(sims.back()->Ready());
    }
    // One process per port, side by side: each tries only its port's rates.
    std::vector<std::unique_ptr<DuxkProcess>> runs;
    for (int i = 0; i < 4; ++i)
        runs.push_back(std::make_unique<DuxkProcess>(
            env.temp, std::vector<std::string>{"--port", "COM" + std::to_string(i + 1), "--json", "find"}));
    for (int i = 0; i < 4; ++i) {
        DuxkResult r = runs[i]->Wait();
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::string expected = "\"port\":\"COM" + std::to_string(i + 1) + "\",\"baud\":" + std::to_string(rates[i]) +
                               ",\"serial\":\"SIM0000" + std::to_string(i + 1) + "\",\"result\":0,";
        EXPECT_NE(r.out.find(expected), std::string::npos) << r.out;
    }

    // With --port and --baud the port is opened directly, without a search.
    DuxkResult r = RunDuxk(env.temp, {"--port", "COM3", "--baud", "9600", "find"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Sensor 'DUX-K52 V3.00' at COM3, 9600 baud, serial number 'SIM00003'\n") << "identity asked too";
    r = RunDuxk(env.temp, {"--port", "COM3", "--baud", "38400", "find"});
    EXPECT_EQ(r.exitCode, 3) << "nothing answers at the wrong rate";
}

TEST(CliSimTest, SearchRemembersThePortAndWritesTheTrace) {
    TempEnv env;
    SimProcess sim(5, 38400, {"--serial", "K52A01234"});
    ASSERT_TRUE(sim.Ready());
    std::string trace = env.temp + "/trace.log";
    DuxkResult r = RunDuxk(env.temp, {"--trace", trace, "find"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Sensor 'DUX-K52 V3.00' at COM5, 38400 baud, serial number 'K52A01234'\n") << "the report alone";
    EXPECT_NE(r.err.find("Found Sensor 'K52A01234' at COM5, 38400 baud\n"), std::string::npos) << r.err;
    EXPECT_EQ(env.ReadLastPortFile(), "COM5\r\n");
    std::ifstream in(trace);
    std::string first;
    EXPECT_TRUE(std::getline(in, first)) << "trace written";
}

TEST(CliSimTest, LongDevicePathIsOpenedWholeAndRemembered) {
    // Longer than the 80 and 256 bytes the port texts once held: a cut path
    // would name another device.
    TempEnv env;
    SimProcess sim(1, 38400, {"--serial", "K52LONG01"});
    ASSERT_TRUE(sim.Ready());
    std::string dir = env.temp;
    while (dir.size() < 300) dir += "/usb-FTDI_FT232R_USB_UART_A1B2C3D4";
    std::filesystem::create_directories(dir);
    const std::string port = dir + "/if00-port0";
    ASSERT_EQ(symlink(sim.Device().c_str(), port.c_str()), 0);

    DuxkResult r = RunDuxk(env.temp, {"--port", port, "--baud", "38400", "find"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("serial number 'K52LONG01'"), std::string::npos) << r.out;

    r = RunDuxk(env.temp, {"--port", port, "--json", "find"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"port\":\"" + port + "\""), std::string::npos) << r.out;
    EXPECT_EQ(env.ReadLastPortFile(), port + "\r\n");
}

// Standard output carries the listing alone, so that it can be redirected
// into a file; a calibration save without a name goes to <serial>.cal in the
// current directory, also when the port was opened directly.
TEST(CliSimTest, ResultsAloneOnStandardOutput) {
    TempEnv env;
    SimProcess sim(2, 38400, {"--serial", "K52B00077", "--startup", "0"});
    ASSERT_TRUE(sim.Ready());
    DuxkResult r = RunDuxk(env.temp, {"--port", "COM2", "info", "spec"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Pack 01 specification\n", 0), 0u) << r.out;
    EXPECT_NE(r.err.find("Looking for sensor..."), std::string::npos) << r.err;

    const std::string work = env.temp + "/work";
    std::filesystem::create_directory(work);
    r = RunDuxk(env.temp, {"--port", "COM2", "--baud", "38400", "--json", "cal", "save"}, work);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::filesystem::is_regular_file(work + "/K52B00077.cal")) << r.out;
    EXPECT_EQ(r.out.rfind("{\"command\":\"cal save\",", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("K52B00077.cal"), std::string::npos) << "the message names the file: " << r.out;
}

}  // namespace

TEST(CliSimTest, SearchThatFindsNothingNamesThePortsHeldByOthers) {
    TempEnv env;
    SimProcess sim(2, 38400);
    ASSERT_TRUE(sim.Ready());
    // Another program holds the sensor's port, as a terminal program would.
    const int held = open(sim.Device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    const DuxkResult r = RunDuxk(env.temp, {"--timeout", "3", "find"});
    close(held);
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("no sensor found within 3 s"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("COM2 (" + sim.Device() + ") is in use by"), std::string::npos) << r.err;
}

// A record of another sensor's update whose port leads to another device
// now, and one older than a week: both are reported, nothing is sent for
// them, and the update without a port does not take the sensor it finds
// there for the one whose update was interrupted.
TEST(CliSimTest, MarkersOfAnotherDeviceOrOlderThanAWeekAreReportedNotActedOn) {
    TempEnv env;
    const std::string trace = env.temp + "/sim.trace";
    SimProcess sim(1, 38400, {"--serial", "K52B00002", "--trace", trace});
    ASSERT_TRUE(sim.Ready());
    const std::string fw = env.temp + "/fw.bin";
    std::ofstream(fw) << std::string(1000, 'x');
    const long long now = time(nullptr);
    std::ofstream(env.temp + "/DUXKUpdt.K52A00001.0000000000000001.upd")
        << "serial=K52A00001\nport=COM1\ndevice=/dev/ttyUSB7\nbaud=38400\nstage=program\ntime=" << now - 60
        << "\nsince=a minute ago\n";
    std::ofstream(env.temp + "/DUXKUpdt.K52C00003.0000000000000002.upd")
        << "serial=K52C00003\nport=COM1\ndevice=" << sim.Device() << "\nbaud=38400\ntime=" << now - 8 * 86400
        << "\nsince=last month\n";
    const DuxkResult r = RunDuxk(env.temp, {"update", fw});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    for (const std::string& text :
         {"duxk: an update of K52A00001 on COM1 was interrupted at a minute ago, but COM1 leads to " + sim.Device() +
              " now, not to /dev/ttyUSB7: nothing is sent there for it\n",
          std::string("duxk: an update of K52C00003 on COM1 was interrupted at last month, more than a week ago: not "
                      "taken up"),
          std::string("duxk: the sensor found at COM1 is K52B00002, not K52A00001 whose update was interrupted: give "
                      "--port COM1 to update it\n")})
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    std::ifstream in(trace);
    const std::string heard((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(heard.find("RX 00"), std::string::npos) << "no zeros for the other sensor's update";
    EXPECT_EQ(heard.find("\"boot\""), std::string::npos);
}

// An update that could not keep its record refuses before a byte is sent.
TEST(CliSimTest, UpdateWithoutARecordIsRefusedBeforeAnythingIsSent) {
    TempEnv env;
    const std::string trace = env.temp + "/sim.trace";
    SimProcess sim(1, 38400, {"--trace", trace});
    ASSERT_TRUE(sim.Ready());
    const std::string fw = env.temp + "/fw.bin", notADirectory = env.temp + "/file";
    std::ofstream(fw) << std::string(1000, 'x');
    std::ofstream(notADirectory) << "x";
    DuxkResult r;
    {
        const NoStateDirectory none(notADirectory);
        r = RunDuxk(env.temp, {"--port", "COM1", "update", fw});
    }
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("duxk: no directory for the update's record of its progress: TEMP is not used for state "
                         "files: " +
                         notADirectory + ": not a directory"),
              std::string::npos)
        << r.err;
    std::ifstream in(trace);
    const std::string heard((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(heard.find(" RX "), std::string::npos) << heard;
}
