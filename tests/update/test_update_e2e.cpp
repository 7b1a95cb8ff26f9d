// Whole firmware updates with `duxk update` against the virtual sensor
// running the real transfer-program image. The scenarios are independent
// (each has its own sensor on its own pseudo-terminal) and run side by side,
// since every update takes tens of seconds of protocol waits.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

std::string BinDir() {
    const char* d = std::getenv("DUXK_BIN_DIR");
    return d ? d : "bin";
}

std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// TEMP of the scenario's own for the processes it starts: a failed update
// leaves its marker there, not in the user's directory.
pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    const std::string dir = out.substr(0, out.rfind('/'));
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::string(*e).rfind("TEMP=", 0) != 0) env.push_back(*e);
    env.push_back("TEMP=" + dir);
    std::vector<char*> envp;
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// A virtual sensor for one scenario, with its own state and trace.
class Sim {
public:
    Sim(const std::string& dir, std::vector<std::string> extra) : dir_(dir) {
        fs::create_directories(dir_ + "/state");
        std::vector<std::string> args{BinDir() + "/duxk-sensor-sim", "--state", dir_ + "/state", "--trace",
                                      dir_ + "/sim.trace"};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = Spawn(args, dir_ + "/sim.out", dir_ + "/sim.err");
        // The first line of its output names the device.
        for (int i = 0; i < 500 && device_.empty(); ++i) {
            const std::string out = ReadAll(dir_ + "/sim.out");
            const size_t nl = out.find('\n');
            if (nl != std::string::npos) device_ = out.substr(0, nl);
            else poll(nullptr, 0, 10);
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
    std::string Trace() const { return ReadAll(dir_ + "/sim.trace"); }
    std::string Flash() const { return ReadAll(dir_ + "/state/flash.bin"); }

private:
    std::string dir_;
    pid_t pid_ = -1;
    std::string device_;
};

struct Run {
    int status = -1;
    std::string out, err;
};

// One duxk invocation on the sensor's device.
Run Duxk(const std::string& dir, const std::string& name, const Sim& sim, std::vector<std::string> args) {
    std::vector<std::string> all{BinDir() + "/duxk", "--port", sim.Device(), "--baud", "38400"};
    all.insert(all.end(), args.begin(), args.end());
    const std::string out = dir + "/" + name + ".out", err = dir + "/" + name + ".err";
    Run run;
    const pid_t pid = Spawn(all, out, err);
    if (pid > 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    run.out = ReadAll(out);
    run.err = ReadAll(err);
    return run;
}

std::string MakeFirmware(const std::string& dir, const std::string& version, int size) {
    const std::string path = dir + "/fw.bin";
    const std::string cmd = BinDir() + "/duxk-mkfw " + path + " --version " + version + " --size " +
                            std::to_string(size) + " > /dev/null";
    if (std::system(cmd.c_str()) != 0) return {};
    return path;
}

std::string ScenarioDir(const std::string& name) {
    std::string dir = ::testing::TempDir() + "duxk_update_e2e_" + std::to_string(getpid()) + "/" + name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// Each scenario returns its failures as text (empty: passed), so that the
// scenarios can run on their own threads and report together.
using Scenario = std::function<std::string()>;

#define CHECK_THAT(cond)                                      \
    do {                                                      \
        if (!(cond)) failures += std::string(#cond) + "\n"; \
    } while (0)

std::string SuccessfulUpdate() {
    std::string failures;
    const std::string dir = ScenarioDir("success");
    const std::string fw = MakeFirmware(dir, "9.87", 2000);
    Sim sim(dir, {});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.out, "Success: Firmware transferred successfully"));
    CHECK_THAT(Contains(run.err, "Program Flash Memory: 100%"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    // Back in its application, the sensor reports the new firmware.
    const Run find = Duxk(dir, "find", sim, {"find"});
    CHECK_THAT(find.status == 0);
    CHECK_THAT(Contains(sim.Trace(), "ID:FW  V9.87"));
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

std::string OversizedFileLeavesTheSensorAlone() {
    std::string failures;
    const std::string dir = ScenarioDir("oversized");
    const std::string fw = dir + "/big.bin";
    std::ofstream(fw).put('x');
    fs::resize_file(fw, 0x1C001);
    Sim sim(dir, {});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 2);
    CHECK_THAT(Contains(run.err, "too large"));
    CHECK_THAT(!Contains(sim.Trace(), " RX "));
    return failures;
}

std::string FileReplacedDuringTheUpdateChangesNothing() {
    // The image is read once before the sensor is touched: a file renamed
    // over it mid-update (0x1D000 zero bytes, past the erased area) is never
    // looked at, and no telegram reaches the boot area above 0x9BFFF.
    std::string failures;
    const std::string dir = ScenarioDir("replaced");
    const std::string fw = MakeFirmware(dir, "9.06", 2400);
    const std::string original = ReadAll(fw);
    const std::string bigger = dir + "/bigger.bin";
    std::ofstream(bigger, std::ios::binary).close();
    fs::resize_file(bigger, 0x1D000);
    Sim sim(dir, {});
    const std::string before = sim.Flash();
    const pid_t pid = Spawn({BinDir() + "/duxk", "--port", sim.Device(), "--baud", "38400", "update", fw},
                            dir + "/update.out", dir + "/update.err");
    bool replaced = false;
    for (int i = 0; i < 3000 && !replaced; ++i) {
        if (Contains(sim.Trace(), "command \"flsh\"")) replaced = std::rename(bigger.c_str(), fw.c_str()) == 0;
        else poll(nullptr, 0, 20);
    }
    CHECK_THAT(replaced);
    int status = 0;
    waitpid(pid, &status, 0);
    CHECK_THAT(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string out = ReadAll(dir + "/update.out");
    CHECK_THAT(Contains(out, "Success: Firmware transferred successfully"));
    const std::string after = sim.Flash();
    CHECK_THAT(after.size() == 0x20000 && before.size() == 0x20000);
    if (after.size() == 0x20000 && before.size() == 0x20000) {
        CHECK_THAT(after.compare(0, original.size(), original) == 0);
        CHECK_THAT(after.find_first_not_of('\xFF', original.size()) >= 0x1C000);
        CHECK_THAT(after.compare(0x1C000, 0x4000, before, 0x1C000, 0x4000) == 0);
    }
    if (!failures.empty()) failures += out + ReadAll(dir + "/update.err");
    return failures;
}

std::string DownloadVerdictC() {
    std::string failures;
    const std::string dir = ScenarioDir("verdict_c");
    const std::string fw = MakeFirmware(dir, "9.01", 600);
    Sim sim(dir, {"--verdict", "C"});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH programming error: Checksum error"));
    return failures;
}

std::string DownloadVerdictText() {
    std::string failures;
    const std::string dir = ScenarioDir("verdict_text");
    const std::string fw = MakeFirmware(dir, "9.02", 600);
    Sim sim(dir, {"--verdict", "Err 3"});
    const Run run = Duxk(dir, "update", sim, {"--json", "update", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH: Err 3\n"));
    CHECK_THAT(Contains(run.err, "FLASH programming error: Unknown download result"));
    CHECK_THAT(Contains(run.out, "\"message\":\"Unknown download result\""));
    return failures;
}

std::string TelegramErrorsAreRecovered() {
    std::string failures;
    const std::string dir = ScenarioDir("telegram_errors");
    const std::string fw = MakeFirmware(dir, "9.03", 1000);
    // Identify telegrams: the very first telegram (power on) gets no second
    // chance, its retry window having run out during the download.
    Sim sim(dir, {"--telegram-errors", "3:21"});
    const Run run = Duxk(dir, "update", sim, {"--json", "update", fw});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.out, "\"result\":0"));
    CHECK_THAT(Contains(run.out, "\"message\":\"Firmware transferred successfully\""));
    CHECK_THAT(Contains(sim.Trace(), "telegram checksum spoiled"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    return failures;
}

std::string StuckCellEndsInChecksumError() {
    std::string failures;
    const std::string dir = ScenarioDir("stuck_cell");
    const std::string fw = MakeFirmware(dir, "9.04", 600);
    Sim sim(dir, {"--stuck-cell", "0x80100"});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH programming error: Checksum error"));
    return failures;
}

std::string SecondUpdateAfterPowerLoss() {
    std::string failures;
    const std::string dir = ScenarioDir("power_loss");
    const std::string fw = MakeFirmware(dir, "9.05", 3000);
    Sim sim(dir, {"--power-loss", "program"});
    const Run first = Duxk(dir, "update1", sim, {"update", fw});
    CHECK_THAT(first.status == 1);
    CHECK_THAT(Contains(first.err, "FLASH programming error"));
    const Run second = Duxk(dir, "update2", sim, {"update", fw});
    CHECK_THAT(second.status == 0);
    CHECK_THAT(Contains(second.out, "Success: Firmware transferred successfully"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += first.err + second.out + second.err;
    return failures;
}

}  // namespace

TEST(UpdateEndToEnd, ScenariosAgainstTheVirtualSensor) {
    const std::vector<std::pair<const char*, Scenario>> scenarios{
        {"successful update", SuccessfulUpdate},
        {"oversized file", OversizedFileLeavesTheSensorAlone},
        {"file replaced during the update", FileReplacedDuringTheUpdateChangesNothing},
        {"verdict C", DownloadVerdictC},
        {"text verdict", DownloadVerdictText},
        {"telegram errors", TelegramErrorsAreRecovered},
        {"stuck cell", StuckCellEndsInChecksumError},
        {"power loss", SecondUpdateAfterPowerLoss},
    };
    std::vector<std::future<std::string>> results;
    for (const auto& s : scenarios) results.push_back(std::async(std::launch::async, s.second));
    for (size_t i = 0; i < scenarios.size(); ++i) {
        const std::string failures = results[i].get();
        EXPECT_TRUE(failures.empty()) << scenarios[i].first << ":\n" << failures;
    }
    // Keep the traces of a failing run for a look; otherwise tidy up.
    if (!::testing::Test::HasFailure())
        fs::remove_all(::testing::TempDir() + "duxk_update_e2e_" + std::to_string(getpid()));
}
