#include "serial/PosixBaud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>
#include <cstring>

extern "C" int ioctl(int fd, unsigned long request, ...);

int SetArbitraryBaud(int fd, uint32_t rate) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return errno;
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = rate;
    tio.c_ospeed = rate;
    if (ioctl(fd, TCSETS2, &tio) != 0) return errno;
    return 0;
}

static_assert(sizeof(termios2) <= 64, "SavedLineSettings holds a termios2");

bool SavedLineSettings::Save(int fd) {
    struct termios2 tio {};
    saved_ = ioctl(fd, TCGETS2, &tio) == 0;
    if (saved_) std::memcpy(data_, &tio, sizeof tio);
    return saved_;
}

int SavedLineSettings::Restore(int fd) const {
    if (!saved_) return 0;
    struct termios2 tio {};
    std::memcpy(&tio, data_, sizeof tio);
    return ioctl(fd, TCSETS2, &tio) == 0 ? 0 : errno;
}
