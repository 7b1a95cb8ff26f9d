// Measures the processor time that the link primitives' waits cost:
//  1. ReadReply waiting 5 s with nothing arriving;
//  2. SendBytes of 4,000 bytes at 38400 baud into a pseudo-terminal whose far
//     end (a child process) reads no faster than the line rate, after the
//     pseudo-terminal's buffer has been filled so that the write must wait.
// Prints wall time, process CPU time (user + system, all threads of this
// process, not the far end) and CPU as a share of wall time.

#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Measure {
    double wall0 = WallSeconds();
    double cpu0 = CpuSeconds();
    void Report(const char* what, bool& ok) {
        double wall = WallSeconds() - wall0;
        double cpu = CpuSeconds() - cpu0;
        double share = wall > 0 ? 100.0 * cpu / wall : 0;
        std::printf("%-44s wall %7.3f s  cpu %7.4f s  %6.2f %%\n", what, wall, cpu, share);
        if (share >= 5.0) ok = false;
    }
};

int OpenMaster(std::string* slave) {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0 || grantpt(m) != 0 || unlockpt(m) != 0) return -1;
    *slave = ptsname(m);
    return m;
}

}  // namespace

int main() {
    bool ok = true;
    CDUXKSerial& ch = GetSensorChannel();

    // 1. ReadReply with nothing arriving.
    {
        std::string slave;
        int master = OpenMaster(&slave);
        if (master < 0 || ch.Open(slave.c_str(), 4000, 4000, true) != 0) {
            std::fprintf(stderr, "cannot open a pseudo-terminal\n");
            return 2;
        }
        ch.SetParams(38400, 8, NOPARITY, TWOSTOPBITS);
        ch.SetEventMask(0x01FD);
        ch.SetFlowControl(0);
        ReplyTimeout = 5.0;
        Measure m;
        char* line = ReadReply();
        m.Report("ReadReply, 5 s time-out, nothing arriving", ok);
        if (line) std::printf("  unexpected reply\n");
        ch.Close();
        close(master);
    }

    // 2. SendBytes into a slowly drained pseudo-terminal.
    {
        std::string slave;
        int master = OpenMaster(&slave);
        if (master < 0 || ch.Open(slave.c_str(), 4000, 4000, true) != 0) {
            std::fprintf(stderr, "cannot open a pseudo-terminal\n");
            return 2;
        }
        ch.SetParams(38400, 8, NOPARITY, ONESTOPBIT);
        ch.SetEventMask(0x01FD);
        ch.SetFlowControl(0);
        // Fill the pseudo-terminal until it takes no more.
        std::vector<uint8_t> fill(4096, 'f');
        size_t prefilled = 0;
        for (;;) {
            uint32_t n = 0;
            uint32_t code = ch.Write(fill.data(), static_cast<uint32_t>(fill.size()), &n, nullptr, 20);
            prefilled += n;
            if (code != 0) break;
        }
        int go[2];
        if (pipe(go) != 0) return 2;
        pid_t child = fork();
        if (child == 0) {
            // The far end: 64 bytes every 16.7 ms, about 3840 bytes/s.
            char c;
            if (read(go[0], &c, 1) != 1) _exit(1);
            char buf[64];
            for (;;) {
                if (read(master, buf, sizeof buf) <= 0) _exit(0);
                usleep(16667);
            }
        }
        std::vector<uint8_t> block(4000, 'b');
        ssize_t w = write(go[1], "g", 1);
        (void)w;
        Measure m;
        unsigned sent = SendBytes(block.data(), static_cast<unsigned>(block.size()));
        m.Report("SendBytes 4000 bytes at 38400, slow far end", ok);
        std::printf("  (%zu bytes queued before; %u sent)\n", prefilled, sent);
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        ch.Close();
        close(master);
    }
    std::printf("%s\n", ok ? "all waits under 5 % of wall time" : "a wait used 5 % or more of wall time");
    return ok ? 0 : 1;
}
