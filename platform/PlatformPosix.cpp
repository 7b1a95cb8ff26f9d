#include "platform/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string TempDirectory()
{
    for (const char* var : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(var);
        if (value && *value)
            return value;
    }
    return "/tmp";
}

char PathSeparator()
{
    return '/';
}

std::string JoinPath(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + '/' + name;
}

bool IsDirectory(const std::string& path)
{
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CurrentDirectory()
{
    std::string cwd;
    if (char* dir = ::getcwd(nullptr, 0)) {
        cwd = dir;
        std::free(dir);
    }
    return cwd;
}

std::FILE* OpenStream(const char* path, const char* mode)
{
    const std::string m = std::string(mode) + "e";  // O_CLOEXEC
    return std::fopen(path, m.c_str());
}

bool WriteFileExclusive(const std::string& path, const std::string& data)
{
    if (path.empty())
        return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    // Truncate only once the lock is held: a file that another writer holds
    // keeps its contents.
    bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ftruncate(fd, 0) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (::close(fd) != 0)
        ok = false;
    return ok;
}

bool IsAnsiTerminal(std::FILE* stream)
{
    return ::isatty(::fileno(stream)) != 0;
}

void PrepareProcess() {}

}  // namespace platform
