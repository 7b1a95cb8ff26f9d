// Test support: a pseudo-terminal whose master side the test plays as the
// far end of the line, and small waiting helpers.
#pragma once

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

class Pty {
public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) {
            const char* name = ptsname(master_);
            if (name) slave_ = name;
        }
    }
    ~Pty() {
        if (master_ >= 0) close(master_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return master_ >= 0 && !slave_.empty(); }
    int master() const { return master_; }
    const std::string& slave() const { return slave_; }
    void CloseMaster() {
        if (master_ >= 0) close(master_);
        master_ = -1;
    }

    // Sends bytes to the port under test (blocking until all are taken).
    void Send(const void* data, size_t count) {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        size_t done = 0;
        while (done < count) {
            ssize_t n = write(master_, p + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd pf{master_, POLLOUT, 0};
                poll(&pf, 1, 100);
            } else {
                ADD_FAILURE() << "write to pty master failed: " << errno;
                return;
            }
        }
    }
    void Send(const std::string& s) { Send(s.data(), s.size()); }

    // Collects what the port under test sent, until `count` bytes have come
    // or `ms` milliseconds have passed.
    std::vector<uint8_t> Receive(size_t count, int ms) {
        std::vector<uint8_t> out;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < count) {
            uint8_t buf[4096];
            ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n > 0) {
                out.insert(out.end(), buf, buf + n);
                continue;
            }
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
            if (left <= 0) break;
            pollfd pf{master_, POLLIN, 0};
            poll(&pf, 1, static_cast<int>(left));
        }
        return out;
    }

private:
    int master_ = -1;
    std::string slave_;
};

// Polls a condition every millisecond until it holds or `ms` have passed.
inline bool WaitFor(const std::function<bool()>& pred, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline double SecondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
