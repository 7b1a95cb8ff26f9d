// The sensor's end of a pseudo-terminal, played by a test, with the main
// frame opened on the other end as if the sensor had been found there.
#pragma once

#include "session/FrameUi.h"
#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace caltest {

struct Recorder : IFrameUi {
    void SetStatusText(const std::string& text) override { status.push_back(text); }
    bool EnableMenuCommands(const int*, int, bool) override { return true; }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon) override {
        boxes.push_back(caption + ": " + text);
    }
    std::vector<std::string> status, boxes;
};

class SensorPty {
public:
    SensorPty() : frame_(ui) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        const std::string slave = ptsname(master_);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        std::snprintf(frame_.m_search.szPort, sizeof frame_.m_search.szPort, "%s", slave.c_str());
        std::snprintf(frame_.m_search.szBaud, sizeof frame_.m_search.szBaud, "38400");
        opened_ = frame_.ReopenSensorPort();
        frame_.m_bSensorFound = 1;
        Expect("appl\n");
    }
    ~SensorPty() {
        GetSensorChannel().Close();
        close(master_);
    }

    bool Opened() const { return opened_; }
    CMainFrameCore& Frame() { return frame_; }

    // Sends bytes as the sensor and waits until the host's ring holds them all.
    bool Answer(const std::string& bytes) {
        const uint32_t before = GetSensorChannel().ReceivedCount();
        if (write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return false;
        for (int i = 0; i < 2000; ++i) {
            if (GetSensorChannel().ReceivedCount() >= before + bytes.size()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Everything the host sends until the line is quiet for idleMs.
    std::string Sent(int idleMs = 150) {
        std::string got;
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, idleMs) <= 0) return got;
            char buf[512];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n <= 0) return got;
            got.append(buf, static_cast<size_t>(n));
        }
    }

    // Reads exactly what is expected (or until 2 s pass) and returns it.
    std::string Expect(const std::string& expected) {
        std::string got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (got.size() < expected.size() && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char buf[512];
            const ssize_t n = read(master_, buf, expected.size() - got.size());
            if (n > 0) got.append(buf, static_cast<size_t>(n));
        }
        return got;
    }

    Recorder ui;

private:
    CMainFrameCore frame_;
    int master_ = -1;
    bool opened_ = false;
};

}  // namespace caltest
