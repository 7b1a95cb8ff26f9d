// duxk.exe, the Windows build of the command-line tool, under Wine against
// the Linux virtual sensor: Wine's COM1 is pointed at the sensor's
// pseudo-terminal. The desktop application duxkupdate.exe starts under Xvfb
// and finds the sensor there. Skipped when the Windows build (scripts/build-windows.sh)
// or wine is not there. The Windows build's own checks of its platform files
// (tests/win32) run here too.
//
// The Wine prefix is kept in the build directory (its first set-up takes a
// while); COM1 is mapped in its registry to a link that each test points at
// its own sensor, because Wine rebuilds its dosdevices links at start.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Console output of a Windows program ends its lines in CR LF.
std::string WithoutCr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string InPath(const std::string& program) {
    std::string path = EnvOr("PATH", "/usr/bin:/bin");
    size_t start = 0;
    while (start <= path.size()) {
        const size_t end = std::min(path.find(':', start), path.size());
        const std::string candidate = path.substr(start, end - start) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return {};
}

// Z: is the Linux root in every Wine prefix.
std::string WindowsPath(const std::string& path) {
    std::string p = "Z:" + path;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct ProgramRun {
    int status = -1;  // -1: did not end on its own within its time
    std::string out, err;
};

// Runs a program to its end, killing it when it overruns `seconds`.
ProgramRun RunProgram(const std::vector<std::string>& args, const std::string& tag, int seconds) {
    const std::string out = tag + ".out", err = tag + ".err";
    ProgramRun run;
    const pid_t pid = Spawn(args, out, err);
    if (pid > 0) {
        int status = 0;
        bool ended = false;
        for (int waited = 0; waited < seconds * 20; ++waited) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                ended = true;
                break;
            }
            poll(nullptr, 0, 50);
        }
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        } else if (WIFEXITED(status)) {
            run.status = WEXITSTATUS(status);
        }
    }
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    return run;
}

// The virtual sensor on its own pseudo-terminal, with its state and trace.
class Sim {
public:
    Sim(const std::string& dir, const std::string& serial) : dir_(dir) {
        fs::create_directories(dir_ + "/state");
        const std::vector<std::string> args{EnvOr("DUXK_BIN_DIR", "bin") + "/duxk-sensor-sim",
                                            "--state",
                                            dir_ + "/state",
                                            "--serial",
                                            serial,
                                            "--startup",
                                            "0",
                                            "--trace",
                                            dir_ + "/sim.trace"};
        pid_ = Spawn(args, dir_ + "/sim.out", dir_ + "/sim.err");
        for (int i = 0; i < 500 && device_.empty(); ++i) {
            const std::string out = ReadAll(dir_ + "/sim.out");
            const size_t nl = out.find('\n');
            if (nl != std::string::npos)
                device_ = out.substr(0, nl);
            else
                poll(nullptr, 0, 10);
        }
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status = 0;
            waitpid(pid_, &status, 0);
        }
    }
    const std::string& Device() const { return device_; }
    std::string Flash() const { return ReadAll(dir_ + "/state/flash.bin"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
    std::string device_;
};

class WineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        exe_ = EnvOr("DUXK_WINDOWS_EXE", "");
        if (exe_.empty() || access(exe_.c_str(), R_OK) != 0) {
            skipReason_ = "no Windows build at '" + exe_ + "' (scripts/build-windows.sh makes one)";
            return;
        }
        wine_ = InPath("wine");
        wineboot_ = InPath("wineboot");
        wineserver_ = InPath("wineserver");
        if (wine_.empty() || wineboot_.empty() || wineserver_.empty()) {
            skipReason_ = "wine is not installed (apt-get install wine wine64)";
            return;
        }
        prefix_ = EnvOr("DUXK_BUILD_DIR", ".") + "/wine-prefix";
        comLink_ = prefix_ + "/duxk-com1";
        setenv("WINEPREFIX", prefix_.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        // No prompts to install Mono or Gecko; a console program needs neither.
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        scratch_ = ::testing::TempDir() + "duxk_wine_" + std::to_string(getpid());
        fs::create_directories(scratch_);

        const std::string ready = prefix_ + "/duxk-ready";
        if (access(ready.c_str(), F_OK) != 0) {
            const ProgramRun boot = RunProgram({wineboot_, "-i"}, scratch_ + "/wineboot", 300);
            // Wine links dosdevices/com1 anew at every start, from this key.
            const ProgramRun reg =
                RunProgram({wine_, "reg", "add", "HKLM\\Software\\Wine\\Ports", "/v", "COM1", "/d", comLink_, "/f"},
                           scratch_ + "/reg", 120);
            if (reg.status != 0) {
                setupError_ = "cannot prepare the Wine prefix " + prefix_ + ": " + boot.err + reg.err;
                return;
            }
            std::ofstream(ready) << "COM1 -> " << comLink_ << "\n";
            // The key is read as the server's services start: end the
            // server that the set-up started.
            RunProgram({wineserver_, "-k"}, scratch_ + "/wineserver-setup", 60);
        }
        // A server of our own that outlives each run by a few seconds: every
        // run then starts faster, and the server's own output (it dumps its
        // objects when a pseudo-terminal it holds hangs up) stays out of
        // duxk's.
        RunProgram({wineserver_, "-p10"}, scratch_ + "/wineserver", 60);
    }

    static void TearDownTestSuite() {
        if (!wineserver_.empty() && !prefix_.empty() && skipReason_.empty())
            RunProgram({wineserver_, "-k"}, scratch_ + "/wineserver-stop", 60);
        if (!scratch_.empty() && !::testing::Test::HasFailure()) fs::remove_all(scratch_);
    }

    void SetUp() override {
        if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
        ASSERT_TRUE(setupError_.empty()) << setupError_;
        dir_ = scratch_ + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_);
    }

    // Points Wine's COM1 at the sensor.
    void Attach(const Sim& sim) {
        ASSERT_FALSE(sim.Device().empty()) << "the virtual sensor did not start";
        const std::string tmp = comLink_ + ".new";
        fs::remove(tmp);
        fs::create_symlink(sim.Device(), tmp);
        fs::rename(tmp, comLink_);
    }

    ProgramRun Duxk(const std::string& name, std::vector<std::string> args, int seconds = 120) {
        std::vector<std::string> all{wine_, exe_};
        all.insert(all.end(), args.begin(), args.end());
        ProgramRun run = RunProgram(all, dir_ + "/" + name, seconds);
        run.out = WithoutCr(run.out);
        run.err = WithoutCr(run.err);
        return run;
    }

    // The last-port file in Wine's %TEMP% (C:\users\<user>\Temp).
    std::string LastPortFile() const {
        std::error_code ec;
        for (const auto& user : fs::directory_iterator(prefix_ + "/drive_c/users", ec)) {
            const std::string file = user.path().string() + "/Temp/DUXKUpdt.tmp";
            if (access(file.c_str(), F_OK) == 0) return ReadAll(file);
        }
        return {};
    }

    std::string dir_;
    static inline std::string exe_, wine_, wineboot_, wineserver_, prefix_, comLink_, scratch_;
    static inline std::string skipReason_, setupError_;
};

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
    // The last-port file is written when a sensor is accepted: the start
    // has to find it anew.
    std::error_code ec;
    for (const auto& user : fs::directory_iterator(prefix_ + "/drive_c/users", ec))
        fs::remove(user.path().string() + "/Temp/DUXKUpdt.tmp", ec);

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
