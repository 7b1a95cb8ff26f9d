// Helpers for the search and command-line tests: a private port map and
// temporary directory, a recording front end, a scripted sensor on a raw
// pseudo-terminal, and the virtual sensor as a child process.
#pragma once

#include "session/FrameUi.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

inline std::string MakeTempDir(const char* tag) {
    std::string pattern = std::string("/tmp/duxk-") + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return {};
    return buf.data();
}

// A private DUXK_PORTS_DIR and TEMP for the life of the object.
class TempEnv {
public:
    TempEnv() : ports(MakeTempDir("ports")), temp(MakeTempDir("temp")) {
        setenv("DUXK_PORTS_DIR", ports.c_str(), 1);
        setenv("TEMP", temp.c_str(), 1);
    }
    ~TempEnv() {
        std::error_code ec;
        std::filesystem::remove_all(ports, ec);
        std::filesystem::remove_all(temp, ec);
    }
    std::string LastPortFile() const { return temp + "/DUXKUpdt.tmp"; }
    void WriteLastPortFile(const std::string& content) const {
        std::ofstream(LastPortFile(), std::ios::binary) << content;
    }
    std::string ReadLastPortFile() const {
        std::ifstream in(LastPortFile(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    void Link(int com, const std::string& target) const {
        std::string link = ports + "/com" + std::to_string(com);
        unlink(link.c_str());
        if (symlink(target.c_str(), link.c_str()) != 0) perror("symlink");
    }

    std::string ports, temp;
};

// Records what the core shows; lets a test wait for a status text.
class RecordingUi : public IFrameUi {
public:
    void SetStatusText(const std::string& text) override {
        std::lock_guard<std::mutex> lock(m_);
        status_.push_back(text);
        cv_.notify_all();
    }
    bool EnableMenuCommands(const int* ids, int count, bool enable) override {
        std::lock_guard<std::mutex> lock(m_);
        menuCalls_.push_back({std::vector<int>(ids, ids + count), enable});
        return true;
    }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon) override {
        std::lock_guard<std::mutex> lock(m_);
        boxes_.push_back(caption + ": " + text);
    }
    std::vector<std::string> Status() const {
        std::lock_guard<std::mutex> lock(m_);
        return status_;
    }
    std::vector<std::pair<std::vector<int>, bool>> MenuCalls() const {
        std::lock_guard<std::mutex> lock(m_);
        return menuCalls_;
    }
    // Waits until a status text containing `part` has been shown.
    bool WaitStatus(const std::string& part, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const auto& s : status_)
                if (s.find(part) != std::string::npos) return true;
            return false;
        });
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> status_;
    std::vector<std::pair<std::vector<int>, bool>> menuCalls_;
    std::vector<std::string> boxes_;
};

// The identity reply "@<checksum> <payload>" with a correct checksum.
inline std::string IdReply(const std::string& payload) {
    unsigned sum = 0;
    for (unsigned char c : payload) sum += c;
    char head[8];
    std::snprintf(head, sizeof head, "@%02X ", sum & 0xFF);
    return head + payload;
}

// A sensor played by the test on a raw pseudo-terminal, linked as COMn. It
// answers "id" with idLine, "appl" with "oper________" and each "spec" with
// the next entry of specListings (the last one repeats).
class PtySensor {
public:
    struct Script {
        std::string idLine;
        std::vector<std::vector<std::string>> specListings;
    };

    PtySensor(const TempEnv& env, int com, Script script) : script_(std::move(script)) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
        // Holding the slave open keeps the master readable while the host
        // closes and reopens the port.
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
        stopFd_ = eventfd(0, 0);
        env.Link(com, path_);
        thread_ = std::thread([this] { Run(); });
    }
    ~PtySensor() {
        uint64_t one = 1;
        if (write(stopFd_, &one, sizeof one) < 0) perror("eventfd");
        thread_.join();
        close(stopFd_);
        close(slave_);
        close(master_);
    }
    int SpecCount() const { return specCount_; }
    int IdCount() const { return idCount_; }
    // Every command line received so far (printable characters only).
    std::vector<std::string> Commands() const {
        std::lock_guard<std::mutex> lock(m_);
        return commands_;
    }
    // Waits until `count` command lines have been received.
    bool WaitCommands(size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return commands_.size() >= count; });
    }

private:
    void Send(const std::string& line) {
        std::string out = line + "\r\n";
        if (write(master_, out.data(), out.size()) < 0) perror("pty write");
    }
    void Handle(const std::string& cmd) {
        {
            std::lock_guard<std::mutex> lock(m_);
            commands_.push_back(cmd);
        }
        cv_.notify_all();
        if (cmd == "id") {
            ++idCount_;
            if (!script_.idLine.empty()) Send(script_.idLine);
        } else if (cmd == "appl") {
            Send("oper________");
        } else if (cmd == "spec") {
            size_t n = static_cast<size_t>(specCount_++);
            if (script_.specListings.empty()) return;
            const auto& listing = script_.specListings[std::min(n, script_.specListings.size() - 1)];
            for (const auto& l : listing) Send(l);
        }
    }
    void Run() {
        std::string line;
        for (;;) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) continue;
            char buf[256];
            ssize_t n = read(master_, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                char c = buf[i];
                if (c == '\n') {
                    Handle(line);
                    line.clear();
                } else if (c >= 0x20 && c < 0x7F) {
                    line += c;
                }
            }
        }
    }

    Script script_;
    int master_ = -1, slave_ = -1, stopFd_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<int> specCount_{0}, idCount_{0};
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> commands_;
};

// duxk-sensor-sim as a child process, linked as COMn in the private port map.
class SimProcess {
public:
    SimProcess(int com, int baud, const std::vector<std::string>& extra = {}) {
        const char* dir = getenv("DUXK_BIN_DIR");
        std::string bin = std::string(dir ? dir : "bin") + "/duxk-sensor-sim";
        std::vector<std::string> args = {bin, "--com", std::to_string(com), "--baud", std::to_string(baud)};
        args.insert(args.end(), extra.begin(), extra.end());
        int out[2];
        if (pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line names the pseudo-terminal: the sensor is ready.
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') device_ += c;
        out_ = out[0];
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
        }
        if (out_ >= 0) close(out_);
    }
    bool Ready() const { return pid_ > 0 && !device_.empty(); }
    const std::string& Device() const { return device_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string device_;
};

}  // namespace testsupport
