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

// The directory for the tool's small state files: TEMP when set (the user
// chose it); otherwise a directory of this user's alone ($XDG_RUNTIME_DIR/
// duxkupdate, else ~/.cache/duxkupdate, created with mode 0700), never a
// directory shared with other users. Empty (with a reason) when none can be
// had safely.
std::string PrivateStateDir(std::string* error = nullptr);

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
    // (0 and above), else the target's permissions, else 0666 less the umask.
    bool Begin(const std::string& target, std::string* why = nullptr, int mode = -1);
    // Writes data into the temporary file, flushes it to disk and renames it
    // over the target. The temporary file is gone afterwards either way.
    bool Commit(const std::string& data, std::string* why = nullptr);
    void Discard();

    bool Active() const { return fd_ >= 0; }
    const std::string& Target() const { return target_; }
    const std::string& TemporaryPath() const { return temp_; }

private:
    std::string target_, temp_;
    int fd_ = -1;
};

// Replaces path with data: a temporary file in the same directory (mode
// `mode`), written, flushed to disk and renamed over path. Never writes
// through a link at path (the rename replaces the link itself). On failure
// path is unchanged and the temporary file is gone.
bool ReplaceFileAtomically(const std::string& path, const std::string& data, unsigned mode,
                           std::string* error = nullptr);

// Opens a file for writing that only this user may read (created with mode
// 0600), appending or truncating. Never through a link at path, and only a
// regular file: a FIFO or a device is refused without waiting on it. Null
// (with a reason in `why`, may be null) when refused or on failure.
std::FILE* OpenPrivateOutput(const std::string& path, bool append, std::string* why = nullptr);

// Removes path when it is this user's regular file (or a link); missing is fine.
bool RemoveOwnFile(const std::string& path);

}  // namespace platform
