// A minimal host for testing the virtual sensor: starts duxk-sensor-sim,
// opens its pseudo-terminal with plain POSIX calls and talks to it. It uses
// nothing of the host-side libraries on purpose.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace simtest {

inline std::string BinDir() {
    const char* d = std::getenv("DUXK_BIN_DIR");
    return d ? d : "bin";
}
inline std::string BuildDir() {
    const char* d = std::getenv("DUXK_BUILD_DIR");
    return d ? d : ".";
}

inline std::string TempDir(const std::string& tag) {
    std::string t = "/tmp/duxk-simtest-" + tag + "-XXXXXX";
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back('\0');
    const char* d = mkdtemp(buf.data());
    return d ? d : "/tmp";
}

// The simulator as a child process.
class SimProcess {
public:
    ~SimProcess() {
        Stop();
        if (out_ >= 0) close(out_);
    }

    // Starts the simulator; returns the device path it printed.
    std::string Start(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        int out[2];
        if (pipe(out) != 0) return {};
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
            std::vector<std::string> all{BinDir() + "/duxk-sensor-sim"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        return ReadLine(5000).value_or("");
    }

    // A further line of the simulator's standard output (notices, replugs).
    std::optional<std::string> ReadLine(int timeoutMs) {
        std::string line;
        char c;
        pollfd p{out_, POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left < 0 || poll(&p, 1, static_cast<int>(left)) <= 0 || read(out_, &c, 1) != 1) return std::nullopt;
            if (c == '\n') return line;
            line.push_back(c);
        }
    }

    void Signal(int sig) {
        if (pid_ > 0) kill(pid_, sig);
    }

    // The exit status once the simulator has ended by itself (-1: it did
    // not end normally within the time).
    int WaitExit(int timeoutMs) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (pid_ > 0 && std::chrono::steady_clock::now() < end) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                return status_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return pid_ > 0 ? -1 : status_;
    }

    // SIGTERM and the exit status (-1 when it did not exit normally).
    int Stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return status_;
    }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int out_ = -1;
};

inline speed_t Speed(int baud) {
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    default: return B38400;
    }
}

// The host's end of the line.
class HostPort {
public:
    ~HostPort() {
        if (fd_ >= 0) close(fd_);
    }
    bool Open(const std::string& path, int baud = 38400, bool twoStopBits = false) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0) return false;
        return SetLine(baud, twoStopBits);
    }
    bool SetLine(int baud, bool twoStopBits = false) {
        termios t{};
        if (tcgetattr(fd_, &t) != 0) return false;
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (twoStopBits)
            t.c_cflag |= CSTOPB;
        else
            t.c_cflag &= ~CSTOPB;
        cfsetispeed(&t, Speed(baud));
        cfsetospeed(&t, Speed(baud));
        return tcsetattr(fd_, TCSANOW, &t) == 0;
    }
    void Write(const std::string& s) { Write(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
    void Write(const uint8_t* p, size_t n) {
        while (n > 0) {
            const ssize_t w = write(fd_, p, n);
            if (w > 0) {
                p += w;
                n -= static_cast<size_t>(w);
            } else {
                pollfd q{fd_, POLLOUT, 0};
                poll(&q, 1, 100);
            }
        }
    }
    // One byte within the time limit.
    std::optional<uint8_t> ReadByte(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            uint8_t b;
            if (read(fd_, &b, 1) == 1) return b;
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) return std::nullopt;
            poll(&p, 1, static_cast<int>(left));
        }
    }
    // A line up to LF (CR LF removed), or nothing within the time limit.
    std::optional<std::string> ReadLine(int timeoutMs) {
        std::string s;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            auto b = ReadByte(static_cast<int>(left > 0 ? left : 0));
            if (!b) return std::nullopt;
            if (*b == '\n') {
                if (!s.empty() && s.back() == '\r') s.pop_back();
                return s;
            }
            s.push_back(static_cast<char>(*b));
        }
    }
    // Everything that arrives until the line has been quiet for quietMs.
    std::string Collect(int quietMs, int maxMs = 10000) {
        std::string s;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
        while (std::chrono::steady_clock::now() < end) {
            auto b = ReadByte(quietMs);
            if (!b) break;
            s.push_back(static_cast<char>(*b));
        }
        return s;
    }
    std::string Command(const std::string& c, int quietMs = 300) {
        Write(c + "\n");
        return Collect(quietMs);
    }
    void Flush() { tcflush(fd_, TCIOFLUSH); }
    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }

private:
    int fd_ = -1;
};

// The identity reply's check as a host makes it: '@', two hex digits, one
// separator, payload whose byte sum's low 8 bits the digits give.
inline bool IdentityValid(const std::string& line) {
    if (line.size() < 4 || line[0] != '@') return false;
    unsigned sum = 0;
    for (size_t i = 4; i < line.size(); ++i) sum += static_cast<unsigned char>(line[i]);
    return std::strtoul(line.substr(1, 2).c_str(), nullptr, 16) == (sum & 0xFF);
}

// Waits until the application answers (after its start-up "boot_" time).
inline bool WaitApplication(HostPort& h, int maxMs = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (std::chrono::steady_clock::now() < end) {
        if (h.Command("appl", 200).find("oper________") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return false;
}

}  // namespace simtest
