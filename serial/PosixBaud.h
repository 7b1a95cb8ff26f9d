// Line speeds that have no Bnnn constant (56000, 128000, 256000): set
// through the kernel's termios2 interface, kept apart from <termios.h>,
// whose declarations clash with it.
#pragma once

#include <cstdint>

// Sets both directions of the line to `rate` baud. Returns 0 or an errno.
int SetArbitraryBaud(int fd, uint32_t rate);

// A terminal's line settings as the kernel keeps them (termios2: modes,
// control characters and both speeds, a rate without a Bnnn constant
// included), taken when a port is opened and put back when it is closed.
class SavedLineSettings {
public:
    // Takes the settings of fd; false (and nothing saved) when it cannot.
    bool Save(int fd);
    // Puts the saved settings back at once (0 or an errno; nothing saved: 0).
    int Restore(int fd) const;
    void Forget() { saved_ = false; }

private:
    alignas(8) unsigned char data_[64] = {};
    bool saved_ = false;
};
