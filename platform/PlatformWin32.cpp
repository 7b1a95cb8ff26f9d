#include "platform/Platform.h"

#include <windows.h>

#include <io.h>
#include <mmsystem.h>

#include <cstdlib>
#include <string>

namespace platform {

std::string TempDirectory()
{
    for (const char* var : {"TEMP", "TMP"}) {
        const char* value = std::getenv(var);
        if (value && *value)
            return value;
    }
    char buf[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buf, buf);
    if (n == 0 || n > MAX_PATH)
        return ".";
    std::string dir(buf, n);
    // GetTempPath ends in a separator; the directory is named without it.
    while (dir.size() > 3 && (dir.back() == '\\' || dir.back() == '/'))
        dir.pop_back();
    return dir;
}

char PathSeparator()
{
    return '\\';
}

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir.back() == '\\' || dir.back() == '/')
        return dir + name;
    return dir + '\\' + name;
}

bool IsDirectory(const std::string& path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::string CurrentDirectory()
{
    const DWORD size = GetCurrentDirectoryA(0, nullptr);
    if (size == 0)
        return {};
    std::string dir(size, '\0');
    const DWORD n = GetCurrentDirectoryA(size, dir.data());
    if (n == 0 || n >= size)
        return {};
    dir.resize(n);
    return dir;
}

std::FILE* OpenStream(const char* path, const char* mode)
{
    const std::string m = std::string(mode) + "N";  // not inherited
    return std::fopen(path, m.c_str());
}

bool WriteFileExclusive(const std::string& path, const std::string& data)
{
    if (path.empty())
        return false;
    // No sharing: the open fails while anyone else has the file open, and
    // only then is it truncated.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = SetEndOfFile(file) != 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        const size_t chunk = data.size() - done > 0x10000000 ? 0x10000000 : data.size() - done;
        DWORD written = 0;
        if (!WriteFile(file, data.data() + done, static_cast<DWORD>(chunk), &written, nullptr) || written == 0)
            ok = false;
        done += written;
    }
    if (!CloseHandle(file))
        ok = false;
    return ok;
}

bool IsAnsiTerminal(std::FILE* stream)
{
    const int fd = _fileno(stream);
    if (fd < 0 || !_isatty(fd))
        return false;
    HANDLE console = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    DWORD mode = 0;
    if (console == INVALID_HANDLE_VALUE || !GetConsoleMode(console, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0 ||
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

void PrepareProcess()
{
    // The protocol's waits are milliseconds long; the default timer tick
    // (15.6 ms) would stretch every one of them.
    timeBeginPeriod(1);
}

}  // namespace platform
