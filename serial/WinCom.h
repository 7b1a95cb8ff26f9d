// Serial port classes: CWinCom wraps one serial device with the semantics and
// result codes of a Windows COM port; CWinCom2 adds the comm-event thread.
// One platform file implements CWinCom (WinComPosix.cpp over termios, poll
// and ioctl; WinComWin32.cpp over the Windows communications functions);
// the event thread (WinCom2.cpp) is the same on both.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Result codes (Windows error numbers, kept so that messages show the same
// numbers on every platform).
constexpr uint32_t ERROR_SUCCESS_CODE = 0;
constexpr uint32_t ERROR_INVALID_FUNCTION_CODE = 1;
constexpr uint32_t ERROR_FILE_NOT_FOUND_CODE = 2;
constexpr uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr uint32_t ERROR_INVALID_HANDLE_CODE = 6;
constexpr uint32_t ERROR_GEN_FAILURE_CODE = 31;
constexpr uint32_t ERROR_SHARING_VIOLATION_CODE = 32;
constexpr uint32_t ERROR_INVALID_PARAMETER_CODE = 87;
constexpr uint32_t ERROR_OPERATION_ABORTED_CODE = 995;
constexpr uint32_t ERROR_IO_PENDING_CODE = 997;
constexpr uint32_t ERROR_DEVICE_NOT_CONNECTED_CODE = 1167;
constexpr uint32_t ERROR_ALREADY_INITIALIZED_CODE = 1247;
constexpr uint32_t ERROR_TIMEOUT_CODE = 1460;
constexpr uint32_t E_INVALIDARG_CODE = 0x80070057u;

constexpr uint32_t INFINITE_TIMEOUT = 0xFFFFFFFFu;

// Comm event bits.
constexpr uint32_t EV_RXCHAR = 0x0001;
constexpr uint32_t EV_RXFLAG = 0x0002;
constexpr uint32_t EV_TXEMPTY = 0x0004;
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_ERR = 0x0080;
constexpr uint32_t EV_RING = 0x0100;

// Line error bits.
constexpr uint32_t CE_RXOVER = 0x0001;
constexpr uint32_t CE_OVERRUN = 0x0002;
constexpr uint32_t CE_RXPARITY = 0x0004;
constexpr uint32_t CE_FRAME = 0x0008;
constexpr uint32_t CE_BREAK = 0x0010;
constexpr uint32_t CE_TXFULL = 0x0100;
constexpr uint32_t CE_IOE = 0x0400;
constexpr uint32_t CE_MODE = 0x8000;

// Parity and stop-bit codes as in a DCB.
constexpr uint8_t NOPARITY = 0, ODDPARITY = 1, EVENPARITY = 2, MARKPARITY = 3, SPACEPARITY = 4;
constexpr uint8_t ONESTOPBIT = 0, ONE5STOPBITS = 1, TWOSTOPBITS = 2;

// An overlapped request record. A caller that brings its own record gets the
// call back at once while the operation is pending and waits on the record.
struct ComOverlapped;

class CWinCom {
public:
    CWinCom();
    virtual ~CWinCom();
    CWinCom(const CWinCom&) = delete;
    CWinCom& operator=(const CWinCom&) = delete;

    // flag: open for overlapped I/O.
    virtual uint32_t Open(const char* portName, uint32_t inQueue, uint32_t outQueue, bool flag);
    virtual uint32_t Close();
    virtual uint32_t SetParams(uint32_t baudRate, uint8_t byteSize, uint8_t parity, uint8_t stopBits);
    virtual uint32_t SetEventChar(char ch, bool addToMask);
    virtual uint32_t SetEventMask(uint32_t mask);
    virtual uint32_t WaitEvent(ComOverlapped* overlapped, uint32_t timeoutMs);
    virtual uint32_t SetFlowControl(int mode);
    virtual uint32_t SetTimeoutMode(int mode);
    virtual int32_t GetBaudRate();
    virtual int32_t GetByteSize();
    virtual int32_t GetParity();
    virtual int32_t GetStopBits();
    virtual int32_t GetFlowControl();
    virtual uint32_t GetEventMask();
    virtual char GetEventChar();
    virtual uint32_t WriteString(const char* text, uint32_t* countOut = nullptr, ComOverlapped* overlapped = nullptr,
                                 uint32_t timeoutMs = INFINITE_TIMEOUT);
    virtual uint32_t Write(const void* data, uint32_t count, uint32_t* countOut = nullptr,
                           ComOverlapped* overlapped = nullptr, uint32_t timeoutMs = INFINITE_TIMEOUT);
    virtual uint32_t Read(void* buffer, uint32_t count, uint32_t* countOut = nullptr,
                          ComOverlapped* overlapped = nullptr, uint32_t timeoutMs = INFINITE_TIMEOUT);
    // A blocking write that nobody waits to see sent (an echo): where the
    // transmit-empty event is emulated (a terminal under POSIX, a polled port
    // under Wine) it raises none and costs the event thread no wake-up; a
    // later watched write's event still waits for these bytes too.
    uint32_t WriteUnwatched(const void* data, uint32_t count, uint32_t* countOut = nullptr);

    uint32_t TakeEvents();
    bool IsCarrierOn();
    bool IsOpen() const;
    // True when the open port's device has gone away: hung up, removed (an
    // adapter unplugged), or the far end of a pseudo-terminal closed. False
    // while it works and when the port is not open.
    bool IsDeviceGone() const;
    uint32_t LastError() const;
    // The name the port was opened under ("COM3", "/dev/ttyUSB0"); empty when closed.
    std::string PortName() const;

protected:
    std::atomic<uint32_t> lastError{0};
    // The implementation keeps its platform state (descriptor, settings
    // record, pending-operation bookkeeping) behind this pointer.
    struct Impl;
    Impl* impl_ = nullptr;
    uint32_t WriteOp(const void* data, uint32_t count, uint32_t* countOut, ComOverlapped* overlapped,
                     uint32_t timeoutMs, bool watched);
    friend struct ComOverlapped;
    friend struct PortAccess;
};

// Gives every open port back what its open changed (the line settings, the
// low-latency flag), for a process about to end by a signal without closing
// its ports. Only system calls: safe in a signal handler. Nothing to do on
// Windows.
void GiveBackOpenPorts() noexcept;

class CWinCom2 : public CWinCom {
public:
    CWinCom2();
    ~CWinCom2() override;

    // flag: start the event thread.
    uint32_t Open(const char* portName, uint32_t inQueue, uint32_t outQueue, bool flag) override;
    uint32_t Close() override;
    virtual uint32_t StartEventThread();
    virtual uint32_t StopEventThread(uint32_t timeoutMs);
    // Called on the event thread with the fired events (masked, never 0) and
    // the line errors of that moment.
    virtual void OnCommEvent(uint32_t events, uint32_t errors) = 0;
    // Called on the event thread when it ends on its own because the port
    // failed (device gone, handle invalid): nothing more will be received.
    virtual void OnCommEnded(uint32_t code) { (void)code; }
    // True after the event thread ended that way, until it is started again.
    bool HasEventThreadFailed() const;

protected:
    struct Impl2;
    Impl2* impl2_ = nullptr;
};
