#include "sim/Pty.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

speed_t SpeedFromBaud(int baud) {
    switch (baud) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B38400;
    }
}

}  // namespace

Pty::~Pty() { Close(); }

void Pty::Close() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
    slave_ = master_ = -1;
    gateOpen_ = true;  // a new device starts with its output flowing
}

bool Pty::Open(int baud, std::string& error) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) {
        error = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    slavePath_ = name;
    slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return false;
    }
    termios t{};
    if (tcgetattr(slave_, &t) == 0) {
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        cfsetispeed(&t, SpeedFromBaud(baud));
        cfsetospeed(&t, SpeedFromBaud(baud));
        tcsetattr(slave_, TCSANOW, &t);
    }
    return true;
}

Framing Pty::HostFraming() const {
    Framing f;
    termios t{};
    if (tcgetattr(master_, &t) != 0) return f;
    const int baud = BaudFromSpeed(cfgetospeed(&t));
    f.baud = baud > 0 ? baud : 38400;
    f.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    f.parity = (t.c_cflag & PARENB) != 0;
    return f;
}

void Pty::FlushSlaveInput() {
    if (slave_ >= 0) tcflush(slave_, TCIFLUSH);
}

void Pty::ReleaseExclusive() {
    if (slave_ >= 0) ioctl(slave_, TIOCNXCL);
}

void Pty::GateHostOutput(bool open) {
    if (slave_ < 0 || open == gateOpen_) return;
    if (tcflow(slave_, open ? TCOON : TCOOFF) == 0) gateOpen_ = open;
}

}  // namespace sim
