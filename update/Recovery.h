// Recovering an interrupted update: what the markers left by interrupted
// updates ask of a command, the probe that looks for the sensor of one of
// them before the search, and the user's request to stop an update.
#pragma once

#include "update/UpdateMarker.h"

#include <string>
#include <vector>

struct SearchState;
class CMainFrameCore;

// What a command does about the markers it finds.
enum class RecoveryMode {
    // find, info, cal, backup, verify: say which updates were interrupted,
    // and send nothing for them.
    Report,
    // The desktop application's start: say so too, and look briefly for the
    // sensor of the one interrupted update in its update program (no long
    // wake-up), so that Firmware Update can take it up.
    Desktop,
    // duxk update: take up the interrupted update of the sensor, waking its
    // program for as long as it takes.
    Update,
};

struct RecoveryPlan {
    // What to tell the user, a line each.
    std::vector<std::string> notes;
    // Not empty: the command must not go on (it has sent nothing); lines.
    std::string refusal;
    // The marker whose sensor the probe looks for, and the name under which
    // that sensor is reached now.
    bool hasTarget = false;
    UpdateMarker target;
    std::string targetPort;
    // An update without a port is for the sensor of the one marker: when
    // its serial number is known, a sensor found with another is not it.
    std::string expectSerial;
};

// Reads the markers and decides, before anything is sent. `port`: the port
// the command was given (empty: none). Markers of running updates are left
// alone; markers older than a week are reported, not acted on. An update
// without a port acts on one marker only (with several it asks for the
// port); a marker whose port leads to another device now is reported, and
// nothing is sent there for it, unless an update was given that very port.
RecoveryPlan PlanRecovery(RecoveryMode mode, const std::string& port);

// "an update of K52A01234 on COM1 was interrupted at <time>: run the update again"
std::string InterruptedNote(const UpdateMarker& marker);

// Looks for the sensor of the plan's marker on that marker's device only
// (`port` and `baud`, when given, override its port and rate): first its
// identity at all four rates, then, when no firmware answered, the transfer
// program (the long wake-up only in Update mode). Found in the program: the
// channel stays open there in the boot framing, s.szPort and s.szBaud name
// the connection, s.szSerial the marker's serial number, the status bar says
// so followed by `advice`, and the result is true. A download marker first
// waits until the boot loader has given up (nothing sent meanwhile). Nothing
// is sent without a target, in Report mode, or when the marker has gone or
// its update runs again.
bool ProbeInterruptedUpdate(SearchState& s, const RecoveryPlan& plan, RecoveryMode mode, const std::string& advice,
                            const char* port = nullptr, const char* baud = nullptr);

// Makes the frame's search start with ProbeInterruptedUpdate.
void InstallUpdateProgramProbe(CMainFrameCore& frame, const RecoveryPlan& plan, RecoveryMode mode,
                               const std::string& advice);

// The user asked to stop the running update (a second interrupt): it ends
// after the telegram in flight. Cleared when an update starts.
void RequestUpdateStop();
void ClearUpdateStop();
bool UpdateStopRequested();
// Result code of a step that ended on the stop request.
constexpr int kUpdateStopped = -100;
