#include "platform/Files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

bool IsSafeStateDir(const std::string& dir, std::string* why) {
    auto refuse = [why](const std::string& reason) {
        Say(why, reason);
        return false;
    };
    if (dir.empty() || dir[0] != '/') return refuse(dir + ": not an absolute path");
    // "dir/" would look through a link at dir.
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return refuse(dir + ": " + ErrorText(errno));
    if (S_ISLNK(st.st_mode)) return refuse(dir + ": is a symbolic link");
    if (!S_ISDIR(st.st_mode)) return refuse(dir + ": not a directory");
    if (st.st_uid != geteuid()) return refuse(dir + ": owned by another user");
    if ((st.st_mode & S_IWOTH) != 0) return refuse(dir + ": writable by other users");
    if ((st.st_mode & S_IWGRP) != 0) return refuse(dir + ": writable by its group");
    // Whoever may rename an entry of a directory above could put another
    // directory in its place.
    char* real = realpath(path.c_str(), nullptr);
    if (!real) return refuse(dir + ": " + ErrorText(errno));
    std::string up = real;
    std::free(real);
    while (up != "/") {
        const size_t slash = up.rfind('/');
        up = slash == 0 || slash == std::string::npos ? "/" : up.substr(0, slash);
        if (stat(up.c_str(), &st) != 0) return refuse(up + ": " + ErrorText(errno));
        if (st.st_uid != 0 && st.st_uid != geteuid()) return refuse(up + " (above " + dir + "): owned by another user");
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0)
            return refuse(up + " (above " + dir + "): writable by other users and not sticky");
    }
    return true;
}

namespace {

void DefaultNotice(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

std::mutex g_noticeMutex;
void (*g_notice)(const std::string&) = DefaultNotice;
std::string g_noticedTemp;  // the TEMP whose refusal was reported

// TEMP when it is set and safe; "" otherwise, with the refusal in `refusal`.
std::string UsableTemp(std::string* refusal) {
    const std::string temp = Env("TEMP");
    if (temp.empty()) return {};
    std::string why;
    if (IsSafeStateDir(temp, &why)) return temp;
    *refusal = "TEMP is not used for state files: " + why;
    return {};
}

// Reports a refused TEMP once for each value, saying what is used instead.
void NoticeRefusal(const std::string& refusal, const std::string& instead) {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    const std::string temp = Env("TEMP");
    if (temp == g_noticedTemp) return;
    g_noticedTemp = temp;
    g_notice(refusal + "; using " + instead + " instead");
}

}  // namespace

void SetStateDirNotice(void (*report)(const std::string& text)) {
    std::lock_guard<std::mutex> lock(g_noticeMutex);
    g_notice = report ? report : DefaultNotice;
}

std::string TempRefusal() {
    std::string refusal;
    UsableTemp(&refusal);
    return refusal;
}

std::string PrivateStateDir(std::string* error) {
    std::string refusal;
    if (std::string temp = UsableTemp(&refusal); !temp.empty()) return temp;
    std::string dir = PrivateSubdir(Env("XDG_RUNTIME_DIR"));
    if (dir.empty()) {
        const std::string home = HomeDirectory();
        if (!home.empty()) dir = PrivateSubdir(home + "/.cache");
    }
    if (dir.empty()) {
        Say(error, (refusal.empty() ? std::string() : refusal + "; ") +
                       "no private directory for state files (XDG_RUNTIME_DIR and HOME unusable)");
        return {};
    }
    if (!refusal.empty()) NoticeRefusal(refusal, dir);
    return dir;
}

std::string KeptStateDir(std::string* error) {
    std::string refusal;
    if (std::string temp = UsableTemp(&refusal); !temp.empty()) return temp;
    std::string base = Env("XDG_STATE_HOME");
    if (base.empty() || base[0] != '/') {
        const std::string home = HomeDirectory();
        base = home.empty() ? std::string() : home + "/.local/state";
    }
    if (std::string dir = PrivateSubdir(base); !dir.empty()) {
        if (!refusal.empty()) NoticeRefusal(refusal, dir);
        return dir;
    }
    return PrivateStateDir(error);
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {
    }, sb{};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

bool PathExists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
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
    const gid_t group = st.st_gid;
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    int fd = -1;
    std::string temp;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        std::string suffix(6, 'x');
        for (char& c : suffix) c = kLetters[random() % (sizeof kLetters - 1)];
        temp = dir + "/." + base + "." + suffix;
        // Made readable by its owner only until its permissions are set.
        fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  mode < 0 && exists ? 0600 : createMode);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        Say(why, "cannot create a file in " + dir + ": " + ErrorText(errno));
        return false;
    }
    mode_t finalMode = createMode;
    if (mode < 0 && exists) {
        // The group of the file replaced, where the user may give it; where
        // not, that group's rights are not handed to another group.
        struct stat now {};
        if (fchown(fd, static_cast<uid_t>(-1), group) != 0 && (fstat(fd, &now) != 0 || now.st_gid != group))
            finalMode = (finalMode & ~static_cast<mode_t>(070)) | ((finalMode & 07) << 3);
    }
    if ((mode >= 0 || exists) && fchmod(fd, finalMode) != 0) {
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

namespace {

// Renames from over to without replacing anything at to; errno EEXIST when
// something is there.
int RenameNoReplace(const char* from, const char* to) {
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // A file system without it: a hard link never replaces either.
    if (link(from, to) == 0) {
        unlink(from);
        return 0;
    }
    if (errno == EEXIST) return -1;
    // Nor hard links (FAT): look first, then rename.
    struct stat st {};
    if (lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return rename(from, to);
}

}  // namespace

bool PendingFile::Commit(const std::string& data, std::string* why, bool replace) {
    existed_ = false;
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
    if (ok &&
        (replace ? rename(temp_.c_str(), target_.c_str()) : RenameNoReplace(temp_.c_str(), target_.c_str())) != 0) {
        existed_ = !replace && errno == EEXIST;
        Say(why, existed_ ? target_ + ": the file exists" : "cannot replace " + target_ + ": " + ErrorText(errno));
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

bool ReplaceFileAtomically(const std::string& path, const std::string& data, int mode, std::string* error,
                           bool replace) {
    PendingFile file;
    return file.Begin(path, error, mode) && file.Commit(data, error, replace);
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
