// The update markers: what a marker file may hold, one file per sensor and
// port, which port is the marker's own now, age, and the running update's
// record (its lock, what it takes over, the backup it allows).
#include "platform/FileLock.h"
#include "tests/update/PrivateTemp.h"
#include "update/Recovery.h"
#include "update/UpdateMarker.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// A private TEMP, port map and /dev tree: devices are plain files there.
class MarkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = ::testing::TempDir() + "duxk_marker_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        for (const char* sub : {"/temp", "/ports", "/root/dev/serial/by-id"}) fs::create_directories(dir_ + sub);
        for (const char* tty : {"ttyUSB0", "ttyUSB1", "ttyUSB2"}) std::ofstream(dir_ + "/root/dev/" + tty);
        setenv("TEMP", (dir_ + "/temp").c_str(), 1);
        setenv("DUXK_PORTS_DIR", (dir_ + "/ports").c_str(), 1);
        setenv("DUXK_DEV_ROOT", (dir_ + "/root").c_str(), 1);
    }
    void TearDown() override {
        EndUpdateRecord();
        unsetenv("DUXK_DEV_ROOT");
        fs::remove_all(dir_);
    }
    std::string Dev(const std::string& name) const { return dir_ + "/root/dev/" + name; }
    std::string ById(const std::string& name) const { return dir_ + "/root/dev/serial/by-id/" + name; }
    // Points `link` (a port map entry or a by-id name) at target, as a replug would.
    void Point(const std::string& link, const std::string& target) const {
        fs::remove(link);
        fs::create_symlink(target, link);
    }
    std::string Com(int n) const { return dir_ + "/ports/com" + std::to_string(n); }
    std::string Temp() const { return dir_ + "/temp"; }

    // Runs an update's record far enough to leave a marker behind.
    void LeaveMarker(const std::string& serial, const std::string& port, const char* stage,
                     const std::string& backup = {}, bool backupSaved = false) {
        UpdateRecordRequest request;
        request.serial = serial;
        request.port = port;
        request.backupPath = backup;
        std::string why;
        ASSERT_TRUE(BeginUpdateRecord(request, &why)) << why;
        ASSERT_TRUE(WriteUpdateMarker(port, "38400", stage));
        if (backupSaved) NoteBackupSaved();
        EndUpdateRecord();
    }

    std::string dir_;
};

TEST_F(MarkerTest, OnlyWhatAnUpdateOfOursCouldHaveWrittenIsRead) {
    struct Case {
        const char* text;
        bool ok;
    };
    const Case cases[] = {
        {"serial=K52A01234\nport=COM1\nbyid=/dev/serial/by-id/usb-x\ndevice=/dev/ttyUSB0\nbaud=9600\n"
         "stage=download\ntime=1700000000\nsince=2023-11-14 22:13:20\ncommand=update\nchanged=1\n"
         "backup=/home/u/old.bin\nbackup_saved=1\n",
         true},
        {"port=COM3\nbaud=19200\nsince=2024-01-02 03:04:05\nstage=program\n", true},  // an earlier version's
        {"port=/dev/ttyUSB0\nbaud=38400\nsince=0448-01-02 03:04:05\n", true},         // of no known age
        {"port=COM1\nbaud=115200\n", false},
        {"port=ttyUSB0\nbaud=38400\n", false},
        {"port=COM1\nbaud=38400\nstage=erase\n", false},
        {"port=COM1\nbaud=38400\ncommand=format\n", false},
        {"port=COM1\nbaud=38400\nserial=K52\x1b[2J\n", false},
        {"port=COM1\nbaud=38400\ntime=12abc\n", false},
        {"baud=38400\n", false},
    };
    for (const Case& c : cases) {
        UpdateMarker m;
        EXPECT_EQ(ParseUpdateMarker(c.text, m), c.ok) << c.text;
    }
    UpdateMarker m;
    ASSERT_TRUE(ParseUpdateMarker(cases[0].text, m));
    EXPECT_EQ(m.serial, "K52A01234");
    EXPECT_EQ(m.time, 1700000000);
    EXPECT_TRUE(m.changed && m.backupSaved && m.FlashMayBeChanged());
    for (const Case& c : cases) {
        // What is read writes back to the same marker.
        UpdateMarker read, again;
        if (!ParseUpdateMarker(c.text, read)) continue;
        ASSERT_TRUE(ParseUpdateMarker(FormatUpdateMarker(read), again)) << c.text;
        EXPECT_EQ(FormatUpdateMarker(again), FormatUpdateMarker(read));
    }
    // An earlier version's marker: its local time counts for its age.
    ASSERT_TRUE(ParseUpdateMarker(cases[1].text, m));
    EXPECT_GT(m.time, 0);
    EXPECT_TRUE(m.FlashMayBeChanged());

    // A week old is the limit; a marker of unknown age is old.
    const long long now = EpochSeconds();
    for (const auto& [age, stale] :
         std::vector<std::pair<long long, bool>>{{0, false}, {6 * 86400, false}, {7 * 86400 + 60, true}, {now, true}}) {
        m.time = now - age;
        EXPECT_EQ(MarkerIsStale(m, now), stale) << age;
    }
}

TEST_F(MarkerTest, OneFilePerSensorAndPortEachRecognisedWhereverItsAdapterIsNow) {
    Point(Com(1), ById("usb-FTDI_A"));
    Point(ById("usb-FTDI_A"), Dev("ttyUSB0"));
    Point(Com(2), Dev("ttyUSB1"));
    const PortIdentity com1 = IdentifyPort("COM1"), com2 = IdentifyPort("COM2");
    EXPECT_EQ(com1.byId, ById("usb-FTDI_A"));
    EXPECT_EQ(com2.byId, "");
    const std::vector<std::string> names{
        UpdateMarkerFileName("K52A01234", "COM1", com1), UpdateMarkerFileName("K52A01234", "COM2", com2),
        UpdateMarkerFileName("K52B00077", "COM1", com1), UpdateMarkerFileName("", "COM1", com1),
        UpdateMarkerFileName("K52A01234", "COM1", com1, "readback")};
    for (size_t i = 0; i < names.size(); ++i)
        for (size_t j = i + 1; j < names.size(); ++j) EXPECT_NE(names[i], names[j]);
    EXPECT_EQ(names[0], UpdateMarkerFileName("K52A01234", "com1", com1));
    EXPECT_EQ(names[0].rfind("DUXKUpdt.K52A01234.", 0), 0u) << names[0];

    LeaveMarker("K52A01234", "COM1", "program");
    LeaveMarker("K52B00077", "COM2", "program");
    std::vector<UpdateMarker> markers = ReadUpdateMarkers();
    ASSERT_EQ(markers.size(), 2u);
    UpdateMarker a = markers[0].serial == "K52A01234" ? markers[0] : markers[1];
    UpdateMarker b = markers[0].serial == "K52A01234" ? markers[1] : markers[0];
    EXPECT_EQ(a.byId, ById("usb-FTDI_A"));
    EXPECT_EQ(b.device, fs::canonical(Dev("ttyUSB1")).string());
    struct stat st {};
    ASSERT_EQ(stat(a.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The adapter of A comes back as another node; B's port is given to
    // another device; a third port leads to nothing of theirs.
    Point(ById("usb-FTDI_A"), Dev("ttyUSB2"));
    Point(Com(2), Dev("ttyUSB0"));
    Point(Com(3), Dev("ttyUSB1"));
    struct Case {
        const UpdateMarker& marker;
        const char* port;
        PortMatch match;
    };
    const Case cases[] = {{a, "COM1", PortMatch::Same},    {a, "COM2", PortMatch::Other},
                          {b, "COM2", PortMatch::Changed}, {b, "COM3", PortMatch::Same},
                          {b, "COM1", PortMatch::Other},   {a, "/dev/null", PortMatch::Other}};
    for (const Case& c : cases) EXPECT_EQ(MatchMarkerPort(c.marker, c.port), c.match) << c.marker.port << c.port;
    EXPECT_EQ(MarkerPortNow(a), "COM1");
    EXPECT_EQ(MarkerPortNow(b), "");
    // B's marker, its port leading elsewhere now: an update given that port
    // looks for it there; without the port, or another command, nothing is
    // sent there for it.
    const struct {
        RecoveryMode mode;
        const char* port;
        bool target;
        const char* note;
    } plans[] = {{RecoveryMode::Update, "COM2", true, "looking for it there, as --port names that port"},
                 {RecoveryMode::Update, "", false, "nothing is sent there for it"},
                 {RecoveryMode::Report, "COM2", false, "run the update again"}};
    fs::remove(a.file);
    for (const auto& c : plans) {
        const RecoveryPlan plan = PlanRecovery(c.mode, c.port);
        EXPECT_EQ(plan.hasTarget, c.target) << c.port;
        ASSERT_EQ(plan.notes.size(), 1u) << c.port;
        EXPECT_NE(plan.notes[0].find(c.note), std::string::npos) << plan.notes[0];
    }
    // A marker of an earlier version knows its port by name only.
    std::ofstream(Temp() + "/DUXKUpdt.upd") << "port=COM2\nbaud=9600\nsince=2024-01-02 03:04:05\n";
    UpdateMarker legacy;
    ASSERT_TRUE(ReadUpdateMarkerFile(Temp() + "/DUXKUpdt.upd", legacy));
    EXPECT_TRUE(legacy.legacy);
    EXPECT_EQ(MatchMarkerPort(legacy, "com2"), PortMatch::Same);
    EXPECT_FALSE(MarkerIsLive(legacy));

    // Read only when it is this user's own file, not through a link.
    fs::remove(Temp() + "/DUXKUpdt.upd");
    fs::create_symlink(b.file, Temp() + "/DUXKUpdt.upd");
    EXPECT_EQ(ReadUpdateMarkers().size(), 1u);
}

TEST_F(MarkerTest, TheRunningUpdateHoldsItsMarkerAndTakesOverOnlyItsSensorsOwn) {
    Point(Com(1), Dev("ttyUSB0"));
    Point(Com(2), Dev("ttyUSB1"));
    // The first run of A saved its backup and was cut off while programming.
    LeaveMarker("K52A01234", "COM1", "program", Temp() + "/first.bin", true);
    LeaveMarker("K52B00077", "COM2", "download", Temp() + "/b.bin");

    UpdateRecordRequest a;
    a.serial = "K52A01234";
    a.port = "COM1";
    a.backupPath = "second.bin";
    std::string why, note;
    ASSERT_TRUE(BeginUpdateRecord(a, &why)) << why;
    // Live while this record runs: not for another process to act on, nor a
    // second update of the same sensor and port.
    const std::vector<UpdateMarker> markers = ReadUpdateMarkers();
    ASSERT_EQ(markers.size(), 2u);
    for (const UpdateMarker& m : markers) EXPECT_EQ(MarkerIsLive(m), m.serial == "K52A01234");
    EXPECT_EQ(PlanRecovery(RecoveryMode::Update, "").refusal, "") << "the live one is not counted";
    EXPECT_FALSE(UpdateRecordAllowsBackup(&note));
    EXPECT_NE(note.find("is in " + Temp() + "/first.bin"), std::string::npos) << note;
    EXPECT_TRUE(WriteUpdateMarker("COM1", "38400", "download"));
    RemoveUpdateMarker();
    EndUpdateRecord();
    ASSERT_EQ(ReadUpdateMarkers().size(), 1u);
    EXPECT_EQ(ReadUpdateMarkers()[0].serial, "K52B00077") << "B's marker is never touched by A's update";

    // B's run stopped in its download: the flash is untouched, a backup may
    // be taken; met in the program all the same, it may not.
    UpdateRecordRequest b;
    b.serial = "K52B00077";
    b.port = "COM2";
    b.backupPath = "b2.bin";
    ASSERT_TRUE(BeginUpdateRecord(b, &why)) << why;
    EXPECT_TRUE(UpdateRecordAllowsBackup(&note));
    const std::string lockPath = CurrentMarkerPath().substr(0, CurrentMarkerPath().size() - 4) + ".lock";
    EndUpdateRecord();
    {
        platform::FileLock other;  // another process's update of B on COM2
        ASSERT_EQ(other.Take(lockPath), platform::FileLock::Result::Taken);
        EXPECT_FALSE(BeginUpdateRecord(b, &why));
        EXPECT_EQ(why, "an update of K52B00077 on COM2 is already running in another process");
    }
    b.resume = true;
    ASSERT_TRUE(BeginUpdateRecord(b, &why)) << why;
    EXPECT_FALSE(UpdateRecordAllowsBackup(&note));
    EndUpdateRecord();

    // No record can be kept: refused before anything is sent, naming the
    // directory and the reason.
    // (TEMP, and the private directories it would give way to.)
    std::ofstream(dir_ + "/notadir") << "x";
    const NoStateDirectory none(dir_ + "/notadir");
    EXPECT_FALSE(BeginUpdateRecord(a, &why));
    EXPECT_NE(why.find(dir_ + "/notadir: "), std::string::npos) << why;
}

}  // namespace
