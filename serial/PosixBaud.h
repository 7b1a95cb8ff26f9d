// Line speeds that have no Bnnn constant (56000, 128000, 256000): set
// through the kernel's termios2 interface, kept apart from <termios.h>,
// whose declarations clash with it.
#pragma once

#include <cstdint>

// Sets both directions of the line to `rate` baud. Returns 0 or an errno.
int SetArbitraryBaud(int fd, uint32_t rate);
