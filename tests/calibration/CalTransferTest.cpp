#include "calibration/CalTransfer.h"
#include "calibration/PackBlock.h"
#include "tests/calibration/SensorPty.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <utility>

namespace {

using caltest::SensorPty;

struct Sink : CalTransferSink {
    void SetProgress(int p) override { progress.push_back(p); }
    void SetStatusText(const std::string& t) override { status.push_back(t); }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon) override {
        boxes.push_back(caption + ": " + text);
        if (transfer) stepAtBox = transfer->LoadStep();
    }
    std::vector<int> progress;
    std::vector<std::string> status, boxes;
    CalTransfer* transfer = nullptr;
    int stepAtBox = -1;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class CalTransferTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.Opened());
        char tmpl[] = "/tmp/duxk-caltest-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        sink.transfer = &transfer;
        // The copies a load makes of the sensor's calibration go there.
        if (const char* temp = getenv("TEMP")) oldTemp = temp;
        setenv("TEMP", dir.c_str(), 1);
    }
    void TearDown() override {
        oldTemp.empty() ? unsetenv("TEMP") : setenv("TEMP", oldTemp.c_str(), 1);
        std::filesystem::remove_all(dir);
    }

    std::string WriteLoadFile(const std::string& content) {
        const std::string path = dir + "/load.cal";
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    // Runs load ticks until the sequence is back at rest, letting each line
    // leave the port first.
    void TickUntilIdle(int maxTicks = 200) {
        for (int i = 0; i < maxTicks && transfer.LoadStep() != 0; ++i) {
            if (transfer.LoadStep() == 5) GetSensorChannel().WaitTransmitDone(1000);
            transfer.Tick();
        }
    }
    // Ticks the load to its end, answering every request for the sensor's
    // listing with `listing`; returns everything the host sent meanwhile.
    std::string FinishLoad(const std::string& listing) {
        std::string sent;
        size_t answered = 0;
        for (int i = 0; i < CalTransfer::kCheckTicks + 200 && transfer.LoadStep() != 0; ++i) {
            if (transfer.LoadStep() == 5) GetSensorChannel().WaitTransmitDone(1000);
            sent += pty.Sent(transfer.LoadStep() >= 9 ? 20 : 0);
            size_t asked = 0;
            for (size_t at = sent.find("calib:show\n"); at != std::string::npos; at = sent.find("calib:show\n", at + 1))
                ++asked;
            for (; answered < asked; ++answered) EXPECT_TRUE(pty.Answer(listing));
            transfer.Tick();
        }
        return sent + pty.Sent();
    }
    // The copy of the sensor's calibration a load makes first: two
    // listings asked for and answered alike.
    void MakeCopy(const std::string& held = kHeld) {
        EXPECT_EQ(transfer.LoadStep(), CalTransfer::kCopyStep);
        transfer.Tick();
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(pty.Expect("calib:show\n"), "calib:show\n");
            ASSERT_TRUE(pty.Answer(held));
            for (int t = 0; t <= CalTransfer::kCompleteTicks; ++t) transfer.Tick();
        }
        EXPECT_EQ(transfer.LoadStep(), 1);
    }
    // The copy, then steps 1 to 3 with the sensor unlocking on the first
    // tick of step 3.
    void RunToUnlocked() {
        MakeCopy();
        transfer.Tick();
        EXPECT_EQ(pty.Expect("calib:lock\n"), "calib:lock\n");
        transfer.Tick();
        EXPECT_EQ(pty.Expect("calib:unlock mulberry\n"), "calib:unlock mulberry\n");
        ASSERT_TRUE(pty.Answer("unlocked_\r\n"));
        transfer.Tick();
        EXPECT_EQ(transfer.LoadStep(), 4);
    }

    static constexpr const char* kHeld = "CAL:SER K52A01234\r\n pack 01\r\n@OLD 01 x\r\nend 01 records\r\n";
    SensorPty pty;
    std::string dir, oldTemp;
    Sink sink;
    CalTransfer transfer{pty.Frame(), &sink};
};

TEST_F(CalTransferTest, SaveReplacesTheFileOnlyOnTheSixthCompleteTick) {
    // The old file (the sensor's last good calibration, as a rule) stays as
    // it was until the listing is complete; then it is replaced whole.
    const std::string file = dir + "/out.cal";
    std::ofstream(file, std::ios::binary) << "previous calibration\r\n";
    std::filesystem::permissions(file, std::filesystem::perms(0640));
    ASSERT_TRUE(transfer.OnSave(file));
    const std::string temp = transfer.SaveTemporaryPath();
    EXPECT_EQ(std::filesystem::path(temp).parent_path(), std::filesystem::path(dir));
    EXPECT_TRUE(std::filesystem::exists(temp));
    EXPECT_EQ(ReadFile(file), "previous calibration\r\n");
    EXPECT_EQ(pty.Expect("calib:show\n"), "calib:show\n");
    EXPECT_EQ(sink.status, std::vector<std::string>{"Saving Cal data..."});

    const std::string listing = "early\r\n pack 02\r\n@AB 01 x 1.5__ \r\n";
    ASSERT_TRUE(pty.Answer(listing));
    transfer.Tick();
    EXPECT_EQ(sink.progress.back(), 50);
    EXPECT_EQ(transfer.CompleteTicks(), 0);

    const std::string rest = "@AB 02 y\t\r\n";
    ASSERT_TRUE(pty.Answer(rest));
    for (int i = 0; i < 5; ++i) transfer.Tick();
    EXPECT_EQ(transfer.CompleteTicks(), 5);
    EXPECT_EQ(ReadFile(file), "previous calibration\r\n");
    // A listing is taken only once a second one agrees with it.
    transfer.Tick();
    EXPECT_EQ(pty.Expect("calib:show\n"), "calib:show\n");
    EXPECT_EQ(ReadFile(file), "previous calibration\r\n");
    ASSERT_TRUE(pty.Answer(listing + rest));
    for (int i = 0; i < 5; ++i) transfer.Tick();
    EXPECT_EQ(ReadFile(file), "previous calibration\r\n");
    transfer.Tick();
    EXPECT_EQ(ReadFile(file), ParsePackBlock(listing + rest, false));
    EXPECT_EQ(ReadFile(file), "early\r\n pack 02\r\n@AB 01 x 1.5\r\n@AB 02 y\r\n\r\n");
    EXPECT_FALSE(std::filesystem::exists(temp));
    EXPECT_EQ(std::filesystem::status(file).permissions(), std::filesystem::perms(0640)) << "mode kept";
    EXPECT_EQ(sink.status.back(), "Done.");
    EXPECT_EQ(sink.progress.back(), 0);
    EXPECT_TRUE(transfer.Received().empty());
    EXPECT_TRUE(sink.boxes.empty());
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no temporary file left";
}

TEST_F(CalTransferTest, StoppedSaveLeavesTheOldFileAndNoTemporary) {
    // Dialog closed, Escape, a time-out: the target keeps its bytes; a new
    // name is not created at all.
    const std::string file = dir + "/keep.cal", fresh = dir + "/fresh.cal";
    std::ofstream(file, std::ios::binary) << "good\r\n";
    for (const std::string& name : {file, fresh}) {
        {
            CalTransfer save(pty.Frame(), &sink);
            ASSERT_TRUE(save.OnSave(name));
            ASSERT_TRUE(pty.Answer(" pack 02\r\n@AB 01 x\r\n"));  // never complete
            for (int i = 0; i < 8; ++i) save.Tick();
            if (name == file) save.Stop();  // the other one ends with the object
        }
        pty.Expect("calib:show\n");
        GetSensorChannel().Purge();
    }
    EXPECT_EQ(ReadFile(file), "good\r\n");
    EXPECT_FALSE(std::filesystem::exists(fresh));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

TEST_F(CalTransferTest, SaveRefusals) {
    const std::string fifo = dir + "/fifo.cal";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_directory(dir + "/sub.cal");
    EXPECT_FALSE(transfer.OnSave(""));
    EXPECT_FALSE(transfer.OnSave(dir + "/missing/out.cal"));
    EXPECT_FALSE(transfer.OnSave(dir + "/sub.cal"));
    EXPECT_FALSE(transfer.OnSave(fifo));
    ASSERT_EQ(sink.boxes.size(), 4u);
    EXPECT_EQ(sink.boxes[0], "File Error: Please enter a filename");
    for (size_t i = 1; i < 4; ++i) EXPECT_EQ(sink.boxes[i].rfind("File Error: Cannot create file\n", 0), 0u);
    EXPECT_NE(sink.boxes[2].find("sub.cal: is a directory"), std::string::npos) << sink.boxes[2];
    EXPECT_NE(sink.boxes[3].find("fifo.cal: not a regular file"), std::string::npos) << sink.boxes[3];
    EXPECT_EQ(transfer.Mode(), CalTransfer::kModeNone);
    pty.Frame().m_bSensorFound = 0;
    EXPECT_FALSE(transfer.OnSave(dir + "/out.cal"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/out.cal"));
    EXPECT_EQ(sink.boxes.size(), 4u);
    EXPECT_EQ(pty.Sent(), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "no temporary file left";
}

TEST_F(CalTransferTest, ListingsThatNeverAgreeAreNotSaved) {
    // A byte garbled on the line in each listing: nothing is written.
    const std::string file = dir + "/out.cal";
    std::ofstream(file, std::ios::binary) << "good\r\n";
    ASSERT_TRUE(transfer.OnSave(file));
    for (const char* value : {"1.5", "1.7", "1.5"}) {
        EXPECT_EQ(pty.Expect("calib:show\n"), "calib:show\n");
        ASSERT_TRUE(pty.Answer(std::string(" pack 01\r\n@AB 01 x ") + value + "\r\n"));
        for (int i = 0; i < 6; ++i) transfer.Tick();
    }
    EXPECT_EQ(transfer.SaveFailures(), 1);
    EXPECT_EQ(transfer.SavesWritten(), 0);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_NE(sink.boxes[0].find("differently each of 3 times"), std::string::npos) << sink.boxes[0];
    EXPECT_EQ(ReadFile(file), "good\r\n");
    EXPECT_EQ(pty.Sent(), "") << "no fourth request";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "no temporary file left";
    for (const auto& st : sink.status) EXPECT_NE(st, "Done.");
}

TEST_F(CalTransferTest, SaveThatCannotWriteItsListingReportsFailureNotDone) {
    ASSERT_TRUE(transfer.OnSave(dir + "/out.cal"));
    pty.Expect("calib:show\n");
    transfer.SetFileName(dir + "/gone/out.cal");
    ASSERT_TRUE(pty.Answer(" pack 01\r\n@AB 01 x\r\n"));
    for (int i = 0; i < 6; ++i) transfer.Tick();
    pty.Expect("calib:show\n");
    ASSERT_TRUE(pty.Answer(" pack 01\r\n@AB 01 x\r\n"));
    for (int i = 0; i < 6; ++i) transfer.Tick();
    EXPECT_EQ(transfer.SaveFailures(), 1);
    EXPECT_EQ(transfer.SavesWritten(), 0);
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0].rfind("File Error: Cannot create file\n", 0), 0u) << sink.boxes[0];
    for (const auto& s : sink.status) EXPECT_NE(s, "Done.");
}

TEST_F(CalTransferTest, LoadSkipsPackHeaderAndSendsLinesUntrimmedOfUnderscores) {
    const std::string file = WriteLoadFile(" pack 03\r\n@AB 01 x  \r\nabc  _\n\r\n\tlast\t");
    ASSERT_TRUE(transfer.OnLoad(file));
    RunToUnlocked();
    EXPECT_EQ(FinishLoad(" pack 01\r\n@AB 01 x\r\nend 01 records\r\n"),
              "calib:read\n@AB 01 x\nabc  _\n\n\tlast\ncalib:lock\ncalib:show\n");
    EXPECT_EQ(sink.status.back(), "Done.");
    EXPECT_EQ(transfer.LoadsDone(), 1);
    ASSERT_GE(sink.progress.size(), 2u);
    EXPECT_EQ(sink.progress[sink.progress.size() - 2], 100);
    EXPECT_EQ(sink.progress.back(), 0);
    // Characters read (line ends excluded) against the file size stay below 100.
    EXPECT_EQ(transfer.DoneCount(), 8 + 10 + 6 + 0 + 6);
    for (size_t i = 0; i + 2 < sink.progress.size(); ++i) EXPECT_LT(sink.progress[i], 100);
}

TEST_F(CalTransferTest, LoadIsDoneOnlyWhenTheSensorHoldsTheFilesRecords) {
    const std::string file = WriteLoadFile(" pack 02\r\n@AB 01 x\r\n@AB 02 y\r\nend 02 records\r\n");
    // A record garbled on its way, a record the sensor did not take, a
    // listing that never comes: each is a failure, never "Done.".
    const std::pair<std::string, std::string> cases[] = {
        {" pack 02\r\n@AB 01 x\r\n@AB 02 z\r\nend 02 records\r\n", "from record 2 on (it holds 2 records"},
        {" pack 01\r\n@AB 01 x\r\nend 01 records\r\n", "from record 2 on (it holds 1 records, the file has 2)"},
        {"", "did not list its calibration data"},
    };
    for (const auto& [listing, failure] : cases) {
        sink.boxes.clear();
        sink.status.clear();
        ASSERT_TRUE(transfer.OnLoad(file));
        RunToUnlocked();
        // The listing is asked for three times in all before the load fails.
        EXPECT_EQ(FinishLoad(listing),
                  "calib:read\n@AB 01 x\n@AB 02 y\nend 02 records\ncalib:lock\n"
                  "calib:show\ncalib:show\ncalib:show\n");
        ASSERT_EQ(sink.boxes.size(), 1u);
        EXPECT_NE(sink.boxes[0].find(failure), std::string::npos) << sink.boxes[0];
        for (const auto& st : sink.status) EXPECT_NE(st, "Done.");
        GetSensorChannel().Purge();
    }
    EXPECT_EQ(transfer.LoadFailures(), 3);
    EXPECT_EQ(transfer.LoadsDone(), 0);
    // The same records, with the listing's own padding: done.
    ASSERT_TRUE(transfer.OnLoad(file));
    RunToUnlocked();
    FinishLoad("calib:show\r\n pack 02\r\n@AB 01 x__\r\n@AB 02 y  \r\nend 02 records\r\n");
    EXPECT_EQ(transfer.LoadsDone(), 1);
    EXPECT_EQ(sink.status.back(), "Done.");
}

TEST_F(CalTransferTest, UnlockAnswerAfterFiftyTicksTimesOut) {
    ASSERT_TRUE(transfer.OnLoad(WriteLoadFile("@abc\n")));
    MakeCopy();
    transfer.Tick();
    transfer.Tick();
    EXPECT_EQ(pty.Expect("calib:lock\ncalib:unlock mulberry\n"), "calib:lock\ncalib:unlock mulberry\n");
    for (int i = 0; i < 50; ++i) transfer.Tick();
    EXPECT_EQ(transfer.LoadStep(), 3);
    // Arriving on the 51st tick of the wait is too late.
    ASSERT_TRUE(pty.Answer("unlocked_"));
    transfer.Tick();
    EXPECT_EQ(transfer.LoadStep(), 7);
    EXPECT_TRUE(sink.boxes.empty());
    transfer.Tick();
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_EQ(sink.boxes[0], "Error: Timeout occured\n\n" + transfer.RestoreNote());
    EXPECT_NE(sink.boxes[0].find("duxk cal load " + transfer.CopyPath()), std::string::npos) << sink.boxes[0];
    EXPECT_EQ(sink.stepAtBox, 8);
    EXPECT_EQ(transfer.LoadTimeouts(), 1);
    transfer.Tick();
    EXPECT_EQ(transfer.LoadStep(), 0);
    EXPECT_EQ(pty.Sent(), "calib:lock\n");
    EXPECT_EQ(sink.progress.back(), 0);
}

TEST_F(CalTransferTest, StopDuringLoadSendsNothingMore) {
    ASSERT_TRUE(transfer.OnLoad(WriteLoadFile("@1\n@2\n@3\n")));
    RunToUnlocked();
    transfer.Tick();  // calib:read
    GetSensorChannel().WaitTransmitDone(1000);
    transfer.Tick();  // @1
    EXPECT_EQ(pty.Expect("calib:read\n@1\n"), "calib:read\n@1\n");
    transfer.Stop();
    for (int i = 0; i < 5; ++i) transfer.Tick();
    EXPECT_EQ(pty.Sent(), "");
}

TEST_F(CalTransferTest, LoadRefusesWhatCannotBeLoadedWholeAndSendsNothing) {
    const std::string fifo = dir + "/fifo.cal";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string big = dir + "/big.cal";
    std::ofstream(big, std::ios::binary) << std::string(CalTransfer::kMaxLoadFileBytes + 1, 'x');
    const std::string empty = dir + "/empty.cal", recordless = dir + "/junk.cal";
    std::ofstream(empty, std::ios::binary) << "";
    std::ofstream(recordless, std::ios::binary) << " pack 01\r\nx@1\r\nend 01 records\r\n";
    const std::string longLine = dir + "/long.cal";
    std::ofstream(longLine, std::ios::binary) << "l1\r\nl2\n"
                                              << std::string(CalTransfer::kMaxLoadLineBytes + 1, 'y') << "\nl4\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", "File Error: Please enter the name of an existing file"},
        {dir + "/none.cal",
         "File Error: Please enter the name of an existing file\n" + dir + "/none.cal: no such file or directory"},
        {dir, "File Error: " + dir + ": is a directory"},
        {"/dev/zero", "File Error: /dev/zero: not a regular file"},
        {fifo, "File Error: " + fifo + ": not a regular file"},
        {big, "File Error: " + big + ": too large: 1048577 bytes, at most 1048576"},
        {longLine, "File Error: " + longLine + ": line 3 is longer than 65536 bytes (65537)"},
        {empty, "File Error: " + empty + ": no calibration records in it (no line begins with '@')"},
        {recordless, "File Error: " + recordless + ": no calibration records in it (no line begins with '@')"},
    };
    for (const auto& [name, box] : cases) {
        sink.boxes.clear();
        EXPECT_FALSE(transfer.OnLoad(name)) << name;
        EXPECT_EQ(sink.boxes, std::vector<std::string>{box});
    }
    EXPECT_EQ(transfer.LoadStep(), 0);
    EXPECT_EQ(pty.Sent(), "");
    // A line of exactly the limit is fine.
    std::ofstream(longLine, std::ios::binary) << '@' << std::string(CalTransfer::kMaxLoadLineBytes - 1, 'y') << "\r\n";
    EXPECT_TRUE(transfer.OnLoad(longLine));
}

TEST_F(CalTransferTest, LoadSendsTheFileAsItWasWhenLoadWasPressed) {
    const std::string file = WriteLoadFile("@1\n@2\n");
    ASSERT_TRUE(transfer.OnLoad(file));
    std::ofstream(file, std::ios::binary | std::ios::app) << "@added later\n";
    RunToUnlocked();
    std::filesystem::remove(file);
    EXPECT_EQ(FinishLoad(" pack 02\r\n@1\r\n@2\r\nend 02 records\r\n"), "calib:read\n@1\n@2\ncalib:lock\ncalib:show\n");
    EXPECT_EQ(transfer.LoadsDone(), 1);
    EXPECT_EQ(transfer.Total(), 6);
}

// A byte garbled in the lines before the pack header is part of the file
// as much as a record: the listings are compared whole.
TEST_F(CalTransferTest, SaveComparesTheListingsWhole) {
    const std::string file = dir + "/out.cal";
    const std::string good = kHeld, garbled = "CAL:SER K52A0l234\r\n pack 01\r\n@OLD 01 x\r\nend 01 records\r\n";
    ASSERT_TRUE(transfer.OnSave(file));
    for (const std::string& listing : {garbled, good, good}) {
        EXPECT_EQ(pty.Expect("calib:show\n"), "calib:show\n");
        ASSERT_TRUE(pty.Answer(listing));
        for (int t = 0; t <= CalTransfer::kCompleteTicks; ++t) transfer.Tick();
    }
    EXPECT_EQ(transfer.SavesWritten(), 1);
    EXPECT_EQ(ReadFile(file), ParsePackBlock(good, false));
}

// Before a load changes anything, the sensor's calibration is saved into a
// copy; a load that then fails says where it is and how to load it back.
TEST_F(CalTransferTest, LoadSavesTheSensorsCalibrationFirstAndNamesItOnFailure) {
    std::snprintf(pty.Frame().m_search.szSerial, sizeof pty.Frame().m_search.szSerial, "K52A01234");
    const std::string file = WriteLoadFile(" pack 01\r\n@NEW 01 y\r\nend 01 records\r\n");
    ASSERT_TRUE(transfer.OnLoad(file));
    RunToUnlocked();
    FinishLoad(" pack 01\r\n@NEW 01 z\r\nend 01 records\r\n");  // the record did not arrive whole
    const std::string copy = transfer.CopyPath();
    EXPECT_EQ(std::filesystem::path(copy).parent_path(), std::filesystem::path(dir));
    EXPECT_EQ(std::filesystem::path(copy).filename().string().rfind("DUXKCal-K52A01234-", 0), 0u) << copy;
    EXPECT_EQ(ReadFile(copy), ParsePackBlock(kHeld, false));
    EXPECT_EQ(std::filesystem::status(copy).permissions(), std::filesystem::perms(0600));
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_NE(sink.boxes[0].find("differ from the file from record 1 on"), std::string::npos) << sink.boxes[0];
    EXPECT_NE(sink.boxes[0].find("saved in " + copy + ": to put them back, load that file (duxk cal load " + copy),
              std::string::npos)
        << sink.boxes[0];

    // Copies of loads that went through are kept five to a sensor; one whose
    // load failed, and another sensor's, are never removed.
    const std::string older = dir + "/DUXKCal-K52A01234-20000101-0000";
    for (int i = 0; i < 5; ++i) std::ofstream(older + std::to_string(i) + ".replaced.cal") << "old";
    std::ofstream(dir + "/DUXKCal-K52A0-20000101-000000.replaced.cal") << "another sensor";
    sink.boxes.clear();
    ASSERT_TRUE(transfer.OnLoad(file));
    RunToUnlocked();
    FinishLoad(" pack 01\r\n@NEW 01 y\r\nend 01 records\r\n");
    EXPECT_EQ(transfer.LoadsDone(), 1);
    EXPECT_TRUE(sink.boxes.empty());
    EXPECT_EQ(sink.status.back(), "Done.");
    EXPECT_TRUE(std::filesystem::exists(copy)) << "the failed load's copy stays";
    EXPECT_NE(transfer.CopyPath().find(".replaced.cal"), std::string::npos) << transfer.CopyPath();
    EXPECT_FALSE(std::filesystem::exists(older + "0.replaced.cal")) << "the oldest went";
    for (int i = 1; i < 5; ++i) EXPECT_TRUE(std::filesystem::exists(older + std::to_string(i) + ".replaced.cal"));
    EXPECT_TRUE(std::filesystem::exists(dir + "/DUXKCal-K52A0-20000101-000000.replaced.cal"));
}

// When the copy cannot be made, the load does not start: nothing but the
// listing requests reaches the sensor.
TEST_F(CalTransferTest, LoadWithoutACopyDoesNotStart) {
    const std::string file = WriteLoadFile("@NEW 01 y\n");
    const std::pair<int, std::string> cases[] = {
        {3, "the listing arrived differently each of 3 times (a disturbed line?)"},
        {0, "the sensor did not list them"},
    };
    for (const auto& [listings, reason] : cases) {
        sink.boxes.clear();
        ASSERT_TRUE(transfer.OnLoad(file));
        std::string sent;
        for (int i = 0, answered = 0; i < 3 * CalTransfer::kCheckAskTicks + 10 && transfer.LoadStep() != 0; ++i) {
            const std::string now = pty.Sent(0);
            sent += now;
            if (now == "calib:show\n" && answered < listings) {
                ASSERT_TRUE(pty.Answer(" pack 01\r\n@OLD 01 " + std::to_string(++answered) + "\r\nend 01 records\r\n"));
            }
            transfer.Tick();
        }
        EXPECT_EQ(sent + pty.Sent(), "calib:show\ncalib:show\ncalib:show\n");
        ASSERT_EQ(sink.boxes.size(), 1u) << reason;
        EXPECT_EQ(sink.boxes[0], "Error: The sensor's calibration data could not be saved before the load: " + reason +
                                     ". Nothing was loaded: the sensor is as it was.");
        EXPECT_TRUE(transfer.CopyPath().empty());
        GetSensorChannel().Purge();
    }
    EXPECT_EQ(transfer.LoadFailures(), 2);
}

TEST(CalDefaultName, DirectorySerialAndExtension) {
    EXPECT_EQ(CalTransfer::DefaultFileName("/work", "1A2B3C"), "/work/1A2B3C.cal");
    EXPECT_EQ(CalTransfer::DefaultFileName("/work", ""), "/work/.cal");
    EXPECT_EQ(CalTransfer::DefaultFileName("/", "1A"), "//1A.cal");
    // Whatever the sensor reports, the name stays in the directory.
    EXPECT_EQ(CalTransfer::DefaultFileName("/work", "../../etc/x"), "/work/_._.._etc_x.cal");
    EXPECT_EQ(CalTransfer::FileNameFromSerial("..\\x"), "_._x.cal");
    EXPECT_EQ(CalTransfer::FileNameFromSerial(".hidden"), "_hidden.cal");
    EXPECT_EQ(CalTransfer::FileNameFromSerial("K52\x1b]0;x\x07\x7f"), "K52_]0;x__.cal");
}

}  // namespace
