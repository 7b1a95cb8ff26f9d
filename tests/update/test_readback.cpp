// Reading the flash back against a transfer program played on a
// pseudo-terminal: the read telegram on the wire, chunking, replies that do
// not fit the request, a backup that cannot be read stopping the update
// before the erase, and verification catching what the sum cannot.
#include "FakeTransfer.h"
#include "PtyPeer.h"

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/ReadBack.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

using Bytes = FakeTransfer::Bytes;

namespace {

Bytes Pattern(size_t size, unsigned seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 13 + seed) & 0xFF);
    return bytes;
}

Bytes ReadHead(uint32_t address, uint32_t count, uint8_t width = 1) {
    Bytes head{0xA4, width};
    for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(address >> (8 * i)));
    for (int i = 0; i < 4; ++i) head.push_back(static_cast<uint8_t>(count >> (8 * i)));
    return head;
}

class ReadBackTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
        ch.SetEventMask(0x1FD);
        ch.SetFlowControl(0);
        EraseProgress = 0.0;
        // The echo pause is not what these tests are about.
        SetFastLink(true);
    }
    void TearDown() override {
        sensor.Stop();
        SetFastLink(false);
        GetSensorChannel().Close();
    }
    std::vector<Bytes> Reads() {
        std::vector<Bytes> reads;
        for (const Bytes& t : sensor.Telegrams())
            if (t.size() > 1 && t[1] == 0x24) reads.push_back(t);
        return reads;
    }

    PtyPeer peer;
    RecordingUi ui;
    CMainFrameCore frame{ui};
    // The update's boxes go to ui, and the port is handed back to frame.
    UpdateFrameScope frameScope{&frame};
    FakeTransfer sensor{peer};
};

}  // namespace

TEST_F(ReadBackTest, RangeIsReadInChunksOf240) {
    const Bytes content = Pattern(481, 7);
    sensor.SetFlash(0x80010, content);
    sensor.Start();
    Bytes buffer(481);
    std::atomic<double> progress{0.0};
    ASSERT_EQ(ReadFlashRange(0x80010, 481, buffer.data(), &progress), 0);
    EXPECT_EQ(buffer, content);
    EXPECT_DOUBLE_EQ(progress.load(), 100.01);

    const auto reads = Reads();
    ASSERT_EQ(reads.size(), 3u);
    EXPECT_EQ(reads[0], FakeTransfer::Frame({0x24, 0x01, 0x10, 0x00, 0x08, 0x00, 0xF0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(reads[1], FakeTransfer::Frame({0x24, 0x01, 0x00, 0x01, 0x08, 0x00, 0xF0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(reads[2], FakeTransfer::Frame({0x24, 0x01, 0xF0, 0x01, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00}));

    // Nothing is sent for a count the reply could not carry.
    EXPECT_EQ(flashRead(1, 0x80000, 0, buffer.data()), 0x601);
    EXPECT_EQ(flashRead(1, 0x80000, 241, buffer.data()), 0x601);
    EXPECT_EQ(Reads().size(), 3u);
}

TEST_F(ReadBackTest, ReplyThatDoesNotFitTheRequestIsRepeated) {
    const Bytes content = Pattern(16, 1);
    sensor.SetFlash(0x80100, content);
    auto with = [&content](Bytes head) {
        head.insert(head.end(), content.begin(), content.end());
        return head;
    };
    // Each with a correct checksum: only the reply's own fields tell.
    const std::vector<Bytes> wrong = {
        with(ReadHead(0x80000, 16)),     // another address
        with(ReadHead(0x80100, 16, 2)),  // another width index
        with(ReadHead(0x80100, 15)),     // another count
        [&] {
            Bytes b = with(ReadHead(0x80100, 16));
            b.pop_back();  // a byte short of count + 10
            return b;
        }(),
        [&] {
            Bytes b = with(ReadHead(0x80100, 16));
            b[0] = 0xA6;  // another reply code
            return b;
        }(),
        {0x20, 0xF4},  // checksum error reply
    };
    size_t reads = 0;
    sensor.override_ = [&](const Bytes& body, size_t) -> Bytes {
        if (body[0] != 0x24) return {};
        return reads < wrong.size() ? wrong[reads++] : Bytes{};
    };
    sensor.Start();
    Bytes buffer(16);
    StopWatch(0, false);
    ASSERT_EQ(flashRead(1, 0x80100, 16, buffer.data()), 0);
    EXPECT_EQ(buffer, content);
    const auto sent = Reads();
    ASSERT_EQ(sent.size(), wrong.size() + 1);
    for (const Bytes& t : sent) EXPECT_EQ(t, sent.front()) << "the same telegram every time";
}

TEST_F(ReadBackTest, BackupThatCannotBeReadStopsTheUpdateBeforeTheErase) {
    const Bytes firmware = Pattern(100, 3);
    const std::string backup = ::testing::TempDir() + std::to_string(getpid()) + "_never.bin";
    std::remove(backup.c_str());
    sensor.override_ = [](const Bytes& body, size_t) -> Bytes { return body[0] == 0x24 ? Bytes{0x20, 0xF4} : Bytes{}; };
    sensor.Start();
    UpdateOptions options;
    options.backupPath = backup;
    const uint64_t t0 = TickCountMs();
    EXPECT_EQ(LoadFlashContents(firmware.data(), firmware.size(), options), kReadBackReadFailed);
    EXPECT_GE(TickCountMs() - t0, 10000u) << "read telegrams are repeated for the whole window";
    sensor.Stop();
    EXPECT_EQ(ReadBackResultDetail(kReadBackReadFailed), "No valid reply to the read at 0x80000 within the retry time");
    for (const Bytes& t : sensor.Telegrams()) {
        EXPECT_NE(t[1], 0x27) << "no erase";
        EXPECT_NE(t[1], 0x25) << "no programming";
    }
    EXPECT_FALSE(BackupFileWritten());
    EXPECT_NE(access(backup.c_str(), F_OK), 0) << "no partial backup file";
}

TEST_F(ReadBackTest, VerifyCatchesSwappedBytesThatTheSumPasses) {
    const Bytes image = Pattern(300, 5);
    UpdateOptions verify;
    verify.verify = true;
    sensor.Start();
    ASSERT_EQ(LoadFlashContents(image.data(), image.size(), verify), 0);
    // The programmed range is read back between the checksum and the end.
    const auto t = sensor.Telegrams();
    ASSERT_GE(t.size(), 3u);
    EXPECT_EQ(t[t.size() - 4][1], 0x26);
    EXPECT_EQ(t[t.size() - 3], FakeTransfer::Frame({0x24, 0x01, 0x00, 0x00, 0x08, 0x00, 0xF0, 0x00, 0x00, 0x00}));
    EXPECT_EQ(t[t.size() - 2], FakeTransfer::Frame({0x24, 0x01, 0xF0, 0x00, 0x08, 0x00, 0x3C, 0x00, 0x00, 0x00}));
    EXPECT_EQ(t.back()[1], 0x49);
    sensor.Stop();

    FakeTransfer swapping{peer};
    swapping.swapAddress = 0x80100;
    swapping.Start();
    EXPECT_EQ(LoadFlashContents(image.data(), image.size(), UpdateOptions{}), 0) << "the sum does not see it";
    EXPECT_EQ(LoadFlashContents(image.data(), image.size(), verify), kReadBackDiffers);
    swapping.Stop();
    EXPECT_EQ(ReadBackResultDetail(kReadBackDiffers), "2 bytes differ, the first at 0x80100");
    EXPECT_NE(swapping.Telegrams().back()[1], 0x49) << "no program end after a difference";
    EXPECT_STREQ(FlashResultMessage(kReadBackDiffers), "Flash contents differ from the firmware file");
}

namespace {

struct BackupDir {
    BackupDir() {
        char name[] = "/tmp/duxk-backup-XXXXXX";
        path = mkdtemp(name);
    }
    ~BackupDir() { std::filesystem::remove_all(path); }
    std::string path;
};

}  // namespace

// A backup is the only copy of the flash as it was: an existing file is not
// replaced unasked, and the firmware file is never the backup's target,
// however it is named.
TEST(BackupFile, ExistingFilesAndTheFirmwareAreRefused) {
    BackupDir d;
    const std::string fw = d.path + "/fw.bin", old = d.path + "/old.bin";
    std::ofstream(fw) << "firmware";
    std::ofstream(old) << "good backup";
    ASSERT_EQ(link(fw.c_str(), (d.path + "/hard.bin").c_str()), 0);
    ASSERT_EQ(symlink(fw.c_str(), (d.path + "/soft.bin").c_str()), 0);
    ASSERT_EQ(symlink((d.path + "/none").c_str(), (d.path + "/dangling.bin").c_str()), 0);
    std::filesystem::create_directory(d.path + "/sub");
    struct Case {
        std::string path;
        bool replace;
        BackupTarget expected;
        std::string reason;
    };
    const Case cases[] = {
        {d.path + "/new.bin", false, BackupTarget::Ok, ""},
        {old, false, BackupTarget::Exists, old + ": the file exists"},
        {d.path + "/dangling.bin", false, BackupTarget::Exists, "the file exists"},
        {old, true, BackupTarget::Ok, ""},
        {fw, true, BackupTarget::IsFirmware, fw + ": is the firmware file " + fw},
        {d.path + "/hard.bin", true, BackupTarget::IsFirmware, "is the firmware file"},
        {d.path + "/soft.bin", false, BackupTarget::IsFirmware, "is the firmware file"},
        {d.path + "/sub/../fw.bin", false, BackupTarget::IsFirmware, "is the firmware file"},
        {d.path + "/sub", true, BackupTarget::Unusable, "is a directory"},
        {"", false, BackupTarget::Unusable, "no backup file name given"},
    };
    for (const Case& c : cases) {
        std::string why;
        EXPECT_EQ(CheckBackupFile(c.path, fw, c.replace, &why), c.expected) << c.path << ": " << why;
        EXPECT_NE(why.find(c.reason), std::string::npos) << why;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d.path), {}), 6) << "nothing created";

    // The write keeps a file that appeared after the check.
    std::string why;
    EXPECT_FALSE(WriteBackupFile(old, {1, 2, 3}, false, &why));
    EXPECT_EQ(why, old + ": the file exists");
    std::ifstream in(old);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "good backup");
}

// A backup is made as any file of the user's: what the umask allows when
// new; a replaced file keeps its permissions (and group).
TEST(BackupFile, ModeFollowsTheUmaskOrTheReplacedFile) {
    BackupDir d;
    struct Case {
        mode_t umask, existing;  // existing 0: a new file
        mode_t expected;
    };
    const Case cases[] = {{027, 0, 0640}, {077, 0, 0600}, {002, 0, 0664}, {022, 0600, 0600}, {077, 0664, 0664}};
    int n = 0;
    for (const Case& c : cases) {
        const std::string path = d.path + "/b" + std::to_string(n++) + ".bin";
        if (c.existing) {
            std::ofstream(path) << "old";
            ASSERT_EQ(chmod(path.c_str(), c.existing), 0);
        }
        const mode_t before = umask(c.umask);
        std::string why;
        const bool written = WriteBackupFile(path, {0xAA, 0x55}, c.existing != 0, &why);
        umask(before);
        ASSERT_TRUE(written) << why;
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.expected) << path;
        EXPECT_EQ(st.st_size, 2);
    }
    if (geteuid() == 0) {
        const std::string path = d.path + "/group.bin";
        std::ofstream(path) << "old";
        ASSERT_EQ(chown(path.c_str(), 0, 65534), 0);
        ASSERT_TRUE(WriteBackupFile(path, {1}, true, nullptr));
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_gid, 65534u) << "the group is kept";
    }
}
