#include "serial/PortDiagnosis.h"

#include "serial/PortMap.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// The process holding the port's lock (the exclusive flock every instance
// of this program and most serial tools take), as "name (pid N)".
std::string HolderOf(const std::string& device) {
    struct stat dev {};
    if (::stat(device.c_str(), &dev) != 0) return {};
    FILE* locks = std::fopen("/proc/locks", "re");
    if (!locks) return {};
    std::string found;
    char line[256];
    while (found.empty() && std::fgets(line, sizeof line, locks)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:05:6 0 EOF"
        char kind[16], mode[16], access[16];
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%lu", kind, mode, access, &pid, &major, &minor, &inode) !=
            7)
            continue;
        if (std::strcmp(kind, "FLOCK") != 0 || inode != dev.st_ino || major != ::major(dev.st_dev) ||
            minor != ::minor(dev.st_dev) || pid == ::getpid())
            continue;
        char comm[64] = {};
        const std::string commPath = "/proc/" + std::to_string(pid) + "/comm";
        if (FILE* c = std::fopen(commPath.c_str(), "re")) {
            if (std::fgets(comm, sizeof comm, c)) comm[std::strcspn(comm, "\n")] = 0;
            std::fclose(c);
        }
        found = std::string(comm[0] ? comm : "a process") + " (pid " + std::to_string(pid) + ")";
    }
    std::fclose(locks);
    return found;
}

// "COM1 (/dev/ttyS0)", or the device alone when the port was named by it.
std::string Named(const std::string& portName, const std::string& device) {
    return portName == device ? device : portName + " (" + device + ")";
}

std::string InUse(const std::string& portName, const std::string& device) {
    const std::string holder = HolderOf(device);
    return Named(portName, device) + " is in use by " + (holder.empty() ? "another program" : holder) +
           "; close it there and try again";
}

}  // namespace

std::string ShellQuote(const std::string& word) {
    bool plain = !word.empty();
    for (unsigned char c : word)
        if (!std::isalnum(c) && !std::strchr("/._-+:@,=%", c)) plain = false;
    if (plain) return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string DescribePortOpenFailure(const std::string& portName, uint32_t code) {
    if (const std::string range = ComPortRangeProblem(portName); !range.empty()) return range;
    std::string device = ResolvePortName(portName);
    char real[PATH_MAX];
    if (!device.empty() && ::realpath(device.c_str(), real)) device = real;
    if (device.empty()) {
        if (PortMapIsExplicit()) return portName + " does not exist (no link for it in DUXK_PORTS_DIR)";
        return portName + " does not exist: no port map link and no serial device left for it (see 'duxk ports')";
    }
    if (code == 2) return Named(portName, device) + " does not exist or has no device behind it";
    if (code == 1) return Named(portName, device) + " is not a serial port (not a terminal device)";
    if (code != 5) return {};

    struct stat st {};
    if (::stat(device.c_str(), &st) != 0) return Named(portName, device) + ": " + std::strerror(errno);
    // Advice on access rights is for serial devices only: for any other
    // file it would tell the user to hand a system file to a group.
    if (!S_ISCHR(st.st_mode)) return Named(portName, device) + " is not a serial port (not a terminal device)";
    if (::access(device.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        const group* g = ::getgrgid(st.st_gid);
        const std::string groupName = g ? g->gr_name : std::to_string(st.st_gid);
        const std::string quoted = ShellQuote(device);
        // Serial devices normally belong to a group with read and write
        // access (dialout); membership is what grants it.
        if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0)
            return "no permission to use " + device + ": add your user to the group '" + groupName +
                   "' (sudo usermod -aG " + ShellQuote(groupName) + " \"$USER\") and log in again";
        return "no permission to use " + device + " (owner only): give the group 'dialout' access to it " +
               "(sudo chgrp dialout " + quoted + " && sudo chmod g+rw " + quoted +
               ", or a udev rule) and add your user to that group";
    }
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EBUSY) return InUse(portName, device);
        return Named(portName, device) + ": " + std::strerror(errno);
    }
    const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    if (held) return InUse(portName, device);
    return {};
}
