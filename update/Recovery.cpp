// Recovering an interrupted update: what a command makes of the markers, the
// probe the search starts with, and the stop request of an update.
#include "update/Recovery.h"

#include "update/Resync.h"

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

std::atomic<bool> g_stopRequested{false};

void Status(SearchState& s, const std::string& text) {
    if (s.pStatusBar) s.pStatusBar->SetStatusText(text);
}

std::string StaleNote(const UpdateMarker& m) {
    return DescribeMarker(m) + (m.time > 0 ? ", more than a week ago" : "") + ": not taken up (remove " + m.file +
           " once that sensor is known to run its firmware)";
}

// The marker's port leads elsewhere now.
std::string ChangedNote(const UpdateMarker& m, const char* what = "nothing is sent there for it") {
    const PortIdentity now = IdentifyPort(m.port);
    const std::string was = m.byId.empty() ? m.device : m.byId;
    const std::string is = now.device.empty() ? "no device" : now.byId.empty() ? now.device : now.byId;
    return DescribeMarker(m) + ", but " + m.port + " leads to " + is + " now, not to " + was + ": " + what;
}

}  // namespace

std::string InterruptedNote(const UpdateMarker& marker) { return DescribeMarker(marker) + ": run the update again"; }

RecoveryPlan PlanRecovery(RecoveryMode mode, const std::string& port) {
    RecoveryPlan plan;
    const long long now = EpochSeconds();
    std::vector<UpdateMarker> fresh;
    for (const UpdateMarker& m : ReadUpdateMarkers()) {
        // A running update keeps its own marker; it is none of our business.
        if (MarkerIsLive(m)) continue;
        if (MarkerIsStale(m, now)) {
            plan.notes.push_back(StaleNote(m));
            continue;
        }
        fresh.push_back(m);
    }
    if (mode == RecoveryMode::Report) {
        for (const UpdateMarker& m : fresh) plan.notes.push_back(InterruptedNote(m));
        return plan;
    }

    // The sensor's markers: those of the given port; without a port, the
    // one marker there is.
    std::vector<UpdateMarker> own;
    bool changed = false;
    if (!port.empty()) {
        for (const UpdateMarker& m : fresh) {
            const PortMatch match = MatchMarkerPort(m, port);
            if (match == PortMatch::Same) {
                own.push_back(m);
            } else if (match == PortMatch::Changed && mode == RecoveryMode::Update) {
                // The update was given the marker's own port, whose device is
                // another now: an adapter plugged back under another node
                // without a by-id name looks just so. The user names the
                // port the sensor is on; the probe asks for the identity
                // first, so that a sensor in its firmware gets no wake-up.
                own.push_back(m);
                changed = true;
            } else {
                plan.notes.push_back(match == PortMatch::Changed ? ChangedNote(m) : InterruptedNote(m));
            }
        }
    } else if (fresh.size() > 1) {
        if (mode == RecoveryMode::Desktop) {
            for (const UpdateMarker& m : fresh) plan.notes.push_back(InterruptedNote(m));
            return plan;
        }
        plan.refusal = "updates of several sensors were interrupted:";
        for (const UpdateMarker& m : fresh) plan.refusal += "\n  " + DescribeMarker(m);
        plan.refusal += "\nname the port of the one to finish: duxk --port PORT update FIRMWARE";
        return plan;
    } else {
        own = fresh;
        // Whatever it finds, an update without a port is for this sensor.
        if (!own.empty()) plan.expectSerial = own.back().serial;
    }
    if (own.empty()) return plan;

    // The newest of the sensor's markers on the port.
    const UpdateMarker& target = own.back();
    const std::string where = port.empty() ? MarkerPortNow(target) : port;
    if (where.empty()) {
        // Its port leads to another device now: nothing is sent there for
        // it; the search goes on as usual.
        plan.notes.push_back(ChangedNote(target));
        return plan;
    }
    if (changed && MatchMarkerPort(target, port) == PortMatch::Changed)
        plan.notes.push_back(ChangedNote(target, "looking for it there, as --port names that port"));
    else
        plan.notes.push_back(mode == RecoveryMode::Update ? DescribeMarker(target) + ": taking it up"
                                                          : InterruptedNote(target));
    plan.hasTarget = true;
    plan.target = target;
    plan.targetPort = where;
    return plan;
}

bool ProbeInterruptedUpdate(SearchState& s, const RecoveryPlan& plan, RecoveryMode mode, const std::string& advice,
                            const char* port, const char* baud) {
    if (!plan.hasTarget || mode == RecoveryMode::Report) return false;
    // Finished or taken up again meanwhile (the desktop application searches
    // again after an update): nothing to look for.
    UpdateMarker marker;
    if (!ReadUpdateMarkerFile(plan.target.file, marker) || MarkerIsLive(marker)) return false;
    const std::string where = port && *port ? port : plan.targetPort;
    const std::string rate = baud && *baud ? baud : marker.baud;

    if (marker.stage == "download") {
        // The loader takes every byte as part of the download and gives up
        // only after a pause: a search sending into it now would keep it
        // waiting for ever. Let it give up first.
        Status(s, "An update was interrupted in its download at " + where +
                      ": waiting for the sensor's boot loader to give up on it...");
        std::unique_lock<std::mutex> lock(s.stopMutex);
        const bool stopped = s.stopCv.wait_for(lock, std::chrono::duration<double>(kLoaderGiveUpSeconds),
                                               [&s] { return s.nStop.load() != 0; });
        if (stopped) return false;
    }
    Status(s, "Looking for the sensor in its update program at " + where + ", " + rate + " baud...");
    s.nRecovering.store(1);
    const ResyncResult result = ProbeTransferProgram(
        where.c_str(), rate.c_str(), [&s] { return s.nStop.load() != 0; }, 12.0, mode == RecoveryMode::Update);
    s.nRecovering.store(0);
    if (result == ResyncResult::Found) {
        std::snprintf(s.szPort, sizeof s.szPort, "%s", where.c_str());
        std::snprintf(s.szBaud, sizeof s.szBaud, "%s", rate.c_str());
        // The program cannot tell who it is: the marker's sensor.
        std::snprintf(s.szSerial, sizeof s.szSerial, "%s", marker.serial.c_str());
        std::memset(s.szIdentity, 0, sizeof s.szIdentity);
        std::string text = "Sensor found in its update program at " + where + ", " + rate + " baud";
        if (!advice.empty()) text += " \xE2\x80\x94 " + advice;
        Status(s, text);
        return true;
    }
    if (result == ResyncResult::Application) Status(s, "The sensor at " + where + " answers in its own firmware");
    Status(s, "Looking for sensor...");
    return false;
}

void InstallUpdateProgramProbe(CMainFrameCore& frame, const RecoveryPlan& plan, RecoveryMode mode,
                               const std::string& advice) {
    frame.m_updateProgramProbe = [plan, mode, advice](SearchState& s) {
        return ProbeInterruptedUpdate(s, plan, mode, advice);
    };
}

void RequestUpdateStop() { g_stopRequested.store(true); }

void ClearUpdateStop() { g_stopRequested.store(false); }

bool UpdateStopRequested() { return g_stopRequested.load(); }
