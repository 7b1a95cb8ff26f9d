#include "platform/FileLock.h"

#include <windows.h>

namespace platform {

namespace {

std::string WinErrorText(DWORD code) {
    char text[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                   sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    return out.empty() ? "error " + std::to_string(code) : out;
}

bool LockRange(HANDLE h, DWORD flags) {
    OVERLAPPED at{};
    return LockFileEx(h, flags | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != 0;
}

void UnlockRange(HANDLE h) {
    OVERLAPPED at{};
    UnlockFileEx(h, 0, 1, 0, &at);
}

}  // namespace

FileLock::Result FileLock::Take(const std::string& path, std::string* why) {
    Release(false);
    const HANDLE h =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        // A file its holder is removing cannot be opened until it is gone.
        if (error == ERROR_ACCESS_DENIED && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
            return Result::Held;
        if (why) *why = path + ": " + WinErrorText(error);
        return Result::Failed;
    }
    if (!LockRange(h, LOCKFILE_EXCLUSIVE_LOCK)) {
        const DWORD error = GetLastError();
        CloseHandle(h);
        if (error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING) return Result::Held;
        if (why) *why = path + ": " + WinErrorText(error);
        return Result::Failed;
    }
    path_ = path;
    handle_ = reinterpret_cast<intptr_t>(h);
    return Result::Taken;
}

void FileLock::Release(bool removeFile) {
    if (handle_ == kNone) return;
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    if (removeFile) DeleteFileA(path_.c_str());
    UnlockRange(h);
    CloseHandle(h);
    handle_ = kNone;
    path_.clear();
}

bool FileLock::IsHeld(const std::string& path) {
    const HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;
    bool held = false;
    if (LockRange(h, 0))
        UnlockRange(h);
    else
        held = true;
    CloseHandle(h);
    return held;
}

}  // namespace platform
