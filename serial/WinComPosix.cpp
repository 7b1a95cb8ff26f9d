// The port classes over POSIX: termios for the line, poll() for every wait,
// ioctl for queues, modem lines and line-error counters.
//
// The object keeps a settings record of its own (the Windows device control
// block and time-outs) because termios cannot hold all of it: pseudo-
// terminals force 8 data bits and drop parity, and nothing in termios knows
// the parity-check flag, the event character or the DTR/RTS modes. Queries
// answer from the record; setters change the record and apply what termios
// can take.
//
// Overlapped operations are carried out by the calling thread with a poll()
// bounded by the time-out, so an operation that timed out has nothing left
// outstanding, and concurrent operations on different threads each wait on
// their own poll set: none can complete or cancel another.
//
// The comm-event wait and the device-gone check never look at a terminal
// that has no input. A poll() or read() on such a terminal first waits for
// the kernel's input work on it (the worker that moves received bytes to
// the line discipline) to finish, and on a busy machine that worker, having
// just woken the reader and been preempted by it, can wait for a processor
// for longer than the protocol's one-second byte time-out. So the event
// thread waits on an edge-triggered epoll set (an edge is reported only once
// input is there), a read that follows an edge stops after a short read (it
// took everything there was), and the device-gone check asks the terminal
// for its window size, which a hung-up terminal refuses, instead of polling.

#include "serial/WinCom.h"

#include "serial/ComOverlapped.h"
#include "serial/PortAccess.h"
#include "serial/PortMap.h"
#include "serial/PosixBaud.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <memory>
#include <system_error>
#include <vector>

namespace {

constexpr uint32_t MAXDWORD_VALUE = 0xFFFFFFFFu;

using platform::Deadline;

uint64_t NowUs() { return platform::MonotonicUs(); }

// errno of a failed call on an open port → Windows code.
uint32_t IoErrorCode(int e) {
    switch (e) {
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE: return ERROR_DEVICE_NOT_CONNECTED_CODE;
    case EBADF: return ERROR_INVALID_HANDLE_CODE;
    case EACCES:
    case EPERM: return ERROR_ACCESS_DENIED_CODE;
    case ENOTTY:
    case ENOSYS: return ERROR_INVALID_FUNCTION_CODE;
    case EINVAL: return ERROR_INVALID_PARAMETER_CODE;
    default: return ERROR_GEN_FAILURE_CODE;
    }
}

// USB serial adapters hold received bytes back for their latency timer
// (16 ms by default) unless the port asks for low latency; with one echo
// per byte that wait would come on every byte. Drivers that do not know the
// request refuse it, which does no harm. True when this set the flag (it is
// taken back on close then).
bool RequestLowLatency(int fd) {
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY) != 0) return false;
    ss.flags |= ASYNC_LOW_LATENCY;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

// The port as open found it: its line settings and, when open set it, the
// low-latency flag. Every error is ignored: a device that has gone has
// nothing left to restore.
void RestorePort(int fd, const SavedLineSettings& line, bool clearLowLatency) {
    (void)line.Restore(fd);
    if (!clearLowLatency) return;
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY) == 0) return;
    ss.flags &= ~ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &ss);
}

// The open ports' restore records, for GiveBackOpenPorts: a slot is taken
// (-2) by the open that fills it and published with the descriptor; close
// withdraws it before the descriptor is closed, so that a signal never gives
// the settings to a descriptor number used again.
struct OpenPortRecord {
    std::atomic<int> fd{-1};
    SavedLineSettings line;
    bool clearLowLatency = false;
};
OpenPortRecord g_openPorts[16];

int RecordOpenPort(int fd, const SavedLineSettings& line, bool clearLowLatency) {
    for (int i = 0; i < static_cast<int>(std::size(g_openPorts)); ++i) {
        int free = -1;
        if (!g_openPorts[i].fd.compare_exchange_strong(free, -2)) continue;
        g_openPorts[i].line = line;
        g_openPorts[i].clearLowLatency = clearLowLatency;
        g_openPorts[i].fd.store(fd);
        return i;
    }
    return -1;  // more ports open than slots: these are only restored by close
}

void WithdrawOpenPort(int slot) {
    if (slot >= 0) g_openPorts[slot].fd.store(-1);
}

// errno of a failed open → Windows code.
uint32_t OpenErrorCode(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO:  // a serial device node without hardware behind it
        return ERROR_FILE_NOT_FOUND_CODE;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EROFS: return ERROR_ACCESS_DENIED_CODE;
    default: return IoErrorCode(e);
    }
}

struct BaudEntry {
    uint32_t rate;
    speed_t speed;
};

const BaudEntry kBauds[] = {
    {50, B50},           {75, B75},         {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},       {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000},
};

bool SpeedOf(uint32_t rate, speed_t* out) {
    for (const BaudEntry& b : kBauds)
        if (b.rate == rate) {
            *out = b.speed;
            return true;
        }
    return false;
}

void DrainEventFd(int fd) {
    uint64_t v;
    while (read(fd, &v, sizeof v) > 0) {}
}

void PokeEventFd(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t r = write(fd, &one, sizeof one);
    (void)r;
}

}  // namespace

// The line settings as a Windows device control block and time-outs hold
// them.
struct PortSettings {
    uint32_t baudRate = 9600;
    uint8_t byteSize = 8;
    uint8_t parity = NOPARITY;
    uint8_t stopBits = ONESTOPBIT;
    bool parityCheck = false;  // fParity
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    uint8_t dtrControl = 1;  // DTR_CONTROL_ENABLE
    uint8_t rtsControl = 1;  // RTS_CONTROL_ENABLE
    bool outX = false;
    bool inX = false;
    char eventChar = 0;
    uint32_t readInterval = MAXDWORD_VALUE;
    uint32_t readTotalMultiplier = 0;
    uint32_t readTotalConstant = 0;
};

struct CWinCom::Impl {
    std::atomic<int> fd{-1};
    int wakeFd = -1;    // eventfd: mask changes, stop requests, new output
    int cancelFd = -1;  // eventfd: raised by Close to end every blocked operation
    int waitSet = -1;   // epoll: wakeFd, cancelFd and the port (edge-triggered)
    bool overlapped = false;
    bool isPty = false;
    std::string name;
    // What open changed and close puts back.
    SavedLineSettings foundLine;
    bool clearLowLatency = false;
    int openRecord = -1;  // slot in g_openPorts

    std::mutex mu;  // settings record, operation count, closing flag
    std::condition_variable opsCv;
    int ops = 0;
    bool closing = false;
    PortSettings settings;

    std::atomic<uint32_t> eventMask{0};
    std::atomic<uint32_t> firedEvents{0};
    std::atomic<uint64_t> maskGeneration{0};
    std::atomic<bool> txPending{false};
    // A pseudo-terminal has no transmitter and reports an empty output queue
    // at once; for it the time the written bytes would take on a line at the
    // configured rate is kept here (NowUs), and the output counts as drained
    // from then on, as a UART's would.
    std::atomic<uint64_t> ptyTxFreeUs{0};
    // Set by a read after an edge that filled its buffer: more may be
    // waiting, which no new edge announces.
    std::atomic<bool> rxMaybeLeft{false};
    // A wait saw the port hang up (the device went away).
    std::atomic<bool> hungUp{false};
    std::atomic<uint32_t> lineErrors{0};

    // State of the comm-event wait (one waiter at a time).
    std::mutex waitMu;
    bool rxEdge = false;  // input arrived and has not been reported yet
    bool icountOk = false;
    serial_icounter_struct icount{};
    bool modemOk = false;
    int modemLines = 0;

    uint32_t ApplySettings(int portFd, const PortSettings& s);
    uint32_t WaitComm(int portFd, uint32_t* fired, uint32_t timeoutMs, const std::atomic<bool>* stop);
    uint32_t DoWrite(int portFd, const uint8_t* data, uint32_t count, uint32_t timeoutMs, uint32_t* written,
                     bool watched = true);
    uint32_t DoRead(int portFd, uint8_t* data, uint32_t count, uint32_t timeoutMs, uint32_t* got);
    uint32_t CollectStatus(int portFd);
    void AccountPtyOutput(uint32_t count);
    uint32_t TakeLineErrors();
    void ResetStatusBaseline(int portFd);
};

namespace {

// Counts a running operation so that Close can wait for it to leave.
class OpGuard {
public:
    explicit OpGuard(PortAccess::Impl* im) : im_(im) {
        std::lock_guard<std::mutex> lock(im_->mu);
        fd_ = im_->fd.load();
        ok_ = fd_ >= 0 && !im_->closing;
        if (ok_) ++im_->ops;
    }
    ~OpGuard() {
        if (!ok_) return;
        std::lock_guard<std::mutex> lock(im_->mu);
        if (--im_->ops == 0) im_->opsCv.notify_all();
    }
    OpGuard(const OpGuard&) = delete;
    OpGuard& operator=(const OpGuard&) = delete;
    bool ok() const { return ok_; }
    int fd() const { return fd_; }

private:
    PortAccess::Impl* im_;
    int fd_ = -1;
    bool ok_ = false;
};

// How one wait between two tries of a read or a write ended.
enum class PortWait { Ready, Quiet, TimedOut, Ended };

// Waits until the non-blocking port is ready for `events` (or reports a
// hang-up or an error: *revents), the port is being closed or the deadline
// passes. Quiet: poll's own time ran out; Ended: *code ends the call.
PortWait WaitPortReady(int portFd, int cancelFd, short events, const Deadline& deadline, short* revents,
                       uint32_t* code) {
    *revents = 0;
    const int ms = deadline.RemainingMs();
    if (ms == 0) return PortWait::TimedOut;
    pollfd pf[2] = {{portFd, events, 0}, {cancelFd, POLLIN, 0}};
    const int r = poll(pf, 2, ms);
    if (r < 0) {
        if (errno == EINTR) return PortWait::Ready;
        *code = IoErrorCode(errno);
        return PortWait::Ended;
    }
    if (r == 0) return PortWait::Quiet;
    if (pf[1].revents) {
        *code = ERROR_OPERATION_ABORTED_CODE;
        return PortWait::Ended;
    }
    *revents = pf[0].revents;
    return PortWait::Ready;
}

}  // namespace

uint32_t CWinCom::Impl::ApplySettings(int portFd, const PortSettings& s) {
    termios tio{};
    if (tcgetattr(portFd, &tio) != 0) return IoErrorCode(errno);
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    switch (s.byteSize) {
    case 5: tio.c_cflag |= CS5; break;
    case 6: tio.c_cflag |= CS6; break;
    case 7: tio.c_cflag |= CS7; break;
    default: tio.c_cflag |= CS8; break;
    }
    switch (s.parity) {
    case ODDPARITY: tio.c_cflag |= PARENB | PARODD; break;
    case EVENPARITY: tio.c_cflag |= PARENB; break;
    case MARKPARITY: tio.c_cflag |= PARENB | PARODD | CMSPAR; break;
    case SPACEPARITY: tio.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (s.stopBits != ONESTOPBIT) tio.c_cflag |= CSTOPB;
    if (s.outxCtsFlow) tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    if (s.outX) tio.c_iflag |= IXON;
    if (s.inX) tio.c_iflag |= IXOFF;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    speed_t sp;
    const bool standardRate = SpeedOf(s.baudRate, &sp);
    if (!standardRate && (s.baudRate < 50 || s.baudRate > 4000000)) return ERROR_INVALID_PARAMETER_CODE;
    if (standardRate) {
        cfsetispeed(&tio, sp);
        cfsetospeed(&tio, sp);
    }
    if (tcsetattr(portFd, TCSANOW, &tio) != 0) {
        // Some kernels refuse a change that only a real line could carry
        // out (parity on a pseudo-terminal); the record keeps it.
        if (!(isPty && errno == EINVAL)) return IoErrorCode(errno);
    }
    if (!standardRate) {
        int e = SetArbitraryBaud(portFd, s.baudRate);
        if (e != 0 && !isPty) return e == EINVAL ? ERROR_INVALID_PARAMETER_CODE : IoErrorCode(e);
    }
    // DTR and RTS as the control modes ask; devices without modem lines
    // (pseudo-terminals) simply have none.
    int set = 0, clear = 0;
    (s.dtrControl == 0 ? clear : set) |= TIOCM_DTR;
    (s.rtsControl == 0 ? clear : set) |= TIOCM_RTS;
    if (set) (void)ioctl(portFd, TIOCMBIS, &set);
    if (clear) (void)ioctl(portFd, TIOCMBIC, &clear);
    return ERROR_SUCCESS_CODE;
}

void CWinCom::Impl::ResetStatusBaseline(int portFd) {
    icountOk = ioctl(portFd, TIOCGICOUNT, &icount) == 0;
    modemOk = ioctl(portFd, TIOCMGET, &modemLines) == 0;
    lineErrors.store(0);
}

// Compares the driver's counters and modem lines with the last look; returns
// the comm events that the changes amount to and collects line errors.
uint32_t CWinCom::Impl::CollectStatus(int portFd) {
    uint32_t ev = 0;
    if (icountOk) {
        serial_icounter_struct now{};
        if (ioctl(portFd, TIOCGICOUNT, &now) == 0) {
            uint32_t errs = 0;
            if (now.frame != icount.frame) errs |= CE_FRAME;
            if (now.parity != icount.parity) errs |= CE_RXPARITY;
            if (now.overrun != icount.overrun) errs |= CE_OVERRUN;
            if (now.buf_overrun != icount.buf_overrun) errs |= CE_RXOVER;
            if (now.brk != icount.brk) {
                errs |= CE_BREAK;
                ev |= EV_BREAK;
            }
            if (errs & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER)) ev |= EV_ERR;
            lineErrors.fetch_or(errs);
            icount = now;
        }
    }
    if (modemOk) {
        int lines = 0;
        if (ioctl(portFd, TIOCMGET, &lines) == 0) {
            int changed = lines ^ modemLines;
            if (changed & TIOCM_CTS) ev |= EV_CTS;
            if (changed & TIOCM_DSR) ev |= EV_DSR;
            if (changed & TIOCM_CD) ev |= EV_RLSD;
            if (changed & TIOCM_RI) ev |= EV_RING;
            modemLines = lines;
        }
    }
    return ev;
}

// The line errors collected since the last call (the comm-event wait
// gathers them together with the events they raise).
uint32_t CWinCom::Impl::TakeLineErrors() { return lineErrors.exchange(0); }

// Waits for an event of the mask. Returns 0 with the events in *fired (0 when
// the mask was changed meanwhile or a stop was requested), 1460 when the
// time-out passed, 995 when the port is being closed, or the device's error
// when it failed or went away.
uint32_t CWinCom::Impl::WaitComm(int portFd, uint32_t* fired, uint32_t timeoutMs, const std::atomic<bool>* stop) {
    std::lock_guard<std::mutex> lock(waitMu);
    *fired = 0;
    const Deadline deadline = PortDeadline(timeoutMs);
    const uint64_t generation = maskGeneration.load();
    for (;;) {
        if (stop && stop->load()) return ERROR_SUCCESS_CODE;
        const uint32_t mask = eventMask.load();
        uint32_t ev = 0;
        int pollMs = deadline.RemainingMs();
        int64_t drainUs = -1;  // a pseudo-terminal's modelled drain, to the microsecond

        // Received bytes: each arrival is reported once (the reads that
        // follow take everything; an edge comes with the next arrival).
        if (rxMaybeLeft.exchange(false)) rxEdge = true;
        if (rxEdge && (mask & (EV_RXCHAR | EV_RXFLAG))) {
            rxEdge = false;
            ev |= EV_RXCHAR & mask;
        }
        // The device went away (or the far end of a pseudo-terminal
        // closed): said once the input that came before it is reported.
        if (hungUp.load() && !(ev & mask)) return ERROR_DEVICE_NOT_CONNECTED_CODE;
        auto shorten = [&pollMs](int ms) {
            if (pollMs < 0 || ms < pollMs) pollMs = ms;
        };

        // Output drained: watch the driver's output queue after a write.
        if (txPending.load()) {
            if (!(mask & EV_TXEMPTY)) {
                txPending.store(false);
            } else if (isPty) {
                const uint64_t now = NowUs(), free = ptyTxFreeUs.load();
                if (now >= free) {
                    txPending.store(false);
                    ev |= EV_TXEMPTY;
                } else {
                    drainUs = static_cast<int64_t>(std::min<uint64_t>(free - now, 1000000));
                }
            } else {
                int queued = 0;
                if (ioctl(portFd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
                    txPending.store(false);
                    ev |= EV_TXEMPTY;
                } else {
                    uint32_t baud;
                    {
                        std::lock_guard<std::mutex> sl(mu);
                        baud = settings.baudRate ? settings.baudRate : 9600;
                    }
                    // Look again when the queued bytes should have gone
                    // out (11 bit times each at most).
                    uint64_t ms = static_cast<uint64_t>(queued) * 11000u / baud;
                    shorten(static_cast<int>(ms < 1 ? 1 : (ms > 1000 ? 1000 : ms)));
                }
            }
        }

        // Modem lines and line errors: the driver keeps counters but offers
        // no wait that fits into poll(), so they are looked at regularly.
        if ((icountOk || modemOk) && (mask & (EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_ERR | EV_BREAK))) {
            ev |= CollectStatus(portFd);
            shorten(50);
        }

        ev &= mask;
        if (ev) {
            *fired = ev;
            return ERROR_SUCCESS_CODE;
        }
        if (pollMs == 0) return ERROR_TIMEOUT_CODE;

        // With a drain to time, the wait is as long as the drain (to the
        // microsecond); otherwise the poll time (-1: until an event).
        timespec ts{};
        const timespec* limit = nullptr;
        if (drainUs >= 0 && (pollMs < 0 || drainUs < int64_t{pollMs} * 1000)) {
            ts = {static_cast<time_t>(drainUs / 1000000), static_cast<long>(drainUs % 1000000) * 1000};
            limit = &ts;
        } else if (pollMs >= 0) {
            ts = {static_cast<time_t>(pollMs / 1000), static_cast<long>(pollMs % 1000) * 1000000};
            limit = &ts;
        }
        epoll_event got[3];
        const int r = epoll_pwait2(waitSet, got, 3, limit, nullptr);
        if (r < 0) {
            if (errno == EINTR) continue;
            return IoErrorCode(errno);
        }
        uint32_t portEvents = 0;
        bool woken = false;
        for (int k = 0; k < r; ++k) {
            if (got[k].data.fd == cancelFd) return ERROR_OPERATION_ABORTED_CODE;
            if (got[k].data.fd == wakeFd) woken = true;
            if (got[k].data.fd == portFd) portEvents |= got[k].events;
        }
        if (portEvents & EPOLLIN) rxEdge = true;
        if (woken) {
            DrainEventFd(wakeFd);
            if ((stop && stop->load()) || maskGeneration.load() != generation) return ERROR_SUCCESS_CODE;
        }
        // An edge is reported once: a hang-up is kept until it is said.
        if (portEvents & (EPOLLHUP | EPOLLERR)) hungUp.store(true);
    }
}

uint32_t CWinCom::Impl::DoWrite(int portFd, const uint8_t* data, uint32_t count, uint32_t timeoutMs, uint32_t* written,
                                bool watched) {
    *written = 0;
    const Deadline deadline = PortDeadline(timeoutMs);
    uint32_t code = ERROR_SUCCESS_CODE;
    while (*written < count) {
        ssize_t n = write(portFd, data + *written, count - *written);
        if (n > 0) {
            *written += static_cast<uint32_t>(n);
            if (isPty) AccountPtyOutput(static_cast<uint32_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            code = IoErrorCode(errno);
            break;
        }
        short revents = 0;
        const PortWait wait = WaitPortReady(portFd, cancelFd, POLLOUT, deadline, &revents, &code);
        if (wait == PortWait::TimedOut || wait == PortWait::Quiet) {
            code = ERROR_TIMEOUT_CODE;
            break;
        }
        if (wait == PortWait::Ended) break;
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
            code = ERROR_DEVICE_NOT_CONNECTED_CODE;
            break;
        }
    }
    if (*written > 0 && watched) {
        txPending.store(true);
        PokeEventFd(wakeFd);
    }
    return code;
}

// The line time of `count` bytes just handed to a pseudo-terminal, queued
// behind what is still on the modelled line.
void CWinCom::Impl::AccountPtyOutput(uint32_t count) {
    PortSettings s;
    {
        std::lock_guard<std::mutex> lock(mu);
        s = settings;
    }
    double bits = 1.0 + s.byteSize + (s.parity != NOPARITY ? 1 : 0);
    bits += s.stopBits == TWOSTOPBITS ? 2.0 : s.stopBits == ONE5STOPBITS ? 1.5 : 1.0;
    const uint64_t lineUs = static_cast<uint64_t>(bits * 1e6 * count / (s.baudRate ? s.baudRate : 9600));
    const uint64_t now = NowUs();
    const uint64_t free = ptyTxFreeUs.load();
    ptyTxFreeUs.store(std::max(free, now) + lineUs);
}

uint32_t CWinCom::Impl::DoRead(int portFd, uint8_t* data, uint32_t count, uint32_t timeoutMs, uint32_t* got) {
    *got = 0;
    uint32_t interval, multiplier, constant;
    {
        std::lock_guard<std::mutex> lock(mu);
        interval = settings.readInterval;
        multiplier = settings.readTotalMultiplier;
        constant = settings.readTotalConstant;
    }
    // Interval MAXDWORD with no total time-out: return at once with what is
    // there. Otherwise wait for all requested bytes (within the total
    // time-out when one is set, and the caller's time-out).
    const bool immediate = interval == MAXDWORD_VALUE && multiplier == 0 && constant == 0;
    uint64_t limit = timeoutMs == INFINITE_TIMEOUT ? UINT64_MAX : timeoutMs;
    bool totalLimited = false;
    if (!immediate && (multiplier || constant)) {
        uint64_t total = static_cast<uint64_t>(multiplier) * count + constant;
        if (total < limit) {
            limit = total;
            totalLimited = true;
        }
    }
    const Deadline deadline = limit == UINT64_MAX ? Deadline::Never() : Deadline::In(limit);
    uint32_t code = ERROR_SUCCESS_CODE;
    while (*got < count) {
        ssize_t n = read(portFd, data + *got, count - *got);
        if (n > 0) {
            *got += static_cast<uint32_t>(n);
            // One read takes all there is: asking again would ask an empty
            // terminal (see the top of this file). A read that filled the
            // buffer may have left more, which no edge will announce.
            if (immediate) {
                if (*got == count) rxMaybeLeft.store(true);
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            code = IoErrorCode(errno);
            break;
        }
        if (immediate) break;
        short revents = 0;
        const PortWait wait = WaitPortReady(portFd, cancelFd, POLLIN, deadline, &revents, &code);
        if (wait == PortWait::TimedOut) {
            code = totalLimited ? ERROR_SUCCESS_CODE : ERROR_TIMEOUT_CODE;
            break;
        }
        if (wait == PortWait::Ended) break;
        // Bytes still to read come before the hang-up.
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) && !(revents & POLLIN)) {
            code = ERROR_DEVICE_NOT_CONNECTED_CODE;
            break;
        }
    }
    if (code == ERROR_DEVICE_NOT_CONNECTED_CODE) hungUp.store(true);
    return code;
}

// ---------------------------------------------------------------- CWinCom

CWinCom::CWinCom() : impl_(new Impl) {}

CWinCom::~CWinCom() {
    CWinCom::Close();
    delete impl_;
}

bool CWinCom::IsOpen() const { return impl_->fd.load() >= 0; }

bool CWinCom::IsDeviceGone() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const int fd = impl_->fd.load();
    if (fd < 0) return false;
    if (impl_->hungUp.load()) return true;
    // Not poll(): on a terminal without input it would wait for the input
    // work in progress (see the top of this file). A terminal that has been
    // hung up (its adapter unplugged, the far end of a pseudo-terminal
    // closed) refuses every request with EIO; the window size is one that
    // touches neither the input nor the line settings.
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 || (errno != EIO && errno != ENXIO && errno != ENODEV)) return false;
    impl_->hungUp.store(true);
    return true;
}

std::string CWinCom::PortName() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->fd.load() >= 0 ? impl_->name : std::string();
}

uint32_t CWinCom::Open(const char* portName, uint32_t inQueue, uint32_t outQueue, bool flag) {
    (void)inQueue;  // the driver's queues are fixed; sizes are advisory
    (void)outQueue;
    if (IsOpen()) {
        lastError = ERROR_ALREADY_INITIALIZED_CODE;
        return lastError;
    }
    std::string name = portName ? portName : "";
    std::string device = ResolvePortName(name);
    if (device.empty()) {
        lastError = ERROR_FILE_NOT_FOUND_CODE;
        return lastError;
    }
    // Only terminal devices are ports: anything else (a file, a FIFO, a
    // disk) is refused before it is opened, and again on the descriptor
    // before any configuration, in case the name was swapped meanwhile.
    struct stat named {};
    if (::stat(device.c_str(), &named) != 0) {
        lastError = OpenErrorCode(errno);
        return lastError;
    }
    if (!S_ISCHR(named.st_mode)) {
        lastError = ERROR_INVALID_FUNCTION_CODE;
        return lastError;
    }
    int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        lastError = OpenErrorCode(errno);
        return lastError;
    }
    uint32_t code = ERROR_SUCCESS_CODE;
    termios probe{};
    struct stat opened {};
    SavedLineSettings foundLine;
    bool lowLatencySet = false;
    if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) || !isatty(fd) || tcgetattr(fd, &probe) != 0) {
        code = ERROR_INVALID_FUNCTION_CODE;
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Held by another descriptor of this or another process.
        code = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED_CODE : OpenErrorCode(errno);
    } else {
        (void)ioctl(fd, TIOCEXCL);
        // The line as it was found, for close to put back.
        foundLine.Save(fd);
        lowLatencySet = RequestLowLatency(fd);
    }
    int wakeFd = -1, cancelFd = -1, waitSet = -1;
    if (code == ERROR_SUCCESS_CODE) {
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        cancelFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        waitSet = epoll_create1(EPOLL_CLOEXEC);
        if (wakeFd < 0 || cancelFd < 0 || waitSet < 0) code = IoErrorCode(errno);
        const std::pair<int, uint32_t> watched[] = {{wakeFd, EPOLLIN}, {cancelFd, EPOLLIN}, {fd, EPOLLIN | EPOLLET}};
        for (const auto& [watchedFd, events] : watched) {
            epoll_event e{};
            e.events = events;
            e.data.fd = watchedFd;
            if (code == ERROR_SUCCESS_CODE && epoll_ctl(waitSet, EPOLL_CTL_ADD, watchedFd, &e) != 0)
                code = IoErrorCode(errno);
        }
    }
    if (code != ERROR_SUCCESS_CODE) {
        if (waitSet >= 0) ::close(waitSet);
        if (wakeFd >= 0) ::close(wakeFd);
        if (cancelFd >= 0) ::close(cancelFd);
        RestorePort(fd, foundLine, lowLatencySet);
        (void)ioctl(fd, TIOCNXCL);
        ::close(fd);
        lastError = code;
        return code;
    }
    struct stat st {};
    bool pty = fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->wakeFd = wakeFd;
        impl_->cancelFd = cancelFd;
        impl_->waitSet = waitSet;
        impl_->overlapped = flag;
        impl_->isPty = pty;
        impl_->name = name;
        impl_->foundLine = foundLine;
        impl_->clearLowLatency = lowLatencySet;
        impl_->openRecord = RecordOpenPort(fd, foundLine, lowLatencySet);
        impl_->closing = false;
        impl_->settings = PortSettings{};
        impl_->eventMask = 0;
        impl_->firedEvents = 0;
        impl_->txPending = false;
        impl_->ptyTxFreeUs = 0;
        impl_->rxMaybeLeft = false;
        impl_->hungUp = false;
        impl_->fd = fd;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->waitMu);
        // Input that came before the open announces itself by the edge the
        // epoll set reports for it at once.
        impl_->rxEdge = false;
        impl_->ResetStatusBaseline(fd);
    }
    lastError = ERROR_SUCCESS_CODE;

    SetEventMask(EV_RXCHAR | EV_BREAK | EV_ERR);
    uint32_t timeoutCode = SetTimeoutMode(0);

    // Back to the default configuration (9600 8N1, DTR and RTS on, no flow
    // control); callers set their own line afterwards. Its outcome, like
    // that of the event mask, does not decide the result.
    {
        PortSettings defaults;
        {
            std::lock_guard<std::mutex> lock(impl_->mu);
            defaults.readInterval = impl_->settings.readInterval;
            defaults.readTotalMultiplier = impl_->settings.readTotalMultiplier;
            defaults.readTotalConstant = impl_->settings.readTotalConstant;
        }
        if (impl_->ApplySettings(fd, defaults) == ERROR_SUCCESS_CODE) {
            std::lock_guard<std::mutex> lock(impl_->mu);
            impl_->settings = defaults;
        }
    }
    lastError = timeoutCode;
    return lastError;
}

uint32_t CWinCom::Close() {
    lastError = ERROR_SUCCESS_CODE;
    std::unique_lock<std::mutex> lock(impl_->mu);
    int fd = impl_->fd.load();
    if (fd < 0) return 0;
    impl_->closing = true;
    PokeEventFd(impl_->cancelFd);
    impl_->opsCv.wait(lock, [this] { return impl_->ops == 0; });
    // Bytes still on their way go out at the line's rate first (a UART's
    // queue; for a while at most, flow control may hold them for ever), then
    // the port gets back what open changed.
    if (!impl_->isPty) {
        int queued = 0;
        const uint32_t baud = impl_->settings.baudRate ? impl_->settings.baudRate : 9600;
        if (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0)
            std::this_thread::sleep_for(std::chrono::microseconds(
                std::min<uint64_t>(static_cast<uint64_t>(queued) * 12000000u / baud + 2000, 1000000)));
    }
    RestorePort(fd, impl_->foundLine, impl_->clearLowLatency);
    WithdrawOpenPort(impl_->openRecord);
    impl_->openRecord = -1;
    impl_->foundLine.Forget();
    impl_->clearLowLatency = false;
    (void)ioctl(fd, TIOCNXCL);
    ::close(fd);
    ::close(impl_->wakeFd);
    ::close(impl_->cancelFd);
    ::close(impl_->waitSet);
    impl_->wakeFd = impl_->cancelFd = impl_->waitSet = -1;
    impl_->fd = -1;
    impl_->closing = false;
    impl_->name.clear();
    return 0;
}

uint32_t CWinCom::SetParams(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (byteSize < 5 || byteSize > 8 || parity > SPACEPARITY || stopBits > TWOSTOPBITS)
        return lastError = ERROR_INVALID_PARAMETER_CODE;
    std::lock_guard<std::mutex> lock(impl_->mu);
    PortSettings s = impl_->settings;
    s.baudRate = baudRate;
    s.byteSize = byteSize;
    s.parity = parity;
    s.stopBits = stopBits;
    s.parityCheck = parity != NOPARITY;
    uint32_t code = impl_->ApplySettings(op.fd(), s);
    if (code == ERROR_SUCCESS_CODE) impl_->settings = s;
    return lastError = code;
}

uint32_t CWinCom::SetEventChar(char ch, bool addToMask) {
    {
        OpGuard op(impl_);
        if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    }
    if (addToMask) SetEventMask(GetEventMask() | EV_RXFLAG);
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->settings.eventChar = ch;
    return lastError = ERROR_SUCCESS_CODE;
}

uint32_t CWinCom::SetEventMask(uint32_t mask) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    impl_->eventMask = mask;
    // A pending comm-event wait completes (with no events).
    impl_->maskGeneration.fetch_add(1);
    PokeEventFd(impl_->wakeFd);
    return lastError = ERROR_SUCCESS_CODE;
}

uint32_t CWinCom::WaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (!impl_->overlapped && (overlapped || timeoutMs != INFINITE_TIMEOUT))
        return lastError = ERROR_INVALID_FUNCTION_CODE;
    uint32_t fired = 0;
    if (overlapped) {
        // The caller's record is signalled when the wait is over; the wait
        // itself is carried out here.
        overlapped->Reset();
        uint32_t code = impl_->WaitComm(op.fd(), &fired, INFINITE_TIMEOUT, nullptr);
        impl_->firedEvents = fired;
        overlapped->Set(code, 0);
        return lastError = code;
    }
    uint32_t code = impl_->WaitComm(op.fd(), &fired, timeoutMs, nullptr);
    if (code == ERROR_SUCCESS_CODE) impl_->firedEvents = fired;
    return lastError = code;
}

uint32_t CWinCom::SetFlowControl(int mode) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (mode < 0 || mode > 2) return lastError = E_INVALIDARG_CODE;
    std::lock_guard<std::mutex> lock(impl_->mu);
    PortSettings s = impl_->settings;
    s.outxCtsFlow = s.outxDsrFlow = mode == 1;
    s.dtrControl = s.rtsControl = mode == 1 ? 2 : 0;
    s.outX = s.inX = mode == 2;
    uint32_t code = impl_->ApplySettings(op.fd(), s);
    if (code == ERROR_SUCCESS_CODE) impl_->settings = s;
    return lastError = code;
}

uint32_t CWinCom::SetTimeoutMode(int mode) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (mode != 0 && mode != 1) return lastError = E_INVALIDARG_CODE;
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->settings.readInterval = mode == 0 ? MAXDWORD_VALUE : 0;
    impl_->settings.readTotalMultiplier = 0;
    impl_->settings.readTotalConstant = 0;
    return lastError = ERROR_SUCCESS_CODE;
}

namespace {
template <typename F>
int32_t QuerySettings(PortAccess::Impl* im, std::atomic<uint32_t>& lastError, F f) {
    OpGuard op(im);
    if (!op.ok()) {
        lastError = ERROR_INVALID_HANDLE_CODE;
        return -1;
    }
    std::lock_guard<std::mutex> lock(im->mu);
    lastError = ERROR_SUCCESS_CODE;
    return f(im->settings);
}
}  // namespace

int32_t CWinCom::GetBaudRate() {
    return QuerySettings(impl_, lastError, [](const PortSettings& s) { return static_cast<int32_t>(s.baudRate); });
}

int32_t CWinCom::GetByteSize() {
    return QuerySettings(impl_, lastError, [](const PortSettings& s) { return static_cast<int32_t>(s.byteSize); });
}

int32_t CWinCom::GetParity() {
    return QuerySettings(impl_, lastError,
                         [](const PortSettings& s) { return s.parityCheck ? static_cast<int32_t>(s.parity) : 0; });
}

int32_t CWinCom::GetStopBits() {
    return QuerySettings(impl_, lastError, [](const PortSettings& s) { return static_cast<int32_t>(s.stopBits); });
}

int32_t CWinCom::GetFlowControl() {
    return QuerySettings(impl_, lastError, [](const PortSettings& s) {
        if (s.dtrControl == 2 && s.rtsControl == 2) return 1;
        if (s.outX && s.inX) return 2;
        return 0;
    });
}

uint32_t CWinCom::GetEventMask() {
    if (!IsOpen()) {
        lastError = ERROR_INVALID_HANDLE_CODE;
        return 0;
    }
    lastError = ERROR_SUCCESS_CODE;
    return impl_->eventMask.load();
}

char CWinCom::GetEventChar() {
    int32_t v = QuerySettings(impl_, lastError, [](const PortSettings& s) {
        return static_cast<int32_t>(static_cast<unsigned char>(s.eventChar));
    });
    return v < 0 ? 0 : static_cast<char>(v);
}

uint32_t CWinCom::Write(const void* data, uint32_t count, uint32_t* countOut, ComOverlapped* overlapped,
                        uint32_t timeoutMs) {
    return WriteOp(data, count, countOut, overlapped, timeoutMs, true);
}

uint32_t CWinCom::WriteUnwatched(const void* data, uint32_t count, uint32_t* countOut) {
    return WriteOp(data, count, countOut, nullptr, INFINITE_TIMEOUT, false);
}

uint32_t CWinCom::WriteOp(const void* data, uint32_t count, uint32_t* countOut, ComOverlapped* overlapped,
                          uint32_t timeoutMs, bool watched) {
    if (countOut) *countOut = 0;
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (!impl_->overlapped && (overlapped || timeoutMs != INFINITE_TIMEOUT))
        return lastError = ERROR_INVALID_FUNCTION_CODE;
    uint32_t written = 0;
    uint32_t code = ERROR_SUCCESS_CODE;
    if (count > 0 && data)
        code = impl_->DoWrite(op.fd(), static_cast<const uint8_t*>(data), count,
                              overlapped ? INFINITE_TIMEOUT : timeoutMs, &written, watched);
    if (countOut) *countOut = written;
    if (overlapped) overlapped->Set(code, written);
    return lastError = code;
}

uint32_t CWinCom::Read(void* buffer, uint32_t count, uint32_t* countOut, ComOverlapped* overlapped,
                       uint32_t timeoutMs) {
    if (countOut) *countOut = 0;
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (!impl_->overlapped && (overlapped || timeoutMs != INFINITE_TIMEOUT))
        return lastError = ERROR_INVALID_FUNCTION_CODE;
    uint32_t got = 0;
    uint32_t code = ERROR_SUCCESS_CODE;
    if (count > 0 && buffer)
        code = impl_->DoRead(op.fd(), static_cast<uint8_t*>(buffer), count, overlapped ? INFINITE_TIMEOUT : timeoutMs,
                             &got);
    if (countOut) *countOut = got;
    if (overlapped) overlapped->Set(code, got);
    return lastError = code;
}

uint32_t CWinCom::TakeEvents() { return impl_->firedEvents.exchange(0) & impl_->eventMask.load(); }

bool CWinCom::IsCarrierOn() {
    OpGuard op(impl_);
    if (!op.ok()) {
        lastError = ERROR_INVALID_HANDLE_CODE;
        return false;
    }
    int lines = 0;
    if (ioctl(op.fd(), TIOCMGET, &lines) != 0) {
        lastError = IoErrorCode(errno);
        return false;
    }
    lastError = ERROR_SUCCESS_CODE;
    return (lines & TIOCM_CD) != 0;
}

// ------------------------------------------------- event-thread hooks

uint32_t PortAccess::WaitForEvents(CWinCom& port, const std::atomic<bool>& stop, uint32_t* events, uint32_t* errors) {
    *events = *errors = 0;
    Impl* im = port.impl_;
    uint32_t fired = 0;
    uint32_t code;
    {
        OpGuard op(im);
        code = op.ok() ? im->WaitComm(op.fd(), &fired, INFINITE_TIMEOUT, &stop) : ERROR_INVALID_HANDLE_CODE;
    }
    if (code != ERROR_SUCCESS_CODE || stop.load()) return code;
    im->firedEvents = fired;
    *events = port.TakeEvents();
    *errors = im->TakeLineErrors();
    return ERROR_SUCCESS_CODE;
}

void PortAccess::Wake(CWinCom& port) { PokeEventFd(port.impl_->wakeFd); }

void GiveBackOpenPorts() noexcept {
    const int saved = errno;
    for (OpenPortRecord& r : g_openPorts) {
        const int fd = r.fd.load();
        if (fd >= 0) RestorePort(fd, r.line, r.clearLowLatency);
    }
    errno = saved;
}
