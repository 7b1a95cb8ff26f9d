// Recovering an interrupted update: the marker an update leaves while the
// sensor may be running the transfer program, the probe that looks for the
// program before the search, and the user's request to stop an update.
#pragma once

#include <string>

struct SearchState;
class CMainFrameCore;

// The marker: port and rate of an update whose transfer program may still
// run in the sensor. Written before the download, removed when the update
// succeeds or the sensor is known to have left the program; kept when the
// update fails or the process dies.
// Its stage: "download" while the transfer program goes into the sensor's
// boot loader (which, cut off, takes whatever comes next as download bytes
// and gives up only after some seconds without any), "program" once the
// program may run.
struct UpdateMarker {
    std::string port;
    std::string baud;
    std::string since;  // local time the marker was written, for people
    std::string stage = "program";
};
std::string UpdateMarkerPath();
bool ReadUpdateMarker(UpdateMarker& marker);
bool WriteUpdateMarker(const std::string& port, const std::string& baud, const char* stage = "program");
// Seconds without a byte after which the boot loader abandons a download.
constexpr double kLoaderGiveUpSeconds = 6.0;
void RemoveUpdateMarker();

// True when both names lead to the same device.
bool SamePort(const std::string& a, const std::string& b);

// With a marker present, looks for the transfer program on the port (the
// search's only port when set, else the marker's; `port` overrides both) at
// the marker's rate (or `baud`). Found: the channel stays open there in the
// boot framing, s.szPort and s.szBaud name the connection, the status bar
// says so followed by `advice`, and the result is true. Without a marker
// nothing is sent. A marker of an interrupted download only makes the
// search wait until the boot loader has given up (nothing sent meanwhile).
bool ProbeInterruptedUpdate(SearchState& s, const std::string& advice, const char* port = nullptr,
                            const char* baud = nullptr);

// Makes the frame's search start with ProbeInterruptedUpdate.
void InstallUpdateProgramProbe(CMainFrameCore& frame, const std::string& advice);

// The user asked to stop the running update (a second interrupt): it ends
// after the telegram in flight. Cleared when an update starts.
void RequestUpdateStop();
void ClearUpdateStop();
bool UpdateStopRequested();
// Result code of a step that ended on the stop request.
constexpr int kUpdateStopped = -100;
