// The main frame's connection state and the operations the dialogs, the
// update driver and both front ends share: the sensor search's state, the
// found flag, reopening the sensor port, the last-port file and the
// enabling of the sensor commands.
#pragma once

#include "session/FrameUi.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class CDUXKSerial;
class CMainFrameCore;

// Command ids of the sensor menu.
constexpr int ID_SENSOR_SPECIFICATION = 32771;
constexpr int ID_SENSOR_CALDATA = 32774;
constexpr int ID_SENSOR_SELFTEST = 32773;
constexpr int ID_SENSOR_SETTINGS = 32772;
constexpr int ID_SENSOR_UPDATE = 32775;
constexpr int ID_SENSOR_VIEWCAL = 32776;

// Room for a port name: a COMn name or any device path the system can open.
constexpr size_t kPortNameSize = PATH_MAX;

struct SearchState {
    std::atomic<uint8_t>* pSensorFound = nullptr;
    IFrameUi* pStatusBar = nullptr;
    CDUXKSerial* pChannel = nullptr;
    char szPort[kPortNameSize] = {};
    char szBaud[80] = {};
    char szSerial[80] = {};
    std::thread* pThread = nullptr;
    std::atomic<int32_t> nStop{0};
    CMainFrameCore* pFrame = nullptr;

    // Wakes the search's waits when the stop request is raised.
    std::mutex stopMutex;
    std::condition_variable stopCv;
    // When not empty, every pass tries only this port (its four rates) and
    // the last-port file is not read; set before the search starts.
    char szOnlyPort[kPortNameSize] = {};
    // Payload of the accepted identity reply (model and firmware version,
    // for example "DUX-K52 V3.10"); empty when the sensor was not asked.
    char szIdentity[80] = {};
    // Set while the search brings back the program of an interrupted
    // update: a front end's search time limit does not cut that short (it
    // is bounded by itself).
    std::atomic<int32_t> nRecovering{0};
};

// The search thread's procedure: 0 when a sensor was accepted, -1 when stopped.
unsigned SearchSensor(SearchState* state);

// Reads the serial number of the sensor on the open channel into
// state->szSerial as the search does (without "appl" when sendAppl is false,
// for a sensor that has just been sent it); true when it has 6 or more
// characters, and then the rest of the listing is drained.
bool QuerySensorSerial(SearchState* state, bool sendAppl);
// Asks the sensor on the open channel for its identity as the search does
// and keeps the payload in state->szIdentity; true for a valid reply.
bool QuerySensorIdentity(SearchState* state);

class CMainFrameCore {
public:
    explicit CMainFrameCore(IFrameUi& ui);
    // Stops and joins a running search before the state goes away.
    virtual ~CMainFrameCore();

    std::atomic<uint8_t> m_bSensorFound{0};
    SearchState m_search;
    std::string m_strCmdLine;
    // Set with m_bSensorFound when the search found the sensor still running
    // the transfer program of an interrupted update: only the firmware
    // update can be done, at m_search's port and rate.
    std::atomic<uint8_t> m_bInUpdateProgram{0};
    // Looks for such a sensor before the search proper (a front end sets
    // it; empty: no look). True when found.
    std::function<bool(SearchState&)> m_updateProgramProbe;

    // Fills m_search and starts the search thread.
    void StartSearch();
    // Raises the stop request and waits for the search thread to end.
    void StopSearch();
    bool SearchRunning() const;
    // Waits until the search thread has ended or timeoutMs has passed;
    // true when it has ended.
    bool WaitSearchEnd(uint32_t timeoutMs);
    // The search thread's exit code once it has ended (0 accepted, -1 stopped).
    unsigned SearchExitCode() const;

    bool ReopenSensorPort();
    // Fills portName (size bytes) from the last-port file: a COMn name (its
    // first four characters) or an absolute device path. False, the buffer
    // unchanged, when there is no usable name or it does not fit.
    bool ReadLastPort(char* portName, size_t size);
    bool WriteLastPort(const char* portName);
    bool EnableSensorCommands(bool enable);
    // Enables the firmware update alone and greys the other sensor commands.
    bool EnableUpdateCommandOnly();
    // Leaves the found state and searches anew (once the interrupted update
    // has been finished and the sensor runs its firmware again).
    void RestartSearch();
    // True when a sensor has been accepted; otherwise shows "No Sensor!".
    bool CheckSensorFound();

    IFrameUi& Ui() { return ui_; }

private:
    IFrameUi& ui_;
    std::thread searchThread_;
    mutable std::mutex endMutex_;
    std::condition_variable endCv_;
    bool searchEnded_ = false;
    unsigned searchExitCode_ = 0;
};

// Full path of the last-port file: "DUXKUpdt.tmp" in TEMP when it is set,
// else in this user's private state directory; empty when there is none.
std::string LastPortFilePath();
