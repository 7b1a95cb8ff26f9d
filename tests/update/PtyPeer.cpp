#include "PtyPeer.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

PtyPeer::PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0) return;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0) {
        close(master_);
        master_ = -1;
        return;
    }
    slavePath_ = ptsname(master_);
    termios tio{};
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    // Holding the slave open keeps the master readable while the host has
    // its port closed between the phases of an update.
    slaveKeep_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY);
    if (slaveKeep_ >= 0) {
        termios st{};
        tcgetattr(slaveKeep_, &st);
        cfmakeraw(&st);
        tcsetattr(slaveKeep_, TCSANOW, &st);
    }
}

PtyPeer::~PtyPeer() {
    if (slaveKeep_ >= 0) close(slaveKeep_);
    if (master_ >= 0) close(master_);
}

void PtyPeer::CloseMaster() {
    if (slaveKeep_ >= 0) close(slaveKeep_);
    if (master_ >= 0) close(master_);
    slaveKeep_ = master_ = -1;
}

bool PtyPeer::ReadByte(uint8_t& byte, int timeoutMs) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left < 0) return false;
        pollfd p{master_, POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = read(master_, &byte, 1);
        if (n == 1) return true;
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // EIO while no one has the slave open: wait a little and look again.
        poll(nullptr, 0, 5);
    }
}

std::vector<uint8_t> PtyPeer::Read(size_t count, int timeoutMs) {
    std::vector<uint8_t> out;
    uint8_t b;
    while (out.size() < count && ReadByte(b, timeoutMs)) out.push_back(b);
    return out;
}

std::vector<uint8_t> PtyPeer::ReadChunk(int firstMs, int idleMs) {
    std::vector<uint8_t> out;
    uint8_t b;
    if (!ReadByte(b, firstMs)) return out;
    out.push_back(b);
    while (ReadByte(b, idleMs)) out.push_back(b);
    return out;
}

std::string PtyPeer::ReadLine(int timeoutMs) {
    std::string line;
    uint8_t b;
    while (ReadByte(b, timeoutMs)) {
        line += static_cast<char>(b);
        if (b == '\n') return line;
    }
    return {};
}

void PtyPeer::Write(const void* data, size_t count) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (count > 0) {
        const ssize_t n = write(master_, p, count);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                poll(nullptr, 0, 1);
                continue;
            }
            return;
        }
        p += n;
        count -= static_cast<size_t>(n);
    }
}

bool PtyPeer::SendEchoed(uint8_t byte, int timeoutMs) {
    Write(&byte, 1);
    uint8_t echo = 0;
    return ReadByte(echo, timeoutMs) && echo == byte;
}
