// The update markers: one small file per sensor and port in the private
// state directory, kept by an update (or read-back) while the sensor may run
// the transfer program, so that the next update of that sensor can find it
// there and take the work up. Keyed to the sensor's serial number and the
// most stable name of its port (the /dev/serial/by-id name where there is
// one, else the port name and the device behind it): updates of several
// sensors side by side never touch each other's markers.
//
// A marker is written and removed only by the update it belongs to. While
// that update runs it holds the lock file beside its marker: a marker whose
// lock nobody holds was left by an update that ended without finishing.
#pragma once

#include <string>
#include <vector>

// The contents of a marker file.
struct UpdateMarker {
    std::string file;     // where it was read from (empty for one not read)
    bool legacy = false;  // the single DUXKUpdt.upd of earlier versions
    std::string serial;   // the sensor's serial number; empty: not known
    std::string port;     // the port name as the update was given it
    std::string byId;     // the port's /dev/serial/by-id name, when it had one
    std::string device;   // the device the port led to (empty in a legacy marker)
    std::string baud;
    // "download" while the transfer program goes into the sensor's boot
    // loader (which, cut off, takes whatever comes next as download bytes and
    // gives up only after some seconds without any), "program" once the
    // program may run.
    std::string stage = "program";
    long long time = 0;  // seconds since 1970; 0: not known
    std::string since;   // the same as local time, for people
    // "update", or "readback" for backup and verify, which change no flash.
    std::string command = "update";
    // An earlier run of this update was interrupted after it may have
    // changed the flash (carried forward by the runs that take it up).
    bool changed = false;
    // The absolute path of the first run's --backup file (empty: none was
    // asked for), and whether that backup was saved.
    std::string backup;
    bool backupSaved = false;

    // The flash may no longer be what it was before the update began.
    bool FlashMayBeChanged() const { return changed || (command == "update" && stage == "program"); }
};

// Seconds after which a marker is reported, not acted on: a week.
constexpr long long kMarkerMaxAgeSeconds = 7LL * 24 * 3600;
// Seconds without a byte after which the boot loader abandons a download.
constexpr double kLoaderGiveUpSeconds = 6.0;

// The directory of the markers (the private state directory); empty, with
// the reason in `why` (may be null), when there is none.
std::string UpdateMarkerDir(std::string* why = nullptr);

// Parses a marker file's text. False for anything an update of ours could
// not have written (a rate we do not use, a port that is no port name,
// control characters, unknown stages).
bool ParseUpdateMarker(const std::string& text, UpdateMarker& marker);
// The text of a marker file.
std::string FormatUpdateMarker(const UpdateMarker& marker);

// Every marker in the directory that this user could have written (regular
// files of their own, not links), the legacy one included, oldest first.
std::vector<UpdateMarker> ReadUpdateMarkers();
// Reads the marker at path again (it may have been removed or replaced).
bool ReadUpdateMarkerFile(const std::string& path, UpdateMarker& marker);

// Whether the update the marker belongs to is still running (in any process).
bool MarkerIsLive(const UpdateMarker& marker);
// Older than kMarkerMaxAgeSeconds at `now` (seconds since 1970), or of an
// unknown age.
bool MarkerIsStale(const UpdateMarker& marker, long long now);
long long EpochSeconds();

// What a port name leads to now.
struct PortIdentity {
    std::string byId;    // its /dev/serial/by-id name; empty: none
    std::string device;  // the device behind it; empty: the name leads nowhere
};
PortIdentity IdentifyPort(const std::string& port);

// Whether `port` is where the marker's sensor was: Same (the same adapter by
// its by-id name, whatever node it has now; else the same device), Changed
// (the marker's port name, but it leads to another device now), Other.
enum class PortMatch { Same, Changed, Other };
PortMatch MatchMarkerPort(const UpdateMarker& marker, const std::string& port);
// The name under which the marker's sensor is reached now: its port name
// when that still leads to the marker's device, else its by-id name when
// that is present; empty when neither (the port leads elsewhere now).
std::string MarkerPortNow(const UpdateMarker& marker);
// The file name (no directory) of the marker of this sensor on this port,
// for an update or (command "readback") a read-back, which keeps its own.
std::string UpdateMarkerFileName(const std::string& serial, const std::string& port, const PortIdentity& identity,
                                 const std::string& command = "update");

// "an update of K52A01234 on COM1 was interrupted at 2024-05-02 14:03:11"
std::string DescribeMarker(const UpdateMarker& marker);

// Whether a marker can be written now (a trial file in the directory);
// false with `why` naming the directory and the reason.
bool UpdateMarkerDirUsable(std::string* why);

// The record of the running update or read-back (one at a time: there is
// one sensor channel). BeginUpdateRecord takes the lock of the sensor's
// marker and makes sure that a marker can be written, before anything is
// sent; false, with `why` naming the directory and the reason, when the work
// must not start. An update takes over the markers its sensor's earlier runs
// left (fresh ones that nobody holds, its serial number's, or of its port
// with either number unknown): what they knew of the flash goes into the
// markers this run writes, and they go once it has written its own. A
// marker of the same port name that leads to another device now may be
// this sensor's too: what it says of the flash counts, but it stays.
// EndUpdateRecord releases the lock (the marker stays unless it was removed).
struct UpdateRecordRequest {
    std::string serial;  // may be empty: not known
    std::string port;    // as the update opens it
    std::string command = "update";
    std::string backupPath;  // --backup FILE; empty: none
    // The sensor was found running the transfer program of an earlier run.
    bool resume = false;
};
bool BeginUpdateRecord(const UpdateRecordRequest& request, std::string* why);
void EndUpdateRecord();

// Whether the running update may take its backup: not when an earlier run
// may already have changed the flash. `note` gets what to tell the user
// then: where the first run's backup is, or that it took none.
bool UpdateRecordAllowsBackup(std::string* note);
// The sensor was met in the transfer program of an earlier run: from now on
// the flash counts as possibly changed.
void NoteProgramRunning();
// The running update's backup has been saved into its file.
void NoteBackupSaved();
// Writes the running work's marker (port and rate as it runs now). Without
// a record begun, the marker of an unknown sensor on that port is written.
bool WriteUpdateMarker(const std::string& port, const std::string& baud, const char* stage = "program",
                       std::string* why = nullptr);
// The sensor has left the transfer program with the work done: removes the
// running work's marker and those it took over.
void RemoveUpdateMarker();
// The reason of the last marker write that failed.
std::string LastMarkerError();
// The path of the marker the running work writes (empty before a write).
std::string CurrentMarkerPath();
