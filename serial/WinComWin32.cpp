// The port classes over the Windows communications functions: CreateFileA on
// the COM device, the DCB and time-outs through Get/SetCommState and
// Get/SetCommTimeouts, overlapped ReadFile, WriteFile and WaitCommEvent.
//
// The port is always opened for overlapped I/O; a port opened without it
// only refuses overlapped records and finite time-outs, as the contract
// says. Every operation runs with an event of its own and is waited for by
// the thread that started it, together with the port's cancel event: one
// that times out or meets Close is cancelled (CancelIo cancels the calling
// thread's I/O only) and its end awaited, so nothing is left outstanding and
// concurrent operations never complete or cancel each other.
//
// Some drivers cannot wait for comm events: Wine's ports backed by a
// pseudo-terminal have no modem lines, so WaitCommEvent fails there with 50
// (a mask with modem-line events) or ends at once as cancelled. On such a
// port the comm-event wait looks at the queues and line errors with
// ClearCommError instead, every few milliseconds and at once after a write.
// Wine's overlapped ReadFile also waits for data under the return-at-once
// time-outs (read mode 0); a read in that mode therefore asks ClearCommError
// how many bytes are waiting and reads no more than that, which is what the
// time-outs mean anyway.

#include "serial/WinCom.h"

#include "serial/ComOverlapped.h"
#include "serial/PortAccess.h"
#include "serial/PortMap.h"

#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// How often a port without comm-event waits is looked at: every 5 ms while
// the line is in use, every 100 ms once it has been quiet for a second (no
// byte either way, nothing written). Bytes from the sensor follow the host's
// own writes, and a write wakes the look at once, so only a sensor that
// speaks unasked after a quiet second is seen up to 100 ms late; an idle
// program no longer looks 200 times a second.
constexpr DWORD kPollIntervalMs = 5;
constexpr DWORD kIdlePollIntervalMs = 100;
constexpr ULONGLONG kQuietBeforeIdleMs = 1000;

constexpr uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;

DWORD WaitMs(uint32_t timeoutMs) { return timeoutMs == INFINITE_TIMEOUT ? INFINITE : static_cast<DWORD>(timeoutMs); }

// Errors that say the device behind an open handle has gone (an adapter
// unplugged, a driver that gave up).
bool IsDeviceGoneError(DWORD e) {
    switch (e) {
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED: return true;
    default: return false;
    }
}

// How an overlapped operation ended.
struct OpEnd {
    uint32_t code = ERROR_SUCCESS_CODE;  // 0, or the failure code
    DWORD count = 0;                     // bytes transferred
    bool byItself = true;                // completed or failed on its own, not cancelled by us
    bool woken = false;                  // cancelled because the wake event was raised
};

// Starts an overlapped operation with an event of its own and waits for its
// end, for the time-out (1460), for the cancel event (995) or for the wake
// event when one is given; the operation is cancelled in the last three
// cases and its end awaited, since its buffers are in use until then.
template <typename Start>
OpEnd RunOverlapped(HANDLE port, HANDLE cancelEvent, HANDLE wakeEvent, uint32_t timeoutMs, Start start) {
    OpEnd end;
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) {
        end.code = GetLastError();
        return end;
    }
    if (!start(&ov)) {
        const DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING) {
            CloseHandle(ov.hEvent);
            end.code = e;
            return end;
        }
        HANDLE handles[3] = {ov.hEvent, cancelEvent, wakeEvent};
        const DWORD r = WaitForMultipleObjects(wakeEvent ? 3 : 2, handles, FALSE, WaitMs(timeoutMs));
        if (r != WAIT_OBJECT_0) {
            end.byItself = false;
            if (r == WAIT_TIMEOUT)
                end.code = ERROR_TIMEOUT_CODE;
            else if (r == WAIT_OBJECT_0 + 1)
                end.code = ERROR_OPERATION_ABORTED_CODE;
            else if (r == WAIT_OBJECT_0 + 2)
                end.woken = true;
            else
                end.code = GetLastError();
            CancelIo(port);
        }
    }
    DWORD count = 0;
    if (GetOverlappedResult(port, &ov, &count, TRUE)) {
        // Done, possibly just before the cancel took effect: it counts.
        end.code = ERROR_SUCCESS_CODE;
        end.byItself = true;
        end.woken = false;
    } else if (end.byItself) {
        end.code = GetLastError();
    }
    end.count = count;
    CloseHandle(ov.hEvent);
    return end;
}

}  // namespace

struct CWinCom::Impl {
    std::mutex mu;  // handle, closing flag, operation count; one settings change at a time
    std::condition_variable opsCv;
    std::atomic<HANDLE> port{INVALID_HANDLE_VALUE};
    HANDLE cancelEvent = nullptr;  // manual reset: raised by Close, ends every blocked operation
    HANDLE wakeEvent = nullptr;    // auto reset: ends the event thread's wait
    bool overlapped = false;
    bool closing = false;
    std::atomic<bool> readAtOnce{true};  // read time-out mode 0
    int ops = 0;
    std::string name;

    std::atomic<uint32_t> eventMask{0};
    std::atomic<uint32_t> firedEvents{0};
    std::atomic<uint64_t> maskGeneration{0};
    std::atomic<uint32_t> lineErrors{0};
    std::atomic<bool> gone{false};  // an operation failed because the device went away

    // Comm events looked for with ClearCommError (the driver cannot wait).
    std::atomic<bool> polled{false};
    std::atomic<bool> txPending{false};
    std::atomic<uint64_t> readGeneration{0};

    // State of the comm-event wait (one waiter at a time).
    std::mutex waitMu;
    bool rxReported = false;
    uint64_t rxReportedGeneration = 0;
    bool modemOk = false;
    DWORD modemStatus = 0;

    uint32_t WaitComm(HANDLE h, uint32_t* fired, uint32_t timeoutMs, const std::atomic<bool>* stop);
    uint32_t PollComm(HANDLE h, uint32_t* fired, const platform::Deadline& deadline, uint64_t generation,
                      const std::atomic<bool>* stop);
    void NoteFailure(uint32_t code) {
        if (IsDeviceGoneError(code)) gone = true;
    }
};

namespace {

// Counts a running operation so that Close can wait for it to leave.
class OpGuard {
public:
    explicit OpGuard(PortAccess::Impl* im) : im_(im) {
        std::lock_guard<std::mutex> lock(im_->mu);
        port_ = im_->port.load();
        ok_ = port_ != INVALID_HANDLE_VALUE && !im_->closing;
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
    HANDLE port() const { return port_; }

private:
    PortAccess::Impl* im_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    bool ok_ = false;
};

}  // namespace

// Waits for an event of the mask. Returns 0 with the events in *fired (0 when
// the mask was changed meanwhile or a stop was requested), 1460 when the
// time-out passed, 995 when the port is being closed, or the device's error.
uint32_t CWinCom::Impl::WaitComm(HANDLE h, uint32_t* fired, uint32_t timeoutMs, const std::atomic<bool>* stop) {
    std::lock_guard<std::mutex> lock(waitMu);
    *fired = 0;
    const platform::Deadline deadline = PortDeadline(timeoutMs);
    const uint64_t generation = maskGeneration.load();
    if (stop && stop->load()) return ERROR_SUCCESS_CODE;
    if (!polled.load()) {
        DWORD events = 0;
        // Only the event thread's wait (the one with a stop flag) ends on a wake.
        const OpEnd end = RunOverlapped(h, cancelEvent, stop ? wakeEvent : nullptr, timeoutMs,
                                        [&](OVERLAPPED* ov) { return WaitCommEvent(h, &events, ov); });
        if (end.woken) return ERROR_SUCCESS_CODE;
        if (end.code == ERROR_SUCCESS_CODE) {
            *fired = events;
            return ERROR_SUCCESS_CODE;
        }
        const bool cannotWait =
            end.byItself && (end.code == ERROR_NOT_SUPPORTED || end.code == ERROR_OPERATION_ABORTED);
        if (!cannotWait) {
            NoteFailure(end.code);
            return end.code;
        }
        // The driver cannot wait for comm events on this device: look for
        // them from now on. What the modem lines say now is the baseline.
        DWORD status = 0;
        modemOk = GetCommModemStatus(h, &status) != 0;
        modemStatus = status;
        rxReported = false;
        polled = true;
    }
    return PollComm(h, fired, deadline, generation, stop);
}

uint32_t CWinCom::Impl::PollComm(HANDLE h, uint32_t* fired, const platform::Deadline& deadline, uint64_t generation,
                                 const std::atomic<bool>* stop) {
    ULONGLONG activeAt = GetTickCount64();
    for (;;) {
        if ((stop && stop->load()) || maskGeneration.load() != generation) return ERROR_SUCCESS_CODE;
        if (gone.load()) return ERROR_DEVICE_NOT_CONNECTED_CODE;
        const uint32_t mask = eventMask.load();
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(h, &errors, &status)) {
            const DWORD e = GetLastError();
            NoteFailure(e);
            return e;
        }
        lineErrors.fetch_or(errors);
        if (status.cbInQue > 0 || status.cbOutQue > 0) activeAt = GetTickCount64();
        uint32_t ev = 0;
        if (errors & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER)) ev |= EV_ERR;
        if (errors & CE_BREAK) ev |= EV_BREAK;
        // Received bytes: reported once until somebody reads.
        if (rxReported && readGeneration.load() != rxReportedGeneration) rxReported = false;
        if (status.cbInQue > 0 && !rxReported && (mask & EV_RXCHAR)) {
            ev |= EV_RXCHAR;
            rxReported = true;
            rxReportedGeneration = readGeneration.load();
        }
        if (txPending.load()) {
            if (!(mask & EV_TXEMPTY)) {
                txPending = false;
            } else if (status.cbOutQue == 0) {
                txPending = false;
                ev |= EV_TXEMPTY;
            }
        }
        if (modemOk && (mask & kModemEvents)) {
            DWORD lines = 0;
            if (GetCommModemStatus(h, &lines)) {
                const DWORD changed = lines ^ modemStatus;
                if (changed & MS_CTS_ON) ev |= EV_CTS;
                if (changed & MS_DSR_ON) ev |= EV_DSR;
                if (changed & MS_RLSD_ON) ev |= EV_RLSD;
                if (changed & MS_RING_ON) ev |= EV_RING;
                modemStatus = lines;
            } else {
                modemOk = false;  // no modem lines after all (error 50)
            }
        }
        ev &= mask;
        if (ev) {
            *fired = ev;
            return ERROR_SUCCESS_CODE;
        }
        DWORD waitMs = GetTickCount64() - activeAt >= kQuietBeforeIdleMs ? kIdlePollIntervalMs : kPollIntervalMs;
        if (!deadline.Infinite()) {
            const int left = deadline.RemainingMs();
            if (left == 0) return ERROR_TIMEOUT_CODE;
            if (static_cast<DWORD>(left) < waitMs) waitMs = static_cast<DWORD>(left);
        }
        HANDLE handles[2] = {cancelEvent, wakeEvent};
        const DWORD r = WaitForMultipleObjects(stop ? 2 : 1, handles, FALSE, waitMs);
        if (r == WAIT_OBJECT_0) return ERROR_OPERATION_ABORTED_CODE;
        if (r == WAIT_FAILED) return GetLastError();
        if (r == WAIT_OBJECT_0 + 1) activeAt = GetTickCount64();
        // A wake (a write, a mask change, a stop request) or the interval:
        // look again.
    }
}

// ------------------------------------------------- event-thread hooks

uint32_t PortAccess::WaitForEvents(CWinCom& port, const std::atomic<bool>& stop, uint32_t* events, uint32_t* errors) {
    *events = *errors = 0;
    Impl* im = port.impl_;
    OpGuard op(im);
    if (!op.ok()) return ERROR_INVALID_HANDLE_CODE;
    uint32_t fired = 0;
    const uint32_t code = im->WaitComm(op.port(), &fired, INFINITE_TIMEOUT, &stop);
    if (code != ERROR_SUCCESS_CODE || stop.load()) return code;
    im->firedEvents = fired;
    *events = port.TakeEvents();
    // The line errors of this moment, which clears them so that I/O can go
    // on; a wait that looked for events itself has gathered them already.
    if (!im->polled.load()) {
        DWORD lineErrors = 0;
        if (ClearCommError(op.port(), &lineErrors, nullptr))
            im->lineErrors.fetch_or(lineErrors);
        else
            port.lastError = GetLastError();
    }
    *errors = im->lineErrors.exchange(0);
    return ERROR_SUCCESS_CODE;
}

void PortAccess::Wake(CWinCom& port) {
    std::lock_guard<std::mutex> lock(port.impl_->mu);
    if (port.impl_->wakeEvent) SetEvent(port.impl_->wakeEvent);
}

// ---------------------------------------------------------------- CWinCom

CWinCom::CWinCom() : impl_(new Impl) {}

void GiveBackOpenPorts() noexcept {}

CWinCom::~CWinCom() {
    CWinCom::Close();
    delete impl_;
}

bool CWinCom::IsOpen() const { return impl_->port.load() != INVALID_HANDLE_VALUE; }

bool CWinCom::IsDeviceGone() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const HANDLE h = impl_->port.load();
    if (h == INVALID_HANDLE_VALUE) return false;
    if (impl_->gone.load()) return true;
    DWORD errors = 0;
    COMSTAT status{};
    if (ClearCommError(h, &errors, &status)) {
        // Keep what was cleared for the event thread's next report.
        impl_->lineErrors.fetch_or(errors);
        return false;
    }
    return IsDeviceGoneError(GetLastError());
}

std::string CWinCom::PortName() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->port.load() != INVALID_HANDLE_VALUE ? impl_->name : std::string();
}

uint32_t CWinCom::Open(const char* portName, uint32_t inQueue, uint32_t outQueue, bool flag) {
    if (IsOpen()) {
        lastError = ERROR_ALREADY_INITIALIZED_CODE;
        return lastError;
    }
    const std::string name = portName ? portName : "";
    const std::string device = ResolvePortName(name);
    if (device.empty()) {
        lastError = ERROR_FILE_NOT_FOUND_CODE;
        return lastError;
    }
    // No sharing: a port is held by one handle at a time.
    HANDLE h = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastError = GetLastError();
        return lastError;
    }
    uint32_t code = ERROR_SUCCESS_CODE;
    DCB probe{};
    probe.DCBlength = sizeof probe;
    // Only a communications device has a DCB (not a file, not a console).
    if (GetFileType(h) != FILE_TYPE_CHAR || !GetCommState(h, &probe)) code = ERROR_INVALID_FUNCTION_CODE;
    HANDLE cancelEvent = nullptr, wakeEvent = nullptr;
    if (code == ERROR_SUCCESS_CODE) {
        cancelEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!cancelEvent || !wakeEvent) code = GetLastError();
    }
    if (code == ERROR_SUCCESS_CODE && (inQueue || outQueue) && !SetupComm(h, inQueue, outQueue)) code = GetLastError();
    if (code != ERROR_SUCCESS_CODE) {
        if (cancelEvent) CloseHandle(cancelEvent);
        if (wakeEvent) CloseHandle(wakeEvent);
        CloseHandle(h);
        lastError = code;
        return code;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        impl_->cancelEvent = cancelEvent;
        impl_->wakeEvent = wakeEvent;
        impl_->overlapped = flag;
        impl_->name = name;
        impl_->closing = false;
        impl_->eventMask = 0;
        impl_->firedEvents = 0;
        impl_->lineErrors = 0;
        impl_->gone = false;
        impl_->polled = false;
        impl_->txPending = false;
        impl_->readAtOnce = false;
        impl_->port = h;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->waitMu);
        impl_->rxReported = false;
        impl_->modemOk = false;
    }
    lastError = ERROR_SUCCESS_CODE;

    SetEventMask(EV_RXCHAR | EV_BREAK | EV_ERR);
    const uint32_t timeoutCode = SetTimeoutMode(0);

    // Back to the driver's default configuration; callers set their own line
    // afterwards. Its outcome, like that of the event mask, does not decide
    // the result.
    const int number = ComPortNumber(name);
    const std::string configName = number ? "COM" + std::to_string(number) : name;
    COMMCONFIG config{};
    config.dwSize = sizeof config;
    DWORD size = sizeof config;
    if (GetDefaultCommConfigA(configName.c_str(), &config, &size)) SetCommConfig(h, &config, size);

    lastError = timeoutCode;
    return lastError;
}

uint32_t CWinCom::Close() {
    lastError = ERROR_SUCCESS_CODE;
    std::unique_lock<std::mutex> lock(impl_->mu);
    const HANDLE h = impl_->port.load();
    if (h == INVALID_HANDLE_VALUE) return 0;
    impl_->closing = true;
    SetEvent(impl_->cancelEvent);
    impl_->opsCv.wait(lock, [this] { return impl_->ops == 0; });
    CloseHandle(h);
    CloseHandle(impl_->cancelEvent);
    CloseHandle(impl_->wakeEvent);
    impl_->cancelEvent = impl_->wakeEvent = nullptr;
    impl_->port = INVALID_HANDLE_VALUE;
    impl_->closing = false;
    impl_->name.clear();
    return 0;
}

namespace {

// Reads the DCB, lets `change` edit it (a code other than 0 stops there) and
// writes it back whole.
template <typename F>
uint32_t ChangeState(PortAccess::Impl* im, HANDLE h, F change) {
    std::lock_guard<std::mutex> lock(im->mu);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(h, &dcb)) return GetLastError();
    const uint32_t code = change(dcb);
    if (code != ERROR_SUCCESS_CODE) return code;
    if (!SetCommState(h, &dcb)) return GetLastError();
    return ERROR_SUCCESS_CODE;
}

template <typename F>
int32_t QueryState(PortAccess::Impl* im, std::atomic<uint32_t>& lastError, F f) {
    OpGuard op(im);
    if (!op.ok()) {
        lastError = ERROR_INVALID_HANDLE_CODE;
        return -1;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(op.port(), &dcb)) {
        lastError = GetLastError();
        return -1;
    }
    lastError = ERROR_SUCCESS_CODE;
    return f(dcb);
}

}  // namespace

uint32_t CWinCom::SetParams(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (byteSize < 5 || byteSize > 8 || parity > SPACEPARITY || stopBits > TWOSTOPBITS)
        return lastError = ERROR_INVALID_PARAMETER_CODE;
    return lastError = ChangeState(impl_, op.port(), [&](DCB& dcb) {
               dcb.BaudRate = baudRate;
               dcb.ByteSize = byteSize;
               dcb.Parity = parity;
               dcb.StopBits = stopBits;
               dcb.fParity = parity != NOPARITY;
               return ERROR_SUCCESS_CODE;
           });
}

uint32_t CWinCom::SetEventChar(char ch, bool addToMask) {
    {
        OpGuard op(impl_);
        if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    }
    if (addToMask) SetEventMask(GetEventMask() | EV_RXFLAG);
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    return lastError = ChangeState(impl_, op.port(), [ch](DCB& dcb) {
               dcb.EvtChar = ch;
               return ERROR_SUCCESS_CODE;
           });
}

uint32_t CWinCom::SetEventMask(uint32_t mask) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    // Setting the mask completes a pending comm-event wait of the driver
    // (with no events); a wait that looks for events itself is woken.
    if (!SetCommMask(op.port(), mask)) return lastError = GetLastError();
    impl_->eventMask = mask;
    impl_->maskGeneration.fetch_add(1);
    if (impl_->polled.load()) SetEvent(impl_->wakeEvent);
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
        const uint32_t code = impl_->WaitComm(op.port(), &fired, INFINITE_TIMEOUT, nullptr);
        impl_->firedEvents = fired;
        overlapped->Set(code, 0);
        return lastError = code;
    }
    const uint32_t code = impl_->WaitComm(op.port(), &fired, timeoutMs, nullptr);
    if (code == ERROR_SUCCESS_CODE) impl_->firedEvents = fired;
    return lastError = code;
}

uint32_t CWinCom::SetFlowControl(int mode) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    return lastError = ChangeState(impl_, op.port(), [mode](DCB& dcb) {
               if (mode < 0 || mode > 2) return E_INVALIDARG_CODE;
               dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = mode == 1;
               dcb.fDtrControl = mode == 1 ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_DISABLE;
               dcb.fRtsControl = mode == 1 ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
               dcb.fOutX = dcb.fInX = mode == 2;
               return ERROR_SUCCESS_CODE;
           });
}

uint32_t CWinCom::SetTimeoutMode(int mode) {
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    std::lock_guard<std::mutex> lock(impl_->mu);
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(op.port(), &timeouts)) return lastError = GetLastError();
    if (mode != 0 && mode != 1) return lastError = E_INVALIDARG_CODE;
    // Mode 0: a read returns at once with what has arrived; mode 1: it
    // waits for every byte asked for. Write time-outs stay as they are.
    timeouts.ReadIntervalTimeout = mode == 0 ? MAXDWORD : 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(op.port(), &timeouts)) return lastError = GetLastError();
    impl_->readAtOnce = mode == 0;
    return lastError = ERROR_SUCCESS_CODE;
}

int32_t CWinCom::GetBaudRate() {
    return QueryState(impl_, lastError, [](const DCB& d) { return static_cast<int32_t>(d.BaudRate); });
}

int32_t CWinCom::GetByteSize() {
    return QueryState(impl_, lastError, [](const DCB& d) { return static_cast<int32_t>(d.ByteSize); });
}

int32_t CWinCom::GetParity() {
    return QueryState(impl_, lastError, [](const DCB& d) { return d.fParity ? static_cast<int32_t>(d.Parity) : 0; });
}

int32_t CWinCom::GetStopBits() {
    return QueryState(impl_, lastError, [](const DCB& d) { return static_cast<int32_t>(d.StopBits); });
}

int32_t CWinCom::GetFlowControl() {
    return QueryState(impl_, lastError, [](const DCB& d) {
        if (d.fDtrControl == DTR_CONTROL_HANDSHAKE && d.fRtsControl == RTS_CONTROL_HANDSHAKE) return 1;
        if (d.fOutX && d.fInX) return 2;
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
    const int32_t v = QueryState(
        impl_, lastError, [](const DCB& d) { return static_cast<int32_t>(static_cast<unsigned char>(d.EvtChar)); });
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
    OpEnd end;
    if (count > 0 && data) {
        const HANDLE h = op.port();
        end = RunOverlapped(h, impl_->cancelEvent, nullptr, overlapped ? INFINITE_TIMEOUT : timeoutMs,
                            [&](OVERLAPPED* ov) { return WriteFile(h, data, count, nullptr, ov); });
        impl_->NoteFailure(end.code);
        if (end.count > 0 && watched && impl_->polled.load()) {
            impl_->txPending = true;
            SetEvent(impl_->wakeEvent);
        }
    }
    if (countOut) *countOut = end.count;
    if (overlapped) overlapped->Set(end.code, end.count);
    return lastError = end.code;
}

uint32_t CWinCom::Read(void* buffer, uint32_t count, uint32_t* countOut, ComOverlapped* overlapped,
                       uint32_t timeoutMs) {
    if (countOut) *countOut = 0;
    OpGuard op(impl_);
    if (!op.ok()) return lastError = ERROR_INVALID_HANDLE_CODE;
    if (!impl_->overlapped && (overlapped || timeoutMs != INFINITE_TIMEOUT))
        return lastError = ERROR_INVALID_FUNCTION_CODE;
    OpEnd end;
    const HANDLE h = op.port();
    if (count > 0 && buffer && impl_->readAtOnce.load()) {
        // What has arrived, and no more: such a read never waits.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(h, &errors, &status)) {
            end.code = GetLastError();
            impl_->NoteFailure(end.code);
            count = 0;
        } else {
            impl_->lineErrors.fetch_or(errors);
            if (status.cbInQue < count) count = status.cbInQue;
        }
    }
    if (count > 0 && buffer) {
        end = RunOverlapped(h, impl_->cancelEvent, nullptr, overlapped ? INFINITE_TIMEOUT : timeoutMs,
                            [&](OVERLAPPED* ov) { return ReadFile(h, buffer, count, nullptr, ov); });
        impl_->NoteFailure(end.code);
    }
    impl_->readGeneration.fetch_add(1);
    if (countOut) *countOut = end.count;
    if (overlapped) overlapped->Set(end.code, end.count);
    return lastError = end.code;
}

uint32_t CWinCom::TakeEvents() { return impl_->firedEvents.exchange(0) & impl_->eventMask.load(); }

bool CWinCom::IsCarrierOn() {
    OpGuard op(impl_);
    if (!op.ok()) {
        lastError = ERROR_INVALID_HANDLE_CODE;
        return false;
    }
    DWORD status = 0;
    if (!GetCommModemStatus(op.port(), &status)) {
        lastError = GetLastError();
        return false;
    }
    lastError = ERROR_SUCCESS_CODE;
    return (status & MS_RLSD_ON) != 0;
}
