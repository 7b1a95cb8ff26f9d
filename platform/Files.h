// The user's own files: the per-user directory that holds the last-port file
// and the update marker, reading small files there without following links,
// and replacing files atomically. One implementation per operating system.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace platform {

// This user's home directory: HOME when set, else the passwd entry's; empty
// when neither gives one. Never a shared directory such as /tmp.
std::string HomeDirectory();

// Creates dir and its missing parents (each new one with `mode`). True when
// dir exists as a directory afterwards.
bool MakeDirectories(const std::string& dir, unsigned mode, std::string* error = nullptr);

// Whether dir may hold the tool's state files (markers, the last port, the
// copies of calibrations): a directory, not a link, owned by this user, that
// nobody else may write into (a sticky bit does not make up for that: another
// user could still plant a file under a state file's name), on a path whose
// every directory above is root's or this user's and writable by others only
// when sticky, as /tmp is (nobody else can move dir away or put another in
// its place). `why` (may be null) gets the reason when it may not.
bool IsSafeStateDir(const std::string& dir, std::string* why = nullptr);

// The directory for the tool's small state files: TEMP when it is set and
// IsSafeStateDir holds for it (the user chose it); otherwise a directory of
// this user's alone ($XDG_RUNTIME_DIR/duxkupdate, else ~/.cache/duxkupdate,
// created with mode 0700), never a directory shared with other users. A TEMP
// that is refused is reported once (SetStateDirNotice) and the private
// directory is used instead. Empty (with a reason that names a refused TEMP
// too) when none can be had safely.
std::string PrivateStateDir(std::string* error = nullptr);
// Why TEMP is not used for state files: "" when it is unset or usable.
std::string TempRefusal();
// Where the refusal of a TEMP is reported, once for each value of TEMP (by
// default a line on standard error). Null restores the default.
void SetStateDirNotice(void (*report)(const std::string& text));

// The directory for state files that must outlive a log-out or a restart
// (the copies of the calibrations a load replaces): TEMP as above; else
// ${XDG_STATE_HOME:-~/.local/state}/duxkupdate (0700); else
// PrivateStateDir(). On Windows as PrivateStateDir().
std::string KeptStateDir(std::string* error = nullptr);

// True when both names lead to the same file (the same device and inode, or
// volume and file index), through links and however they are spelled.
// False when either does not exist.
bool SameFile(const std::string& a, const std::string& b);
// True when there is anything at path (a file, a directory, a dangling link).
bool PathExists(const std::string& path);

enum class ReadResult { Ok, Missing, Refused, Failed };
// Reads at most maxBytes of a small file without following a link and
// without blocking on a FIFO. Refused: not a regular file, or not owned by
// this user. `why` (may be null) gets a reason for anything but Ok.
ReadResult ReadOwnFile(const std::string& path, size_t maxBytes, std::string& data, std::string* why = nullptr);

enum class WholeFile { Ok, CannotOpen, Directory, NotRegular, TooLarge, Changed };
// Reads a regular file whole, at most maxBytes, for a user's input file.
// Opened without blocking (a FIFO or a device is refused, never waited on);
// a file that grows or shrinks while it is read is Changed; CannotOpen
// covers every error of open and read. `why` (may be null) gets
// "<path>: <reason>" for anything but Ok; `size` (may be null) the size the
// file had when it was opened.
WholeFile ReadWholeFile(const std::string& path, size_t maxBytes, std::string& data, std::string* why = nullptr,
                        long long* size = nullptr);
// strerror's text for error, starting in lower case ("no such file or directory").
std::string ErrorText(int error);

// The mode argument that asks for a file made as the user's own (0666 less
// the umask, or what the file it replaces had): backups, calibration saves.
constexpr int kUserFileMode = -1;

// A file being replaced: a temporary file beside the target that receives
// the new contents and is renamed over the target by Commit. Until then the
// target stays as it was; Discard, and the destructor, remove the temporary
// file. Never writes through a link at the target (the rename replaces the
// link itself).
class PendingFile {
public:
    PendingFile() = default;
    ~PendingFile() { Discard(); }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Creates the temporary file for target (discarding one begun before).
    // False when the target exists but is no regular file, or no file can be
    // created in its directory. The new file gets `mode` when it is given
    // (0 and above); otherwise (kUserFileMode) it is made as the user's own
    // file: 0666 less the umask for a new one, and for a replacement the
    // permissions of the file it replaces, with its group where the user may
    // give it that group (where not, the group gets no more than others).
    bool Begin(const std::string& target, std::string* why = nullptr, int mode = kUserFileMode);
    // Writes data into the temporary file, flushes it to disk and renames it
    // over the target. The temporary file is gone afterwards either way.
    // With replace false an existing target (a link included) is kept and
    // the commit fails ("<target>: the file exists"; TargetExisted() then),
    // also when the target appeared only after Begin.
    bool Commit(const std::string& data, std::string* why = nullptr, bool replace = true);
    bool TargetExisted() const { return existed_; }
    void Discard();

    bool Active() const { return fd_ >= 0; }
    const std::string& Target() const { return target_; }
    const std::string& TemporaryPath() const { return temp_; }

private:
    std::string target_, temp_;
    int fd_ = -1;
    bool existed_ = false;
};

// Replaces path with data: a temporary file in the same directory (mode
// `mode`, see PendingFile::Begin), written, flushed to disk and renamed over
// path. Never writes through a link at path (the rename replaces the link
// itself). With replace false an existing path is kept and the call fails.
// On failure path is unchanged and the temporary file is gone.
bool ReplaceFileAtomically(const std::string& path, const std::string& data, int mode, std::string* error = nullptr,
                           bool replace = true);

// A file to be written: "" when it can be created or replaced in its
// directory (a temporary file is made there and removed again), else
// "<path>: <reason>". The file itself is not touched.
std::string CheckOutputFile(const std::string& path);

// Opens a file for writing that only this user may read (created with mode
// 0600), appending or truncating. Never through a link at path, and only a
// regular file: a FIFO or a device is refused without waiting on it. Null
// (with a reason in `why`, may be null) when refused or on failure.
std::FILE* OpenPrivateOutput(const std::string& path, bool append, std::string* why = nullptr);

// Removes path when it is this user's regular file (or a link); missing is fine.
bool RemoveOwnFile(const std::string& path);

}  // namespace platform
