// The pseudo-terminal the virtual sensor sits on. The host opens the slave
// side like a serial device; the sensor reads and writes the master side.
#pragma once

#include <string>

#include "sim/Uart.h"

namespace sim {

class Pty {
public:
    Pty() = default;
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Opens a raw pseudo-terminal at `baud`. The sensor keeps a descriptor
    // of the slave open itself so that the master never sees a hang-up
    // while no host has the device open.
    bool Open(int baud, std::string& error);
    // Closes both sides: a host holding the device sees a hang-up.
    void Close();
    int Master() const { return master_; }
    const std::string& SlavePath() const { return slavePath_; }

    // The line settings the host gave the slave side. On Linux the master
    // reads back the slave's termios: speed and stop bits are visible,
    // parity is not (pseudo-terminals drop it).
    Framing HostFraming() const;
    // Drops what is waiting unread at the slave side.
    void FlushSlaveInput();
    // Holds the host's writes back (closed) or lets them through (open). A
    // pseudo-terminal takes whatever the host writes at once; stopping the
    // slave's output makes the host's writes wait, as they wait for a real
    // UART's transmitter.
    void GateHostOutput(bool open);
    // Ends a host's exclusive use (TIOCEXCL) of the device. The kernel ends
    // it with a real port's last close; here the sensor's own descriptor
    // keeps the device open, so a host killed before it could end it would
    // lock every later one out.
    void ReleaseExclusive();

private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
    bool gateOpen_ = true;
};

}  // namespace sim
