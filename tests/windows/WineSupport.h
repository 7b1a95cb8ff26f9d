// What the windows tests share: the Wine prefix kept in the build directory
// (its first set-up takes a while) with COM1 mapped in its registry to a
// link that each test points at its own virtual sensor (Wine rebuilds its
// dosdevices links at every start), programs run to their end or in the
// background, and the virtual sensor on its pseudo-terminal. A test suite is
// skipped, not failed, without the Windows build or wine.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace winetest {

inline std::string EnvOr(const char* name, const std::string& fallback) {
    const char* v = std::getenv(name);
    return v && *v ? v : fallback;
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Console output of a Windows program ends its lines in CR LF.
inline std::string WithoutCr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

inline std::string InPath(const std::string& program) {
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
inline std::string WindowsPath(const std::string& path) {
    std::string p = "Z:" + path;
    std::replace(p.begin(), p.end(), '/', '\\');
    return p;
}

inline pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
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
inline ProgramRun RunProgram(const std::vector<std::string>& args, const std::string& tag, int seconds) {
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
    Sim(const std::string& dir, const std::string& serial, const std::vector<std::string>& extra = {}) : dir_(dir) {
        fs::create_directories(dir_ + "/state");
        std::vector<std::string> args{EnvOr("DUXK_BIN_DIR", "bin") + "/duxk-sensor-sim",
                                      "--state",
                                      dir_ + "/state",
                                      "--serial",
                                      serial,
                                      "--startup",
                                      "0",
                                      "--trace",
                                      dir_ + "/sim.trace"};
        args.insert(args.end(), extra.begin(), extra.end());
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

// The virtual sensor's trace (--trace): what crossed the line, in order,
// with the time the sensor saw it. host: host to sensor ("RX" there).
struct TraceChunk {
    double time = 0;
    bool host = false;
    std::string bytes;
};

inline std::vector<TraceChunk> ReadSimTrace(const std::string& path) {
    std::vector<TraceChunk> chunks;
    std::istringstream in(ReadAll(path));
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        TraceChunk chunk;
        std::string dir, hex;
        if (!(words >> chunk.time >> dir) || (dir != "RX" && dir != "TX")) continue;
        chunk.host = dir == "RX";
        // Hex bytes up to the printable copy between bars.
        while (words >> hex && hex.size() == 2 && std::isxdigit(static_cast<unsigned char>(hex[0])))
            chunk.bytes.push_back(static_cast<char>(std::stoi(hex, nullptr, 16)));
        // A long read is logged as several lines with one time.
        if (!chunks.empty() && chunks.back().host == chunk.host && chunks.back().time == chunk.time)
            chunks.back().bytes += chunk.bytes;
        else
            chunks.push_back(chunk);
    }
    return chunks;
}

// All bytes the host sent.
inline std::string HostBytes(const std::vector<TraceChunk>& chunks) {
    std::string bytes;
    for (const TraceChunk& c : chunks)
        if (c.host) bytes += c.bytes;
    return bytes;
}

// How long the prefix's server outlives its last client (see below).
inline constexpr char kPersist[] = "-p300";

class WinePrefixTest : public ::testing::Test {
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
        // Nor menu entries on the Linux desktop for the installer's
        // shortcut.
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;winemenubuilder.exe=d", 1);
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
        // A server of our own that outlives each run: every run then starts
        // faster, and the server's own output (it dumps its objects when a
        // pseudo-terminal it holds hangs up) stays out of duxk's. It stays
        // for the whole suite (the tear-down ends it): a client that reaches
        // a server just as it times out fails with "Connection reset by
        // peer". Five minutes bound what a crashed test leaves behind.
        RunProgram({wineserver_, kPersist}, scratch_ + "/wineserver", 60);
        // The user's %TEMP% as the prefix had it, given back at the end (asked
        // only now: a program run before the server above would start one
        // that ends seconds after its last client).
        const ProgramRun temp =
            RunProgram({wine_, "reg", "query", "HKCU\\Environment", "/v", "TEMP"}, scratch_ + "/reg-temp", 120);
        const size_t at = temp.out.find("REG_SZ");
        if (at != std::string::npos) {
            userTemp_ = temp.out.substr(temp.out.find_first_not_of(' ', at + 6));
            while (!userTemp_.empty() && std::isspace(static_cast<unsigned char>(userTemp_.back())))
                userTemp_.pop_back();
        }
    }

    static void TearDownTestSuite() {
        if (!wineserver_.empty() && !prefix_.empty() && skipReason_.empty()) {
            if (!userTemp_.empty()) SetTemp(userTemp_, scratch_ + "/reg-temp-back");
            RunProgram({wineserver_, "-k"}, scratch_ + "/wineserver-stop", 60);
        }
        // Kept when a test failed, with its programs' output and traces.
        if (!scratch_.empty() && ::testing::UnitTest::GetInstance()->failed_test_count() == 0) fs::remove_all(scratch_);
    }

    void SetUp() override {
        if (!skipReason_.empty()) GTEST_SKIP() << skipReason_;
        ASSERT_TRUE(setupError_.empty()) << setupError_;
        dir_ = scratch_ + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir_ + "/temp");
        // A %TEMP% of its own for each test (Wine takes TEMP from the
        // user's registry environment, not from ours): no update markers or
        // last-port file of another test's.
        ASSERT_TRUE(SetTemp(WindowsPath(dir_ + "/temp"), dir_ + "/reg-temp")) << "cannot set %TEMP% in " << prefix_;
    }

    // %TEMP% and %TMP% for the programs started from now on.
    static bool SetTemp(const std::string& windowsDir, const std::string& log) {
        bool ok = true;
        for (const char* name : {"TEMP", "TMP"})
            ok = RunProgram({wine_, "reg", "add", "HKCU\\Environment", "/v", name, "/d", windowsDir, "/f"},
                            log + "-" + name, 120)
                         .status == 0 &&
                 ok;
        return ok;
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

    // The last-port file in the test's %TEMP%.
    std::string LastPortFile() const { return ReadAll(dir_ + "/temp/DUXKUpdt.tmp"); }

    std::string dir_;
    static inline std::string exe_, wine_, wineboot_, wineserver_, prefix_, comLink_, scratch_;
    static inline std::string skipReason_, setupError_, userTemp_;
};

// The desktop application on a display of its own (xvfb-run), and the UI
// driver duxk-uidriver.exe (tests/win32) that works its windows, in the same
// prefix. Starting ends the prefix's server first: a desktop process that
// console runs started without a display could not open a window.
class WineGui {
public:
    WineGui(std::string dir, std::string wine, std::string wineserver, std::string driver)
        : dir_(std::move(dir)),
          wine_(std::move(wine)),
          wineserver_(std::move(wineserver)),
          driver_(std::move(driver)) {}
    ~WineGui() { Stop(); }

    // What the GUI checks need and is missing here ("" when nothing).
    static std::string Missing(const std::string& driver) {
        if (driver.empty() || access(driver.c_str(), R_OK) != 0)
            return "no UI driver at '" + driver + "' (scripts/build-windows.sh makes it)";
        if (InPath("xvfb-run").empty()) return "xvfb-run is not installed (apt-get install xvfb)";
        return {};
    }

    // Starts `wine args...`; false when its display is not up within a minute.
    bool Start(const std::vector<std::string>& args) {
        RunProgram({wineserver_, "-k"}, dir_ + "/wineserver-restart", 60);
        RunProgram({wineserver_, "-w"}, dir_ + "/wineserver-wait", 60);
        const std::string displayFile = dir_ + "/display";
        fs::remove(displayFile);
        std::vector<std::string> all{InPath("xvfb-run"),
                                     "-a",
                                     "-f",
                                     dir_ + "/xauth",
                                     "-s",
                                     "-screen 0 1024x768x24",
                                     "sh",
                                     "-c",
                                     "echo \"$DISPLAY\" > \"$0\"; exec \"$@\"",
                                     displayFile,
                                     wine_};
        all.insert(all.end(), args.begin(), args.end());
        started_ = std::chrono::steady_clock::now();
        pid_ = Spawn(all, dir_ + "/gui.out", dir_ + "/gui.err");
        std::string display;
        for (int i = 0; i < 600 && pid_ > 0 && display.empty(); ++i) {
            display = ReadAll(displayFile);
            if (display.empty()) poll(nullptr, 0, 100);
        }
        while (!display.empty() && std::isspace(static_cast<unsigned char>(display.back()))) display.pop_back();
        if (display.empty()) return false;
        // The driver's own windows and screen reads are on that display.
        setenv("DISPLAY", display.c_str(), 1);
        setenv("XAUTHORITY", (dir_ + "/xauth").c_str(), 1);
        return true;
    }

    // Seconds since Start.
    double Elapsed() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    }

    // One run of the driver with these steps (see tests/win32/UiDriver.cpp).
    ProgramRun Ui(const std::string& tag, const std::vector<std::string>& steps, int seconds = 300) {
        std::vector<std::string> all{wine_, driver_};
        all.insert(all.end(), steps.begin(), steps.end());
        ProgramRun run = RunProgram(all, dir_ + "/ui-" + tag, seconds);
        run.out = WithoutCr(run.out);
        return run;
    }

    // Ends the application through File > Exit (or kills it), and the
    // prefix's server with it; a server of its own takes over again.
    // True when the application ended by itself.
    bool Stop() {
        if (pid_ <= 0) return true;
        Ui("exit", {"frame", "menu|57665"}, 60);
        int status = 0;
        bool ended = false;
        for (int i = 0; i < 300 && !ended; ++i) {
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended) poll(nullptr, 0, 100);
        }
        if (!ended) {
            kill(pid_, SIGTERM);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        RunProgram({wineserver_, "-k"}, dir_ + "/wineserver-stop", 60);
        unsetenv("DISPLAY");
        unsetenv("XAUTHORITY");
        RunProgram({wineserver_, kPersist}, dir_ + "/wineserver-again", 60);
        return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    std::string dir_, wine_, wineserver_, driver_;
    pid_t pid_ = -1;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace winetest
