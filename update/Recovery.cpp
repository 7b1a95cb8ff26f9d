// Recovering an interrupted update: the update marker, the probe the search
// starts with, and the stop request of an update.
#include "update/Recovery.h"

#include "update/Resync.h"

#include "session/MainFrame.h"
#include "platform/Files.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"
#include "serial/PortMap.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>

namespace {

const char kMarkerName[] = "DUXKUpdt.upd";
constexpr size_t kMarkerMaxBytes = 4096;
constexpr size_t kMaxPortName = 255;

std::atomic<bool> g_stopRequested{false};

bool ValidBaud(const std::string& baud) {
    return baud == "38400" || baud == "19200" || baud == "9600" || baud == "4800";
}

// "COMn" or an absolute device path, printable, of a length a port name can have.
bool ValidPort(const std::string& port) {
    if (port.empty() || port.size() > kMaxPortName) return false;
    for (unsigned char c : port)
        if (c < 0x20 || c == 0x7F) return false;
    return ComPortNumber(port) > 0 || std::filesystem::path(port).is_absolute();
}

std::string Value(const std::string& text, const char* key) {
    const std::string prefix = std::string(key) + "=";
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (text.compare(at, prefix.size(), prefix) == 0)
            return text.substr(at + prefix.size(), end - at - prefix.size());
        at = end + 1;
    }
    return {};
}

std::string DevicePath(const std::string& name) {
    const std::string device = ResolvePortName(name);
    std::error_code ec;
    const std::filesystem::path resolved = std::filesystem::weakly_canonical(device, ec);
    return ec || device.empty() ? device : resolved.string();
}

// Local time for people reading the marker.
std::string Now() {
    static std::mutex mutex;
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    char text[64] = "";
    std::lock_guard<std::mutex> lock(mutex);
    if (const std::tm* local = std::localtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

void Status(SearchState& s, const std::string& text) {
    if (s.pStatusBar) s.pStatusBar->SetStatusText(text);
}

}  // namespace

std::string UpdateMarkerPath() {
    const std::string dir = platform::PrivateStateDir();
    if (dir.empty()) return {};
    return platform::JoinPath(dir, kMarkerName);
}

bool ReadUpdateMarker(UpdateMarker& marker) {
    const std::string path = UpdateMarkerPath();
    if (path.empty()) return false;
    std::string text;
    if (platform::ReadOwnFile(path, kMarkerMaxBytes, text) != platform::ReadResult::Ok) return false;
    UpdateMarker read;
    read.port = Value(text, "port");
    read.baud = Value(text, "baud");
    read.since = Value(text, "since");
    const std::string stage = Value(text, "stage");
    if (!stage.empty()) read.stage = stage;
    if (!ValidPort(read.port) || !ValidBaud(read.baud)) return false;
    if (read.stage != "program" && read.stage != "download") return false;
    marker = read;
    return true;
}

bool WriteUpdateMarker(const std::string& port, const std::string& baud, const char* stage) {
    const std::string path = UpdateMarkerPath();
    if (path.empty() || !ValidPort(port) || !ValidBaud(baud)) return false;
    const std::string text =
        "# A firmware update is in progress or was interrupted on this port.\n"
        "port=" +
        port + "\nbaud=" + baud + "\nsince=" + Now() + "\nstage=" + stage + "\n";
    return platform::ReplaceFileAtomically(path, text, 0600);
}

void RemoveUpdateMarker() {
    const std::string path = UpdateMarkerPath();
    if (!path.empty()) platform::RemoveOwnFile(path);
}

bool SamePort(const std::string& a, const std::string& b) {
    if (a == b) return true;
    const std::string da = DevicePath(a), db = DevicePath(b);
    return !da.empty() && da == db;
}

bool ProbeInterruptedUpdate(SearchState& s, const std::string& advice, const char* port, const char* baud) {
    UpdateMarker marker;
    if (!ReadUpdateMarker(marker)) return false;
    const std::string where = port && *port ? port : (s.szOnlyPort[0] ? s.szOnlyPort : marker.port);
    const std::string rate = baud && *baud ? baud : marker.baud;

    if (marker.stage == "download") {
        // The loader takes every byte as part of the download and gives up
        // only after a pause: a search sending into it now would keep it
        // waiting for ever. Let it give up, then search as usual.
        Status(s, "An update was interrupted in its download at " + marker.port +
                      ": waiting for the sensor's boot loader to give up on it...");
        std::unique_lock<std::mutex> lock(s.stopMutex);
        const bool stopped = s.stopCv.wait_for(lock, std::chrono::duration<double>(kLoaderGiveUpSeconds),
                                               [&s] { return s.nStop.load() != 0; });
        lock.unlock();
        if (!stopped) RemoveUpdateMarker();
        Status(s, "Looking for sensor...");
        return false;
    }
    Status(s, "Looking for the sensor in its update program at " + where + ", " + rate + " baud...");
    s.nRecovering.store(1);
    const ResyncResult result = ProbeTransferProgram(where.c_str(), rate.c_str(), [&s] { return s.nStop.load() != 0; });
    s.nRecovering.store(0);
    if (result == ResyncResult::Found) {
        std::snprintf(s.szPort, sizeof s.szPort, "%s", where.c_str());
        std::snprintf(s.szBaud, sizeof s.szBaud, "%s", rate.c_str());
        std::memset(s.szSerial, 0, sizeof s.szSerial);
        std::memset(s.szIdentity, 0, sizeof s.szIdentity);
        std::string text = "Sensor found in its update program at " + where + ", " + rate + " baud";
        if (!advice.empty()) text += " \xE2\x80\x94 " + advice;
        Status(s, text);
        return true;
    }
    // The sensor's own firmware answered on the marker's port: it is out
    // of the program (restarted), and the marker has done its work.
    if (result == ResyncResult::Application && SamePort(where, marker.port)) RemoveUpdateMarker();
    Status(s, "Looking for sensor...");
    return false;
}

void InstallUpdateProgramProbe(CMainFrameCore& frame, const std::string& advice) {
    frame.m_updateProgramProbe = [advice](SearchState& s) { return ProbeInterruptedUpdate(s, advice); };
}

void RequestUpdateStop() { g_stopRequested.store(true); }

void ClearUpdateStop() { g_stopRequested.store(false); }

bool UpdateStopRequested() { return g_stopRequested.load(); }
