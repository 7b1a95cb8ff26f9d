// The user's own files: the per-user directory that holds the last-port file
// and the update marker, reading small files there without following links,
// and replacing files atomically. One implementation per operating system.
#pragma once

#include <cstddef>
#include <string>

namespace platform {

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

// Replaces path with data: a temporary file in the same directory (mode
// `mode`), written, flushed to disk and renamed over path. Never writes
// through a link at path (the rename replaces the link itself). On failure
// path is unchanged and the temporary file is gone.
bool ReplaceFileAtomically(const std::string& path, const std::string& data, unsigned mode,
                           std::string* error = nullptr);

// Removes path when it is this user's regular file (or a link); missing is fine.
bool RemoveOwnFile(const std::string& path);

}  // namespace platform
