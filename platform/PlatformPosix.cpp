#include "platform/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

char PathSeparator() { return '/'; }

std::string JoinPath(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/') return dir + name;
    return dir + '/' + name;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string CurrentDirectory() {
    std::string cwd;
    if (char* dir = ::getcwd(nullptr, 0)) {
        cwd = dir;
        std::free(dir);
    }
    return cwd;
}

bool IsAnsiTerminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

void PrepareProcess() {}

}  // namespace platform
