#include "platform/Platform.h"

#include <windows.h>

#include <io.h>
#include <mmsystem.h>

#include <cstdlib>
#include <string>

namespace platform {

char PathSeparator() { return '\\'; }

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '\\' || dir.back() == '/') return dir + name;
    return dir + '\\' + name;
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string CurrentDirectory() {
    const DWORD size = GetCurrentDirectoryA(0, nullptr);
    if (size == 0) return {};
    std::string dir(size, '\0');
    const DWORD n = GetCurrentDirectoryA(size, dir.data());
    if (n == 0 || n >= size) return {};
    dir.resize(n);
    return dir;
}

bool IsAnsiTerminal(std::FILE* stream) {
    const int fd = _fileno(stream);
    if (fd < 0 || !_isatty(fd)) return false;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode)) return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void PrepareProcess() {
    // The protocol's waits are milliseconds long; the default timer tick
    // (15.6 ms) would stretch every one of them.
    timeBeginPeriod(1);
}

}  // namespace platform
