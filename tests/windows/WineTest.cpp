// duxk.exe, the Windows build of the command-line tool, under Wine against
// the Linux virtual sensor: Wine's COM1 is pointed at the sensor's
// pseudo-terminal. The desktop application duxkupdate.exe starts under Xvfb,
// finds the sensor there and finishes an update that duxk.exe was cut off
// in. Skipped when the Windows build (scripts/build-windows.sh)
// or wine is not there. The Windows build's own checks of its platform files
// (tests/win32) run here too.
#include "tests/windows/WineSupport.h"

#include <sys/wait.h>

namespace {

using namespace winetest;

class WineTest : public WinePrefixTest {};

TEST_F(WineTest, FindInfoAndCalibrationRoundTrip) {
    Sim sim(dir_, "K52W00001");
    Attach(sim);

    ProgramRun run = Duxk("find-port", {"--port", "COM1", "--timeout", "30", "--json", "find"});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "\"port\":\"COM1\",\"baud\":38400,\"serial\":\"K52W00001\",\"result\":0,"))
        << run.out;
    EXPECT_TRUE(Contains(run.out, "\"identity\":\"DUX-K52 V3.00\"")) << run.out;
    // The port found is remembered in %TEMP%, with its CR LF as it is.
    EXPECT_EQ(LastPortFile(), "COM1\r\n");

    // Without --port the search starts at the remembered port.
    run = Duxk("find-search", {"--timeout", "30", "find"});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, " at COM1, 38400 baud, serial number 'K52W00001'\n")) << run.out;

    run = Duxk("info", {"--port", "COM1", "--baud", "38400", "info", "spec"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "Pack 01 specification\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "serial        K52W00001\n")) << run.out;

    // Save, change one coefficient, load it, and read it back unchanged.
    const std::string first = dir_ + "/first.cal", second = dir_ + "/second.cal";
    run = Duxk("cal-save", {"--port", "COM1", "--baud", "38400", "cal", "save", WindowsPath(first)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    std::string cal = ReadAll(first);
    ASSERT_TRUE(Contains(cal, "CAL:SER K52W00001\r\n")) << cal;
    const size_t k0 = cal.find("K0=", cal.find("@CAL02"));
    ASSERT_NE(k0, std::string::npos) << cal;
    cal.replace(k0, 15, "K0=+1.23456E+00");
    std::ofstream(first, std::ios::binary) << cal;

    run = Duxk("cal-load", {"--port", "COM1", "--baud", "38400", "cal", "load", WindowsPath(first)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    run = Duxk("cal-save-again", {"--port", "COM1", "--baud", "38400", "cal", "save", WindowsPath(second)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(ReadAll(second), cal);
}

TEST_F(WineTest, Win32PlatformChecks) {
    const std::string checks = EnvOr("DUXK_WINDOWS_CHECKS", "");
    ASSERT_EQ(access(checks.c_str(), R_OK), 0) << "no " << checks << " beside the Windows build";
    Sim sim(dir_, "K52W00003");
    Attach(sim);
    setenv("DUXK_TEST_PORT", "COM1", 1);
    const ProgramRun run = RunProgram({wine_, checks}, dir_ + "/checks", 120);
    unsetenv("DUXK_TEST_PORT");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.out, "[  PASSED  ]")) << run.out;
}

TEST_F(WineTest, FirmwareUpdate) {
    const std::string fw = dir_ + "/fw.bin";
    const std::string mkfw = EnvOr("DUXK_BIN_DIR", "bin") + "/duxk-mkfw";
    ASSERT_EQ(RunProgram({mkfw, fw, "--version", "9.87", "--size", "2000"}, dir_ + "/mkfw", 60).status, 0);
    Sim sim(dir_, "K52W00002");
    Attach(sim);

    ProgramRun run = Duxk("update", {"--port", "COM1", "--baud", "38400", "update", WindowsPath(fw)}, 300);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_TRUE(Contains(run.err, "Program Flash Memory: 100%")) << run.err;
    EXPECT_TRUE(Contains(run.out, "Success: Firmware transferred successfully")) << run.out;
    const std::string image = ReadAll(fw);
    EXPECT_EQ(sim.Flash().compare(0, image.size(), image), 0) << "the flash holds the new firmware";

    // Back in its application, the sensor reports the new version.
    run = Duxk("find", {"--port", "COM1", "--timeout", "30", "--json", "find"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "\"identity\":\"DUX-K52 V9.87\"")) << run.out;
}

TEST_F(WineTest, DesktopApplicationStartsAndFindsTheSensor) {
    const std::string gui = EnvOr("DUXK_WINDOWS_GUI_EXE", "");
    if (gui.empty() || access(gui.c_str(), R_OK) != 0) GTEST_SKIP() << "no duxkupdate.exe at '" << gui << "'";
    const std::string xvfb = InPath("xvfb-run");
    if (xvfb.empty()) GTEST_SKIP() << "xvfb-run is not installed (apt-get install xvfb)";
    Sim sim(dir_, "K52W00004");
    Attach(sim);
    // The last-port file is written when a sensor is accepted; the test's
    // own %TEMP% starts without one, so the start has to find it anew.
    ASSERT_EQ(LastPortFile(), "");

    // The console runs before have started the prefix's desktop process
    // without a display, and a window could not be opened through it: a
    // server of its own lets the application start one on Xvfb's display.
    RunProgram({wineserver_, "-k"}, dir_ + "/wineserver-restart", 60);
    RunProgram({wineserver_, "-w"}, dir_ + "/wineserver-wait", 60);

    const std::string trace = dir_ + "/gui.trace";
    const pid_t pid = Spawn({xvfb, "-a", "-s", "-screen 0 1024x768x24", wine_, gui, "--trace", WindowsPath(trace)},
                            dir_ + "/gui.out", dir_ + "/gui.err");
    ASSERT_GT(pid, 0);
    // The search: the remembered port (none), then COM1, where the sensor
    // answers its identity and serial number.
    bool found = false;
    for (int i = 0; i < 120 * 10 && !found; ++i) {
        found = LastPortFile() == "COM1\r\n";
        if (!found) poll(nullptr, 0, 100);
    }
    int status = 0;
    const bool stillRunning = waitpid(pid, &status, WNOHANG) == 0;
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    // The application and the server of this prefix go with the display.
    RunProgram({wineserver_, "-k"}, dir_ + "/wineserver-stop", 60);
    EXPECT_TRUE(stillRunning) << ReadAll(dir_ + "/gui.err").substr(0, 3000);
    ASSERT_TRUE(found) << "no sensor accepted; trace:\n" << ReadAll(trace).substr(0, 4000);
    // --trace works as in duxk.exe: the exchange is in the file.
    EXPECT_FALSE(ReadAll(trace).empty());
}

}  // namespace

// An update cut off while it programs the flash leaves the sensor in its
// update program and its marker in %TEMP%: the desktop application reports
// it at its start, finds the sensor there, and its update dialog finishes
// the update.
TEST_F(WineTest, DesktopApplicationFinishesAnInterruptedUpdate) {
    const std::string gui = EnvOr("DUXK_WINDOWS_GUI_EXE", ""), driver = EnvOr("DUXK_WINDOWS_UIDRIVER", "");
    if (gui.empty() || access(gui.c_str(), R_OK) != 0) GTEST_SKIP() << "no duxkupdate.exe at '" << gui << "'";
    if (const std::string missing = WineGui::Missing(driver); !missing.empty()) GTEST_SKIP() << missing;
    const std::string fw = dir_ + "/fw.bin";
    ASSERT_EQ(RunProgram({EnvOr("DUXK_BIN_DIR", "bin") + "/duxk-mkfw", fw, "--version", "9.87", "--size", "32768"},
                         dir_ + "/mkfw", 60)
                  .status,
              0);
    Sim sim(dir_, "K52W00005", {"--erase-ms", "20", "--watchdog", "0", "--notify", "program:256"});
    Attach(sim);

    // duxk.exe is killed as it programs the flash. Given the port and rate,
    // it asks no serial number: the marker names "the sensor".
    const pid_t update = Spawn({wine_, exe_, "--port", "COM1", "--baud", "38400", "update", WindowsPath(fw)},
                               dir_ + "/update.out", dir_ + "/update.err");
    ASSERT_GT(update, 0);
    bool programming = false;
    for (int i = 0; i < 1200 && !programming; ++i) {
        programming = Contains(ReadAll(dir_ + "/sim.out"), "notice program:256");
        if (!programming) poll(nullptr, 0, 100);
    }
    kill(update, SIGKILL);
    int status = 0;
    waitpid(update, &status, 0);
    ASSERT_TRUE(programming) << ReadAll(dir_ + "/update.err");

    // The start reports the marker while it searches: COM1 leads nowhere
    // until the report has been seen.
    fs::remove(comLink_);
    fs::create_symlink(dir_ + "/no-sensor-yet", comLink_);
    WineGui app(dir_, wine_, wineserver_, driver);
    ASSERT_TRUE(app.Start({gui})) << ReadAll(dir_ + "/gui.err");
    ProgramRun run = app.Ui("report", {"frame", "view|An update of the sensor on COM1 was interrupted at "});
    ASSERT_EQ(run.status, 0) << run.out;
    Attach(sim);
    run = app.Ui("found", {"view|Sensor found in its update program"});
    ASSERT_EQ(run.status, 0) << run.out;
    run = app.Ui("update", {"menu|32775", "dialog|Firmware Update", "set|1000|" + WindowsPath(fw), "click|1005",
                            "box|Success|Firmware transferred successfully", "ok", "close", "view|Firmware V9.87"});
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string image = ReadAll(fw);
    EXPECT_EQ(sim.Flash().compare(0, image.size(), image), 0) << "the flash holds the new firmware";
    EXPECT_TRUE(app.Stop()) << "File > Exit ends the application";
}
