#include "platform/Files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <random>
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

std::string HomeDirectory() {
    std::string home = Env("HOME");
    if (!home.empty()) return home;
    if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir) return pw->pw_dir;
    return {};
}

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
    const std::string home = HomeDirectory();
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

std::string ErrorText(int error) {
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

WholeFile ReadWholeFile(const std::string& path, size_t maxBytes, std::string& data, std::string* why,
                        long long* size) {
    data.clear();
    if (size) *size = 0;
    auto refuse = [&](WholeFile result, const std::string& reason) {
        data.clear();
        Say(why, path + ": " + reason);
        return result;
    };
    if (path.empty()) return refuse(WholeFile::CannotOpen, "no file name given");
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return refuse(WholeFile::CannotOpen, ErrorText(errno));
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};

    struct stat st {};
    if (fstat(fd, &st) != 0) return refuse(WholeFile::CannotOpen, ErrorText(errno));
    if (S_ISDIR(st.st_mode)) return refuse(WholeFile::Directory, ErrorText(EISDIR));
    if (!S_ISREG(st.st_mode)) return refuse(WholeFile::NotRegular, "not a regular file");
    if (size) *size = static_cast<long long>(st.st_size);
    if (static_cast<unsigned long long>(st.st_size) > maxBytes) {
        return refuse(WholeFile::TooLarge, "too large: " + std::to_string(static_cast<long long>(st.st_size)) +
                                               " bytes, at most " + std::to_string(maxBytes));
    }

    // One byte more than announced is asked for: a file that grew shows up
    // as a read past its size, one that shrank as an early end.
    const size_t expected = static_cast<size_t>(st.st_size);
    data.resize(expected + 1);
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = read(fd, data.data() + got, data.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return refuse(WholeFile::CannotOpen, ErrorText(errno));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    struct stat after {};
    if (got != expected || fstat(fd, &after) != 0 || after.st_size != st.st_size ||
        after.st_mtim.tv_sec != st.st_mtim.tv_sec || after.st_mtim.tv_nsec != st.st_mtim.tv_nsec)
        return refuse(WholeFile::Changed, "the file changed while it was being read");
    data.resize(expected);
    return WholeFile::Ok;
}

bool PendingFile::Begin(const std::string& target, std::string* why, int mode) {
    Discard();
    if (target.empty()) {
        Say(why, "no file name given");
        return false;
    }
    // A directory, FIFO or device at the name is refused; a link is fine,
    // since the rename replaces the link, not what it points at.
    struct stat st {};
    if (lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
        Say(why, target + ": " + (S_ISDIR(st.st_mode) ? ErrorText(EISDIR) : std::string("not a regular file")));
        return false;
    }
    const bool exists = stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
    if (base.empty()) {
        Say(why, target + ": " + ErrorText(EISDIR));
        return false;
    }
    // A new file gets what the umask leaves of 0666, as any file the user
    // creates; a replacement keeps the permissions of the file it replaces.
    const mode_t createMode = mode >= 0 ? static_cast<mode_t>(mode) : exists ? (st.st_mode & 0777) : 0666;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    int fd = -1;
    std::string temp;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        std::string suffix(6, 'x');
        for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
        temp = dir + "/." + base + "." + suffix;
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, createMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        Say(why, "cannot create a file in " + dir + ": " + ErrorText(errno));
        return false;
    }
    if ((mode >= 0 || exists) && fchmod(fd, createMode) != 0) {
        Say(why, "cannot set the permissions of " + temp + ": " + ErrorText(errno));
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    fd_ = fd;
    temp_ = temp;
    target_ = target;
    return true;
}

bool PendingFile::Commit(const std::string& data, std::string* why) {
    if (fd_ < 0) {
        Say(why, "nothing to write to");
        return false;
    }
    bool ok = WriteAll(fd_, data) && fsync(fd_) == 0;
    int e = errno;
    if (close(fd_) != 0 && ok) {
        ok = false;
        e = errno;
    }
    fd_ = -1;
    if (ok && rename(temp_.c_str(), target_.c_str()) != 0) {
        Say(why, "cannot replace " + target_ + ": " + ErrorText(errno));
        unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    if (!ok) {
        Say(why, "cannot write " + temp_ + ": " + ErrorText(e));
        unlink(temp_.c_str());
        temp_.clear();
        return false;
    }
    temp_.clear();
    // The rename is only durable once the directory is on disk too.
    const size_t slash = target_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : target_.substr(0, slash));
    if (const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dfd >= 0) {
        fsync(dfd);
        close(dfd);
    }
    return true;
}

void PendingFile::Discard() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        temp_.clear();
    }
}

bool ReplaceFileAtomically(const std::string& path, const std::string& data, unsigned mode, std::string* error) {
    PendingFile file;
    return file.Begin(path, error, static_cast<int>(mode)) && file.Commit(data, error);
}

std::FILE* OpenPrivateOutput(const std::string& path, bool append, std::string* why) {
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (append ? O_APPEND : 0);
    const int fd = open(path.c_str(), flags, 0600);
    if (fd < 0) {
        Say(why, path + ": " + (errno == ELOOP ? std::string("is a symbolic link") : std::strerror(errno)));
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        Say(why, path + ": not a regular file");
        close(fd);
        return nullptr;
    }
    // Only a regular file is truncated, and only once it is known to be one.
    if (!append && ftruncate(fd, 0) != 0) {
        Say(why, path + ": " + std::strerror(errno));
        close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, append ? "a" : "w");
    if (!file) {
        Say(why, path + ": " + std::strerror(errno));
        close(fd);
    }
    return file;
}

bool RemoveOwnFile(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode) && (!S_ISREG(st.st_mode) || st.st_uid != geteuid())) return false;
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

}  // namespace platform
