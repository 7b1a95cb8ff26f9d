// The user's own files: no link is followed, no FIFO blocks, nobody else's
// file is taken, replacements are whole or not at all.
#include "platform/Files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>
#include <unistd.h>

namespace {

struct TempDir {
    TempDir() {
        char name[] = "/tmp/duxk-files-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string path;
};

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void Put(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Restores an environment variable when the test ends.
struct EnvGuard {
    explicit EnvGuard(const char* n) : name(n) {
        if (const char* v = std::getenv(n)) old = v, had = true;
    }
    ~EnvGuard() { had ? setenv(name, old.c_str(), 1) : unsetenv(name); }
    const char* name;
    std::string old;
    bool had = false;
};

TEST(OwnFiles, ReadRefusesLinksFifosAndOthersFiles) {
    TempDir t;
    const std::string target = t.path + "/target", link = t.path + "/link", fifo = t.path + "/fifo";
    Put(target, "COM3\r\n");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string data;
    EXPECT_EQ(platform::ReadOwnFile(target, 128, data), platform::ReadResult::Ok);
    EXPECT_EQ(data, "COM3\r\n");
    std::string why;
    EXPECT_EQ(platform::ReadOwnFile(link, 128, data, &why), platform::ReadResult::Refused);
    EXPECT_TRUE(data.empty());
    // A FIFO with no writer would block a plain open: it must be refused at once.
    EXPECT_EQ(platform::ReadOwnFile(fifo, 128, data, &why), platform::ReadResult::Refused);
    EXPECT_NE(why.find("not a regular file"), std::string::npos);
    EXPECT_EQ(platform::ReadOwnFile(t.path + "/none", 128, data), platform::ReadResult::Missing);
    // Only the asked-for prefix of a large file is read.
    Put(target, std::string(100000, 'x'));
    EXPECT_EQ(platform::ReadOwnFile(target, 10, data), platform::ReadResult::Ok);
    EXPECT_EQ(data.size(), 10u);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(target.c_str(), 65534, 65534), 0);
        EXPECT_EQ(platform::ReadOwnFile(target, 128, data, &why), platform::ReadResult::Refused);
        EXPECT_NE(why.find("another user"), std::string::npos);
    }
}

TEST(OwnFiles, ReplaceNeverWritesThroughALinkAndLeavesNoTemporary) {
    TempDir t;
    const std::string victim = t.path + "/victim", link = t.path + "/state";
    Put(victim, "precious");
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_TRUE(platform::ReplaceFileAtomically(link, "COM1\r\n", 0600));
    EXPECT_EQ(Slurp(victim), "precious");
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(Slurp(link), "COM1\r\n");
    // A directory that cannot take the temporary file: the target stays.
    const std::string ro = t.path + "/ro";
    ASSERT_EQ(mkdir(ro.c_str(), 0500), 0);
    if (geteuid() != 0) {
        std::string error;
        EXPECT_FALSE(platform::ReplaceFileAtomically(ro + "/x", "data", 0600, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(std::system(("test -z \"$(ls -A '" + t.path + "' | grep '^\\.')\"").c_str()), 0);
}

TEST(OwnFiles, StateDirIsTempOrPrivate) {
    EnvGuard temp("TEMP"), xdg("XDG_RUNTIME_DIR"), home("HOME");
    TempDir t;
    setenv("TEMP", t.path.c_str(), 1);
    EXPECT_EQ(platform::PrivateStateDir(), t.path);

    unsetenv("TEMP");
    const std::string runtime = t.path + "/run";
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string dir = platform::PrivateStateDir();
    EXPECT_EQ(dir, runtime + "/duxkupdate");
    struct stat st {};
    ASSERT_EQ(lstat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // A planted, world-writable directory is not taken: the home cache is.
    const std::string shared = t.path + "/shared";
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(mkdir((shared + "/duxkupdate").c_str(), 0777), 0);
    ASSERT_EQ(chmod((shared + "/duxkupdate").c_str(), 0777), 0);
    setenv("XDG_RUNTIME_DIR", shared.c_str(), 1);
    setenv("HOME", t.path.c_str(), 1);
    EXPECT_EQ(platform::PrivateStateDir(), t.path + "/.cache/duxkupdate");
}

// TEMP holds the update markers and the last port: a directory that others
// can write into, or swap for one of theirs, is not used.
TEST(OwnFiles, TempIsUsedOnlyWhenNobodyElseCanWriteOrSwapIt) {
    TempDir t;
    const std::string good = t.path + "/good", link = t.path + "/link", file = t.path + "/file";
    const std::string open = t.path + "/open", inOpen = open + "/mine", sticky = t.path + "/sticky";
    for (const std::string& dir : {good, open, inOpen, sticky}) ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(sticky.c_str(), 01777), 0);
    ASSERT_EQ(mkdir((sticky + "/mine").c_str(), 0700), 0);
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    Put(file, "x");
    const std::pair<std::string, std::string> cases[] = {
        {good, ""},
        {good + "/", ""},
        {sticky + "/mine", ""},  // as /tmp/mine: nobody else can move it
        {link, "is a symbolic link"},
        {link + "/", "is a symbolic link"},
        {file, "not a directory"},
        {t.path + "/none", "no such file"},
        {"relative", "not an absolute path"},
        {open, "writable by other users"},
        {sticky, "writable by other users"},  // others may plant files in it
        {inOpen, open + " (above " + inOpen + "): writable by other users and not sticky"},
    };
    for (const auto& [dir, reason] : cases) {
        std::string why;
        EXPECT_EQ(platform::IsSafeStateDir(dir, &why), reason.empty()) << dir << ": " << why;
        EXPECT_NE(why.find(reason), std::string::npos) << dir << ": " << why;
    }
    ASSERT_EQ(chmod(good.c_str(), 0770), 0);
    EXPECT_FALSE(platform::IsSafeStateDir(good));
    if (geteuid() == 0) {
        ASSERT_EQ(chmod(good.c_str(), 0700), 0);
        ASSERT_EQ(chown(good.c_str(), 65534, 65534), 0);
        std::string why;
        EXPECT_FALSE(platform::IsSafeStateDir(good, &why));
        EXPECT_NE(why.find("owned by another user"), std::string::npos) << why;
    }
}

std::vector<std::string> g_notices;
void RecordNotice(const std::string& text) { g_notices.push_back(text); }

TEST(OwnFiles, RefusedTempIsReportedOnceAndThePrivateDirectoryUsed) {
    EnvGuard temp("TEMP"), xdg("XDG_RUNTIME_DIR"), home("HOME");
    TempDir t;
    const std::string open = t.path + "/open", runtime = t.path + "/run";
    ASSERT_EQ(mkdir(open.c_str(), 0777), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
    setenv("TEMP", open.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    g_notices.clear();
    platform::SetStateDirNotice(RecordNotice);
    EXPECT_EQ(platform::PrivateStateDir(), runtime + "/duxkupdate");
    EXPECT_EQ(platform::PrivateStateDir(), runtime + "/duxkupdate");
    EXPECT_EQ(platform::TempRefusal(), "TEMP is not used for state files: " + open + ": writable by other users");
    ASSERT_EQ(g_notices.size(), 1u) << "reported once";
    EXPECT_EQ(g_notices[0], platform::TempRefusal() + "; using " + runtime + "/duxkupdate instead");

    // Nowhere else to go: the reason names TEMP's refusal too.
    unsetenv("XDG_RUNTIME_DIR");
    setenv("HOME", (t.path + "/file-not-home").c_str(), 1);
    Put(t.path + "/file-not-home", "x");
    std::string error;
    EXPECT_EQ(platform::PrivateStateDir(&error), "");
    EXPECT_EQ(error.rfind(platform::TempRefusal() + "; no private directory", 0), 0u) << error;
    platform::SetStateDirNotice(nullptr);
}

TEST(OwnFiles, MakeDirectoriesCreatesParentsAndRejectsAFile) {
    TempDir t;
    EXPECT_TRUE(platform::MakeDirectories(t.path + "/a/b/c", 0755));
    Put(t.path + "/file", "x");
    std::string error;
    EXPECT_FALSE(platform::MakeDirectories(t.path + "/file", 0755, &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
