// The user's own files on Windows. The per-user temporary directory is
// private by its access list, so ownership needs no check of its own; links
// (reparse points) are not followed and only disk files are read.
#include "platform/Files.h"

#include "platform/Platform.h"

#include <windows.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <string>
#include <sys/stat.h>

namespace platform {

namespace {

void Say(std::string* out, const std::string& text) {
    if (out) *out = text;
}

std::string SystemErrorText(DWORD code) {
    char* text = nullptr;
    const DWORD n =
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string out = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == '.')) out.pop_back();
    return out;
}

// %TEMP% (else TMP, else the system's answer): the user's own directory.
std::string TempDirectory() {
    for (const char* var : {"TEMP", "TMP"}) {
        const char* value = std::getenv(var);
        if (value && *value) return value;
    }
    char buf[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n > MAX_PATH) return ".";
    std::string dir(buf, n);
    // GetTempPath ends in a separator; the directory is named without it.
    while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/')) dir.pop_back();
    return dir;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool WriteAll(HANDLE file, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const size_t left = data.size() - done;
        const DWORD chunk = left > 0x10000000 ? 0x10000000 : static_cast<DWORD>(left);
        DWORD written = 0;
        if (!WriteFile(file, data.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

}  // namespace

std::string HomeDirectory() {
    if (const char* profile = std::getenv("USERPROFILE"); profile && *profile) return profile;
    const char* drive = std::getenv("HOMEDRIVE");
    const char* path = std::getenv("HOMEPATH");
    if (drive && path && *path) return std::string(drive) + path;
    return {};
}

std::string ErrorText(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

WholeFile ReadWholeFile(const std::string& path, size_t maxBytes, std::string& data, std::string* why,
                        long long* size) {
    data.clear();
    if (size) *size = 0;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (IsDirectory(path)) {
            Say(why, path + ": is a directory");
            return WholeFile::Directory;
        }
        Say(why, path + ": " + SystemErrorText(e));
        return WholeFile::CannotOpen;
    }
    WholeFile result = WholeFile::Ok;
    LARGE_INTEGER length{};
    if (GetFileType(file) != FILE_TYPE_DISK) {
        Say(why, path + ": not a regular file");
        result = WholeFile::NotRegular;
    } else if (!GetFileSizeEx(file, &length)) {
        Say(why, path + ": " + SystemErrorText(GetLastError()));
        result = WholeFile::CannotOpen;
    } else if (static_cast<unsigned long long>(length.QuadPart) > maxBytes) {
        Say(why, path + ": too large");
        result = WholeFile::TooLarge;
    } else {
        if (size) *size = length.QuadPart;
        char buffer[65536];
        for (;;) {
            DWORD n = 0;
            if (!ReadFile(file, buffer, sizeof buffer, &n, nullptr)) {
                Say(why, path + ": " + SystemErrorText(GetLastError()));
                result = WholeFile::CannotOpen;
                break;
            }
            if (n == 0) break;
            data.append(buffer, n);
            if (data.size() > static_cast<size_t>(length.QuadPart)) break;
        }
        LARGE_INTEGER after{};
        if (result == WholeFile::Ok && (data.size() != static_cast<size_t>(length.QuadPart) ||
                                        !GetFileSizeEx(file, &after) || after.QuadPart != length.QuadPart)) {
            Say(why, path + ": changed while it was read");
            result = WholeFile::Changed;
        }
    }
    CloseHandle(file);
    if (result != WholeFile::Ok) data.clear();
    return result;
}

bool PendingFile::Begin(const std::string& target, std::string* why, int) {
    static std::atomic<unsigned> serial{0};
    Discard();
    const DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        Say(why, target + ": not a regular file");
        return false;
    }
    const size_t sep = target.find_last_of("\\/");
    const std::string dir = sep == std::string::npos ? std::string() : target.substr(0, sep + 1);
    const std::string base = sep == std::string::npos ? target : target.substr(sep + 1);
    for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
        temp_ = dir + "." + base + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(serial++);
        fd_ = _open(temp_.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        Say(why, "cannot create a file in " + (dir.empty() ? std::string(".") : dir) + ": " + ErrorText(errno));
        temp_.clear();
        return false;
    }
    target_ = target;
    return true;
}

bool PendingFile::Commit(const std::string& data, std::string* why, bool replace) {
    existed_ = false;
    if (fd_ < 0) {
        Say(why, "no file begun");
        return false;
    }
    bool ok = true;
    size_t done = 0;
    while (ok && done < data.size()) {
        const size_t left = data.size() - done;
        const int n = _write(fd_, data.data() + done, left > 0x10000000 ? 0x10000000u : static_cast<unsigned>(left));
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    if (ok && _commit(fd_) != 0) ok = false;
    const int e = errno;
    if (_close(fd_) != 0) ok = false;
    fd_ = -1;
    if (!ok) {
        Say(why, "cannot write " + temp_ + ": " + ErrorText(e));
    } else if (!MoveFileExA(temp_.c_str(), target_.c_str(),
                            MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
        const DWORD e = GetLastError();
        existed_ = !replace && (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS);
        Say(why, existed_ ? target_ + ": the file exists" : "cannot replace " + target_ + ": " + SystemErrorText(e));
        ok = false;
    }
    if (!ok) DeleteFileA(temp_.c_str());
    temp_.clear();
    return ok;
}

void PendingFile::Discard() {
    if (fd_ >= 0) {
        _close(fd_);
        fd_ = -1;
        DeleteFileA(temp_.c_str());
    }
    temp_.clear();
}

std::FILE* OpenPrivateOutput(const std::string& path, bool append, std::string* why) {
    // The file itself, not what a link at path points to; only a disk file.
    HANDLE file = CreateFileA(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              append ? OPEN_ALWAYS : CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        Say(why, path + ": " + SystemErrorText(GetLastError()));
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        CloseHandle(file);
        Say(why, path + ": not a regular file");
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), append ? _O_APPEND : 0);
    if (fd < 0) {
        CloseHandle(file);
        Say(why, path + ": cannot open");
        return nullptr;
    }
    std::FILE* stream = _fdopen(fd, append ? "ab" : "wb");
    if (!stream) {
        _close(fd);
        Say(why, path + ": cannot open");
    }
    return stream;
}

bool MakeDirectories(const std::string& dir, unsigned, std::string* error) {
    if (dir.empty()) {
        Say(error, "empty directory name");
        return false;
    }
    // Past a drive ("C:\") or a share ("\\server\share\"), each separator
    // ends a directory to create.
    size_t start = 1;
    if (dir.size() >= 2 && dir[1] == ':') start = 3;
    if (dir.size() >= 2 && IsSeparator(dir[0]) && IsSeparator(dir[1])) {
        size_t at = dir.find_first_of("\\/", 2);
        at = at == std::string::npos ? std::string::npos : dir.find_first_of("\\/", at + 1);
        start = at == std::string::npos ? dir.size() : at + 1;
    }
    for (size_t at = start; at <= dir.size(); ++at) {
        if (at != dir.size() && !IsSeparator(dir[at])) continue;
        const std::string part = dir.substr(0, at);
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            Say(error, "cannot create " + part + ": " + SystemErrorText(GetLastError()));
            return false;
        }
    }
    if (!IsDirectory(dir)) {
        Say(error, dir + ": not a directory");
        return false;
    }
    return true;
}

bool IsSafeStateDir(const std::string& dir, std::string* why) {
    // The user's own directories are private by their access lists; a link
    // (reparse point) is not followed.
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        Say(why, dir + ": not a directory");
        return false;
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        Say(why, dir + ": is a link");
        return false;
    }
    return true;
}

std::string PrivateStateDir(std::string*) {
    // %TEMP%: the user's own temporary directory.
    return TempDirectory();
}

std::string TempRefusal() { return {}; }

void SetStateDirNotice(void (*)(const std::string&)) {}

std::string KeptStateDir(std::string* error) { return PrivateStateDir(error); }

bool SameFile(const std::string& a, const std::string& b) {
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        HANDLE file = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        const bool ok = GetFileInformationByHandle(file, &info) != 0;
        CloseHandle(file);
        return ok;
    };
    BY_HANDLE_FILE_INFORMATION ia{}, ib{};
    return identify(a, ia) && identify(b, ib) && ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh && ia.nFileIndexLow == ib.nFileIndexLow;
}

bool PathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

ReadResult ReadOwnFile(const std::string& path, size_t maxBytes, std::string& data, std::string* why) {
    data.clear();
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (IsDirectory(path)) {
            Say(why, path + ": not a regular file");
            return ReadResult::Refused;
        }
        Say(why, path + ": " + SystemErrorText(e));
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return ReadResult::Missing;
        return ReadResult::Failed;
    }
    ReadResult result = ReadResult::Ok;
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        Say(why, path + ": not a regular file");
        result = ReadResult::Refused;
    } else {
        char buffer[4096];
        while (data.size() < maxBytes) {
            const size_t want = maxBytes - data.size() < sizeof buffer ? maxBytes - data.size() : sizeof buffer;
            DWORD n = 0;
            if (!ReadFile(file, buffer, static_cast<DWORD>(want), &n, nullptr)) {
                Say(why, path + ": " + SystemErrorText(GetLastError()));
                result = ReadResult::Failed;
                break;
            }
            if (n == 0) break;
            data.append(buffer, n);
        }
    }
    CloseHandle(file);
    if (result != ReadResult::Ok) data.clear();
    return result;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& data, int, std::string* error, bool replace) {
    static std::atomic<unsigned> serial{0};
    const size_t sep = path.find_last_of("\\/");
    const std::string dir = sep == std::string::npos ? std::string() : path.substr(0, sep + 1);
    const std::string base = sep == std::string::npos ? path : path.substr(sep + 1);
    HANDLE file = INVALID_HANDLE_VALUE;
    std::string temp;
    for (int attempt = 0; attempt < 100 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = dir + "." + base + "." + std::to_string(GetCurrentProcessId()) + "." + std::to_string(serial++);
        file = CreateFileA(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file == INVALID_HANDLE_VALUE) {
        Say(error, "cannot create a file in " + (dir.empty() ? std::string(".") : dir) + ": " +
                       SystemErrorText(GetLastError()));
        return false;
    }
    bool ok = WriteAll(file, data) && FlushFileBuffers(file);
    const DWORD e = GetLastError();
    if (!CloseHandle(file)) ok = false;
    if (!ok) {
        Say(error, "cannot write " + temp + ": " + SystemErrorText(e));
        DeleteFileA(temp.c_str());
        return false;
    }
    // One step, and on disk when it returns; a link at path is replaced
    // itself, not followed.
    if (!MoveFileExA(temp.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0))) {
        const DWORD e = GetLastError();
        Say(error, !replace && (e == ERROR_ALREADY_EXISTS || e == ERROR_FILE_EXISTS)
                       ? path + ": the file exists"
                       : "cannot replace " + path + ": " + SystemErrorText(e));
        DeleteFileA(temp.c_str());
        return false;
    }
    return true;
}

bool RemoveOwnFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
    return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

}  // namespace platform
