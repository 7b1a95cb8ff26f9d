#include "platform/FileLock.h"

#include "platform/Files.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

FileLock::Result FileLock::Take(const std::string& path, std::string* why) {
    Release(false);
    auto fail = [&](const std::string& text) {
        if (why) *why = path + ": " + text;
        return Result::Failed;
    };
    // The holder removes the file as it gives the lock up: a lock taken on a
    // file that is no longer at the path guards nothing, so take it again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        if (fd < 0) return fail(ErrorText(errno));
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
            close(fd);
            return fail("not a regular file of this user");
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            close(fd);
            if (error == EWOULDBLOCK) return Result::Held;
            return fail(ErrorText(error));
        }
        struct stat now {};
        if (lstat(path.c_str(), &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
            path_ = path;
            handle_ = fd;
            return Result::Taken;
        }
        close(fd);
    }
    return fail("keeps being replaced");
}

void FileLock::Release(bool removeFile) {
    if (handle_ == kNone) return;
    if (removeFile) unlink(path_.c_str());
    close(static_cast<int>(handle_));
    handle_ = kNone;
    path_.clear();
}

bool FileLock::IsHeld(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool held = false;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        if (flock(fd, LOCK_SH | LOCK_NB) != 0)
            held = errno == EWOULDBLOCK;
        else
            flock(fd, LOCK_UN);
    }
    close(fd);
    return held;
}

}  // namespace platform
