// A pseudo-terminal whose far end the fuzzers play: the sensor channel is
// opened on the slave side exactly as the application opens a port, and the
// fuzz input is written into the master so that it reaches the channel's
// receive ring through the comm-event thread, as a sensor's bytes would.
#pragma once

#include "serial/DUXKSerial.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

class PtyFeed {
public:
    PtyFeed() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) std::abort();
        slave_ = ptsname(master_);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
    }
    ~PtyFeed() { ::close(master_); }

    const std::string& Slave() const { return slave_; }

    // Opens the channel on the slave at 38400 8N2 with the usual event mask.
    void OpenChannel() {
        CDUXKSerial& ch = GetSensorChannel();
        if (ch.Open(slave_.c_str(), 4000, 4000, true) != 0 || ch.SetParams(38400, 8, NOPARITY, TWOSTOPBITS) != 0)
            std::abort();
        ch.SetEventMask(0x01FD);
        ch.SetFlowControl(0);
    }

    // Writes bytes into the line and waits until the ring holds all of them
    // (the ring must be large enough: callers bound their input).
    void Arrive(const uint8_t* data, size_t size) {
        CDUXKSerial& ch = GetSensorChannel();
        const uint32_t target = ch.ReceivedCount() + static_cast<uint32_t>(size);
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::write(master_, data + done, size - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{master_, POLLOUT, 0};
                ::poll(&p, 1, 10);
            } else {
                std::abort();
            }
        }
        // WaitReceived returns at once while older bytes are unread, so pace
        // the check with short sleeps (up to 5 s on a loaded machine).
        for (int i = 0; i < 5000 && ch.ReceivedCount() < target; ++i) ::usleep(1000);
        if (ch.ReceivedCount() < target) std::abort();  // bytes lost on the way in
    }

    // Throws away whatever the channel sends towards the sensor, from a
    // thread of its own, so that a long write never waits for a reader.
    void StartSwallowing() {
        std::thread([fd = master_] {
            char buf[4096];
            for (;;) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 1000) > 0 && ::read(fd, buf, sizeof buf) < 0 && errno != EAGAIN) return;
            }
        }).detach();
    }

private:
    int master_ = -1;
    std::string slave_;
};
