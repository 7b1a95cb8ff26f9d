// The update markers: reading, writing and keying them, and the record of
// the running update that writes them.
#include "update/UpdateMarker.h"

#include "platform/FileLock.h"
#include "platform/Files.h"
#include "platform/Platform.h"
#include "serial/PortMap.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>

namespace fs = std::filesystem;

namespace {

const char kLegacyName[] = "DUXKUpdt.upd";
const char kPrefix[] = "DUXKUpdt.";
const char kSuffix[] = ".upd";
const char kLockSuffix[] = ".lock";
constexpr size_t kMarkerMaxBytes = 8192;
constexpr size_t kMaxValue = 4096;
constexpr size_t kMaxSerial = 79;

bool ValidBaud(const std::string& baud) {
    return baud == "38400" || baud == "19200" || baud == "9600" || baud == "4800";
}

// Printable, of a length a path can have.
bool ValidText(const std::string& text, size_t max = kMaxValue) {
    if (text.size() > max) return false;
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return false;
    return true;
}

// "COMn" or an absolute device path.
bool ValidPort(const std::string& port) {
    return !port.empty() && ValidText(port) && (ComPortNumber(port) > 0 || fs::path(port).is_absolute());
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "COM1" for any spelling of it; other names as they are.
std::string CanonicalPortName(const std::string& port) {
    const int n = ComPortNumber(port);
    return n > 0 ? "COM" + std::to_string(n) : port;
}

bool SamePortName(const std::string& a, const std::string& b) { return CanonicalPortName(a) == CanonicalPortName(b); }

bool SerialsMatch(const std::string& a, const std::string& b) { return a.empty() || b.empty() || a == b; }

std::string LocalTime(long long seconds) {
    static std::mutex mutex;
    const std::time_t t = static_cast<std::time_t>(seconds);
    char text[64] = "";
    std::lock_guard<std::mutex> lock(mutex);
    if (const std::tm* local = std::localtime(&t)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", local);
    return text;
}

// The local time of a legacy marker's "since"; 0 when it is none.
long long ParseLocalTime(const std::string& text) {
    std::tm tm{};
    char rest = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
                    &tm.tm_sec, &rest) != 6)
        return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    // Before 1970 (or none at all): of no known age.
    return t <= 0 ? 0 : static_cast<long long>(t);
}

bool ParseSeconds(const std::string& text, long long& value) {
    if (text.empty() || text.size() > 18) return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

uint64_t Fnv1a(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

std::string LockPathOf(const std::string& markerPath) {
    return markerPath.substr(0, markerPath.size() - (sizeof kSuffix - 1)) + kLockSuffix;
}

#ifndef _WIN32
// The device a path leads to: its canonical path, or for a link whose
// device is gone, where the links point.
std::string DeviceBehind(const std::string& path) {
    std::error_code ec;
    const fs::path canonical = fs::canonical(path, ec);
    if (!ec) return canonical.string();
    fs::path at = path;
    for (int depth = 0; depth < 16 && fs::is_symlink(at, ec); ++depth) {
        const fs::path target = fs::read_symlink(at, ec);
        if (ec) break;
        at = target.is_absolute() ? target : at.parent_path() / target;
    }
    return at.lexically_normal().string();
}
#endif

}  // namespace

std::string UpdateMarkerDir(std::string* why) { return platform::PrivateStateDir(why); }

bool ParseUpdateMarker(const std::string& text, UpdateMarker& marker) {
    std::map<std::string, std::string> values;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        values.emplace(line.substr(0, eq), line.substr(eq + 1));
    }
    auto get = [&values](const char* key) {
        auto it = values.find(key);
        return it == values.end() ? std::string() : it->second;
    };
    UpdateMarker read;
    read.serial = get("serial");
    read.port = get("port");
    read.byId = get("byid");
    read.device = get("device");
    read.baud = get("baud");
    read.since = get("since");
    read.backup = get("backup");
    if (const std::string stage = get("stage"); !stage.empty()) read.stage = stage;
    if (const std::string command = get("command"); !command.empty()) read.command = command;
    if (!ValidPort(read.port) || !ValidBaud(read.baud)) return false;
    if (read.stage != "program" && read.stage != "download") return false;
    if (read.command != "update" && read.command != "readback") return false;
    if (!ValidText(read.serial, kMaxSerial) || !ValidText(read.byId) || !ValidText(read.device) ||
        !ValidText(read.since, 64) || !ValidText(read.backup))
        return false;
    const std::string time = get("time");
    if (!time.empty() && !ParseSeconds(time, read.time)) return false;
    if (time.empty()) read.time = ParseLocalTime(read.since);
    read.changed = get("changed") == "1";
    read.backupSaved = get("backup_saved") == "1";
    marker = read;
    return true;
}

std::string FormatUpdateMarker(const UpdateMarker& m) {
    std::string text =
        "# A firmware update of this sensor is in progress or was interrupted; the next update of\n"
        "# the sensor takes it up and removes this file when it is through.\n";
    auto put = [&text](const char* key, const std::string& value) { text += std::string(key) + "=" + value + "\n"; };
    put("serial", m.serial);
    put("port", m.port);
    put("byid", m.byId);
    put("device", m.device);
    put("baud", m.baud);
    put("stage", m.stage);
    put("time", std::to_string(m.time));
    put("since", m.since);
    put("command", m.command);
    put("changed", m.changed ? "1" : "0");
    put("backup", m.backup);
    put("backup_saved", m.backupSaved ? "1" : "0");
    return text;
}

bool ReadUpdateMarkerFile(const std::string& path, UpdateMarker& marker) {
    std::string text;
    if (platform::ReadOwnFile(path, kMarkerMaxBytes, text) != platform::ReadResult::Ok) return false;
    UpdateMarker read;
    if (!ParseUpdateMarker(text, read)) return false;
    read.file = path;
    read.legacy = fs::path(path).filename() == kLegacyName;
    if (read.legacy) {
        // Earlier versions knew neither the sensor nor the device.
        read.serial.clear();
        read.byId.clear();
        read.device.clear();
    }
    marker = read;
    return true;
}

std::vector<UpdateMarker> ReadUpdateMarkers() {
    std::vector<UpdateMarker> markers;
    const std::string dir = UpdateMarkerDir();
    if (dir.empty()) return markers;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(kPrefix, 0) != 0 || !EndsWith(name, kSuffix)) continue;
        UpdateMarker marker;
        if (ReadUpdateMarkerFile(platform::JoinPath(dir, name), marker)) markers.push_back(marker);
    }
    std::sort(markers.begin(), markers.end(), [](const UpdateMarker& a, const UpdateMarker& b) {
        return a.time != b.time ? a.time < b.time : a.file < b.file;
    });
    return markers;
}

bool MarkerIsLive(const UpdateMarker& marker) {
    return !marker.legacy && !marker.file.empty() && platform::FileLock::IsHeld(LockPathOf(marker.file));
}

bool MarkerIsStale(const UpdateMarker& marker, long long now) {
    return marker.time <= 0 || now - marker.time > kMarkerMaxAgeSeconds;
}

long long EpochSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

PortIdentity IdentifyPort(const std::string& port) {
    PortIdentity identity;
    const std::string resolved = ResolvePortName(port);
    if (resolved.empty()) return identity;
#ifdef _WIN32
    identity.device = CanonicalPortName(port);
#else
    identity.device = DeviceBehind(resolved);
    for (const SerialDevice& d : DiscoverSerialDevices()) {
        if (d.kind == "by-id" && d.node == identity.device) {
            identity.byId = d.path;
            break;
        }
    }
#endif
    return identity;
}

PortMatch MatchMarkerPort(const UpdateMarker& marker, const std::string& port) {
    const bool sameName = SamePortName(marker.port, port);
    if (marker.device.empty()) {
        // A legacy marker: the name, or the device both lead to now.
        if (sameName) return PortMatch::Same;
        const PortIdentity a = IdentifyPort(marker.port), b = IdentifyPort(port);
        return !a.device.empty() && a.device == b.device ? PortMatch::Same : PortMatch::Other;
    }
    const PortIdentity now = IdentifyPort(port);
    // The adapter by its by-id name, under whatever device node it came back.
    if (!marker.byId.empty() && now.byId == marker.byId) return PortMatch::Same;
    // The same device: unless the marker's adapter is known to be
    // elsewhere now (its by-id name leads to another node).
    std::error_code ec;
    if (!now.device.empty() && now.device == marker.device &&
        (marker.byId.empty() || (now.byId.empty() && !fs::exists(marker.byId, ec))))
        return PortMatch::Same;
    return sameName ? PortMatch::Changed : PortMatch::Other;
}

std::string MarkerPortNow(const UpdateMarker& marker) {
    if (MatchMarkerPort(marker, marker.port) == PortMatch::Same) return marker.port;
    std::error_code ec;
    if (!marker.byId.empty() && fs::exists(marker.byId, ec) && MatchMarkerPort(marker, marker.byId) == PortMatch::Same)
        return marker.byId;
    return {};
}

std::string UpdateMarkerFileName(const std::string& serial, const std::string& port, const PortIdentity& identity,
                                 const std::string& command) {
    std::string tag;
    for (unsigned char c : serial) {
        if (tag.size() >= 32) break;
        tag += std::isalnum(c) || c == '-' ? static_cast<char>(c) : '_';
    }
    if (tag.empty()) tag = "unknown";
    // The most stable name of the port: its by-id name, else the port name
    // and the device behind it.
    std::string stable =
        identity.byId.empty() ? CanonicalPortName(port) + "\n" + identity.device : "by-id\n" + identity.byId;
    if (command != "update") stable += "\n" + command;
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx", static_cast<unsigned long long>(Fnv1a(serial + "\n" + stable)));
    return std::string(kPrefix) + tag + "." + hash + kSuffix;
}

std::string DescribeMarker(const UpdateMarker& marker) {
    const std::string who = marker.serial.empty() ? "the sensor" : marker.serial;
    const std::string what = marker.command == "update" ? "an update" : "a flash read-back";
    return what + " of " + who + " on " + marker.port + " was interrupted at " +
           (marker.since.empty() ? "an unknown time" : marker.since);
}

// ---- the running work's record ------------------------------------------------

namespace {

struct Record {
    bool active = false;
    UpdateRecordRequest request;
    std::string markerPort;  // the port name as markers hold it
    PortIdentity identity;
    std::string path;  // this work's marker
    platform::FileLock lock;
    std::vector<std::string> inherited;
    bool changed = false;         // the flash may be changed by an earlier run
    bool changeRecorded = false;  // known from a marker (not only from the program found)
    bool onlyReadbacks = false;   // every marker taken over was a read-back's
    std::string backup;
    bool backupSaved = false;
    UpdateMarker last;  // the last marker written
    bool written = false;
    std::string error;
};

std::mutex g_recordMutex;
Record g_record;

void EndLocked() {
    g_record.lock.Release(true);
    g_record.active = false;
    g_record.request = UpdateRecordRequest{};
    g_record.markerPort.clear();
    g_record.identity = PortIdentity{};
    g_record.path.clear();
    g_record.inherited.clear();
    g_record.changed = g_record.changeRecorded = g_record.onlyReadbacks = false;
    g_record.backup.clear();
    g_record.backupSaved = false;
    g_record.last = UpdateMarker{};
    g_record.written = false;
}

std::string AbsolutePath(const std::string& path) {
    std::error_code ec;
    const fs::path absolute = fs::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

// The port as a marker holds it: COMn, or an absolute path.
std::string MarkerPortName(const std::string& port) {
    return ComPortNumber(port) > 0 ? CanonicalPortName(port) : AbsolutePath(port);
}

bool WriteLocked(UpdateMarker marker, std::string* why) {
    Record& r = g_record;
    marker.time = EpochSeconds();
    marker.since = LocalTime(marker.time);
    marker.changed = r.changed;
    marker.backup = r.backup;
    marker.backupSaved = r.backupSaved;
    std::string error;
    bool ok = ValidPort(marker.port) && ValidBaud(marker.baud) && ValidText(marker.serial, kMaxSerial);
    if (!ok) error = "not a port name or rate an update runs with";
    if (ok && r.path.empty()) {
        const std::string dir = UpdateMarkerDir(&error);
        ok = !dir.empty();
        if (ok)
            r.path =
                platform::JoinPath(dir, UpdateMarkerFileName(marker.serial, marker.port, r.identity, marker.command));
    }
    if (ok) ok = platform::ReplaceFileAtomically(r.path, FormatUpdateMarker(marker), 0600, &error);
    if (!ok) {
        r.error = (r.path.empty() ? std::string("the update's record") : r.path) + ": " + error;
        if (why) *why = r.error;
        return false;
    }
    r.last = marker;
    r.written = true;
    // What the markers taken over knew is in this one now.
    for (const std::string& file : r.inherited) platform::RemoveOwnFile(file);
    r.inherited.clear();
    return true;
}

}  // namespace

namespace {

// A small file written beside the markers and removed again.
bool TryWriting(const std::string& dir, const std::string& name, std::string* why) {
    std::string reason;
    const std::string trial = platform::JoinPath(dir, name);
    // As large as a marker, so that it takes a block: on a full filesystem
    // an empty file is still made (it needs only an inode).
    if (!platform::ReplaceFileAtomically(trial, std::string(512, '\n'), 0600, &reason)) {
        if (why) *why = "the update's record of its progress cannot be kept in " + dir + ": " + reason;
        return false;
    }
    platform::RemoveOwnFile(trial);
    return true;
}

}  // namespace

bool UpdateMarkerDirUsable(std::string* why) {
    std::string reason;
    const std::string dir = UpdateMarkerDir(&reason);
    if (dir.empty()) {
        if (why) *why = "no directory for the update's record of its progress: " + reason;
        return false;
    }
    return TryWriting(dir, std::string(kPrefix) + "check." + std::to_string(EpochSeconds() % 100000) + ".try", why);
}

bool BeginUpdateRecord(const UpdateRecordRequest& request, std::string* why) {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    EndLocked();
    Record& r = g_record;
    auto refuse = [&](const std::string& text) {
        if (why) *why = text;
        EndLocked();
        return false;
    };
    std::string reason;
    const std::string dir = UpdateMarkerDir(&reason);
    if (dir.empty()) return refuse("no directory for the update's record of its progress: " + reason);
    r.markerPort = MarkerPortName(request.port);
    r.identity = IdentifyPort(request.port);
    r.path = platform::JoinPath(dir, UpdateMarkerFileName(request.serial, r.markerPort, r.identity, request.command));
    const std::string who =
        (request.serial.empty() ? std::string("the sensor") : request.serial) + " on " + request.port;
    switch (r.lock.Take(LockPathOf(r.path), &reason)) {
    case platform::FileLock::Result::Taken: break;
    case platform::FileLock::Result::Held:
        return refuse("an update of " + who + " is already running in another process");
    case platform::FileLock::Result::Failed:
        return refuse("the update's record of its progress cannot be kept in " + dir + ": " + reason);
    }
    // A marker must be writable before anything is sent: try it now.
    const std::string name = fs::path(r.path).filename().string();
    if (!TryWriting(dir, name.substr(0, name.size() - (sizeof kSuffix - 1)) + ".try", &reason)) return refuse(reason);

    // Take over what this sensor's earlier runs on this port left.
    const long long now = EpochSeconds();
    const UpdateMarker* first = nullptr;
    const std::vector<UpdateMarker> markers = ReadUpdateMarkers();
    size_t readbacks = 0, taken = 0;
    for (const UpdateMarker& m : markers) {
        if (MarkerIsStale(m, now)) continue;
        if (m.file != r.path) {
            // A read-back changes no flash and takes over nothing.
            if (request.command != "update" || MarkerIsLive(m) || !SerialsMatch(m.serial, request.serial)) continue;
            // This sensor's for certain: its serial number, or the same port
            // with either number unknown. Such markers go once this run has
            // written its own. One of the same port name that leads to
            // another device now may be this sensor's too: its word on the
            // flash counts, but it stays (unless the program runs there).
            const PortMatch match = MatchMarkerPort(m, request.port);
            // A program found running on the port of the marker's name is
            // that marker's sensor's, whatever device the name leads to now.
            const bool certain = (!m.serial.empty() && !request.serial.empty()) || match == PortMatch::Same ||
                                 (request.resume && match == PortMatch::Changed);
            if (!certain && match != PortMatch::Changed) continue;
            if (certain) r.inherited.push_back(m.file);
        }
        ++taken;
        if (m.command == "readback") ++readbacks;
        if (m.FlashMayBeChanged() && !first) first = &m;  // the oldest: the first run's
    }
    r.onlyReadbacks = taken > 0 && readbacks == taken;
    if (first) {
        r.changed = r.changeRecorded = true;
        r.backup = first->backup;
        r.backupSaved = first->backupSaved;
    }
    r.request = request;
    r.active = true;
    if (request.resume && !r.onlyReadbacks) r.changed = true;
    if (!r.changed && !request.backupPath.empty()) r.backup = AbsolutePath(request.backupPath);
    return true;
}

void EndUpdateRecord() {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    EndLocked();
}

bool UpdateRecordAllowsBackup(std::string* note) {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    const Record& r = g_record;
    if (!r.changed) return true;
    std::string text = "No backup taken: an earlier run of this update may already have changed the flash";
    if (!r.changeRecorded)
        text += " (the sensor was found in its update program, and that run left no record).";
    else if (r.backup.empty())
        text += ". That run took no backup.";
    else if (r.backupSaved)
        text += ". The flash as it was before that run is in " + r.backup + ".";
    else
        text += ". That run's backup into " + r.backup + " was not completed.";
    if (note) *note = text;
    return false;
}

void NoteProgramRunning() {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    if (!g_record.onlyReadbacks) g_record.changed = true;
}

void NoteBackupSaved() {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    Record& r = g_record;
    if (!r.active || r.changed) return;
    r.backupSaved = true;
    if (r.written) WriteLocked(r.last, nullptr);
}

bool WriteUpdateMarker(const std::string& port, const std::string& baud, const char* stage, std::string* why) {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    Record& r = g_record;
    UpdateMarker marker;
    if (r.active) {
        marker.serial = r.request.serial;
        marker.command = r.request.command;
        marker.port = r.markerPort;
    } else {
        // No record begun (a driver used on its own): an unknown sensor's
        // marker for this port.
        marker.port = MarkerPortName(port);
        r.identity = IdentifyPort(port);
        r.path.clear();
    }
    marker.byId = r.identity.byId;
    marker.device = r.identity.device;
    marker.baud = baud;
    marker.stage = stage ? stage : "program";
    return WriteLocked(marker, why);
}

void RemoveUpdateMarker() {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    Record& r = g_record;
    if (!r.path.empty()) platform::RemoveOwnFile(r.path);
    for (const std::string& file : r.inherited) platform::RemoveOwnFile(file);
    r.inherited.clear();
    r.written = false;
}

std::string LastMarkerError() {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    return g_record.error;
}

std::string CurrentMarkerPath() {
    std::lock_guard<std::mutex> guard(g_recordMutex);
    return g_record.path;
}
