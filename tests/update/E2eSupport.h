// Helpers of the end-to-end tests: the virtual sensor with its own state and
// trace per scenario, duxk runs on its device, sample firmware files.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace e2e {

inline std::string BinDir() {
    const char* d = std::getenv("DUXK_BIN_DIR");
    return d ? d : "bin";
}

inline std::string ReadAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Starts a program with its output in files. It gets a TEMP of its own, the
// directory of its output files: a failed update leaves its marker there,
// never in the user's directory or another scenario's.
inline pid_t Spawn(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
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

// A virtual sensor for one scenario, with its own state and trace. Paced
// unless asked otherwise, its line runs at the rate of a real one; its erase
// takes 50 ms a sector unless the part's data-sheet time is asked for.
class Sim {
public:
    Sim(const std::string& dir, std::vector<std::string> extra, int baud = 38400, bool dataSheetErase = false,
        bool paced = true)
        : dir_(dir), baud_(baud) {
        std::filesystem::create_directories(dir_ + "/state");
        std::vector<std::string> args{BinDir() + "/duxk-sensor-sim", "--state", dir_ + "/state",     "--trace",
                                      dir_ + "/sim.trace",           "--baud",  std::to_string(baud)};
        if (paced) args.push_back("--pace");
        if (!dataSheetErase) args.insert(args.end(), {"--erase-ms", "50"});
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = Spawn(args, dir_ + "/sim.out", dir_ + "/sim.err");
        // The first line of its output names the device.
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
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;
    const std::string& Device() const { return device_; }
    int Baud() const { return baud_; }
    std::string Trace() const { return ReadAll(dir_ + "/sim.trace"); }
    std::string Flash() const { return ReadAll(dir_ + "/state/flash.bin"); }

private:
    std::string dir_;
    int baud_;
    pid_t pid_ = -1;
    std::string device_;
};

struct Run {
    int status = -1;
    std::string out, err;
};

// One duxk invocation on the sensor's device at its rate.
inline Run Duxk(const std::string& dir, const std::string& name, const Sim& sim, std::vector<std::string> args) {
    std::vector<std::string> all{BinDir() + "/duxk", "--port", sim.Device(), "--baud", std::to_string(sim.Baud())};
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

inline std::string MakeFirmware(const std::string& dir, const std::string& version, int size,
                                const std::string& name = "fw.bin") {
    const std::string path = dir + "/" + name;
    const std::string cmd =
        BinDir() + "/duxk-mkfw " + path + " --version " + version + " --size " + std::to_string(size) + " > /dev/null";
    if (std::system(cmd.c_str()) != 0) return {};
    return path;
}

// A fresh directory for one scenario of one test binary.
inline std::string ScenarioDir(const std::string& test, const std::string& name) {
    std::string dir = ::testing::TempDir() + test + "_" + std::to_string(getpid()) + "/" + name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace e2e
