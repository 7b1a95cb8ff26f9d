#include "platform/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

void Say(std::string* out, const std::string& text) {
    if (out) *out = text;
}

std::string HomeDir() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

// dir exists, is a real directory (not a link) owned by this user, and no
// one else may write into it.
bool IsPrivateDir(const std::string& dir) {
    struct stat st {};
    return lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// parent/duxkupdate, made private; empty when that cannot be had.
std::string PrivateSubdir(const std::string& parent) {
    if (parent.empty() || parent[0] != '/') return {};
    const std::string dir = (parent.back() == '/' ? parent : parent + "/") + "duxkupdate";
    if (!MakeDirectories(parent, 0700)) return {};
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return {};
    return IsPrivateDir(dir) ? dir : std::string();
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool MakeDirectories(const std::string& dir, unsigned mode, std::string* error) {
    if (dir.empty()) {
        Say(error, "empty directory name");
        return false;
    }
    for (size_t at = 1; at <= dir.size(); ++at) {
        if (at != dir.size() && dir[at] != '/') continue;
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            Say(error, "cannot create " + part + ": " + std::strerror(errno));
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        Say(error, dir + ": not a directory");
        return false;
    }
    return true;
}

std::string PrivateStateDir(std::string* error) {
    const std::string temp = Env("TEMP");
    if (!temp.empty()) return temp;
    if (std::string dir = PrivateSubdir(Env("XDG_RUNTIME_DIR")); !dir.empty()) return dir;
    const std::string home = HomeDir();
    if (!home.empty()) {
        if (std::string dir = PrivateSubdir(home + "/.cache"); !dir.empty()) return dir;
    }
    Say(error, "no private directory for state files (TEMP, XDG_RUNTIME_DIR and HOME unusable)");
    return {};
}

ReadResult ReadOwnFile(const std::string& path, size_t maxBytes, std::string& data, std::string* why) {
    data.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        Say(why, path + ": " + std::strerror(e));
        if (e == ENOENT) return ReadResult::Missing;
        return e == ELOOP ? ReadResult::Refused : ReadResult::Failed;
    }
    struct stat st {};
    ReadResult result = ReadResult::Ok;
    if (fstat(fd, &st) != 0) {
        Say(why, path + ": " + std::strerror(errno));
        result = ReadResult::Failed;
    } else if (!S_ISREG(st.st_mode)) {
        Say(why, path + ": not a regular file");
        result = ReadResult::Refused;
    } else if (st.st_uid != geteuid()) {
        Say(why, path + ": owned by another user");
        result = ReadResult::Refused;
    } else {
        char buffer[4096];
        while (data.size() < maxBytes) {
            const size_t want = std::min(sizeof buffer, maxBytes - data.size());
            const ssize_t n = read(fd, buffer, want);
            if (n < 0) {
                if (errno == EINTR) continue;
                Say(why, path + ": " + std::strerror(errno));
                result = ReadResult::Failed;
                break;
            }
            if (n == 0) break;
            data.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    if (result != ReadResult::Ok) data.clear();
    return result;
}

bool ReplaceFileAtomically(const std::string& path, const std::string& data, unsigned mode, std::string* error) {
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "/." + base + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        Say(error, "cannot create a file in " + dir + ": " + std::strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, static_cast<mode_t>(mode)) == 0 && WriteAll(fd, data) && fsync(fd) == 0;
    const int e = errno;
    if (close(fd) != 0 && ok) ok = false;
    if (ok && rename(temp.c_str(), path.c_str()) != 0) {
        Say(error, "cannot replace " + path + ": " + std::strerror(errno));
        unlink(temp.c_str());
        return false;
    }
    if (!ok) {
        Say(error, "cannot write " + temp + ": " + std::strerror(e));
        unlink(temp.c_str());
        return false;
    }
    // The rename is only durable once the directory is on disk too.
    if (const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

bool RemoveOwnFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode) && (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) return false;
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace platform
