// The update driver: refusals before the sensor is touched, port errors,
// boot-mode entry and flash initiation against a sensor played on a
// pseudo-terminal, the worker's handshake and the result texts.
#include "PrivateTemp.h"
#include "PtyPeer.h"

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/Update.h"
#include "update/Recovery.h"
#include "update/UpdateDetail.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

std::string WriteFile(const std::string& name, size_t size) {
    // Named per process, so that builds testing side by side do not meet.
    std::string path = ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    for (size_t i = 0; i < size; ++i) std::fputc(static_cast<int>(i & 0xFF), f);
    std::fclose(f);
    return path;
}

::testing::Environment* const g_privateTemp = ::testing::AddGlobalTestEnvironment(new PrivateTemp);
class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        std::snprintf(frame.m_search.szPort, sizeof frame.m_search.szPort, "%s", peer.SlavePath().c_str());
        std::snprintf(frame.m_search.szBaud, sizeof frame.m_search.szBaud, "38400");
        ResetReplyState();
    }
    void TearDown() override { GetSensorChannel().Close(); }
    // A fast ProgramFlash of 16 bytes on the open port, running in `run`.
    void StartFastProgramFlash(std::future<void>& run) {
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, NOPARITY, ONESTOPBIT), 0u);
        ch.SetEventMask(0x1FD);
        SetFastLink(true);
        run = std::async(std::launch::async, [] {
            ProgramFlash(38400, std::vector<uint8_t>(16, 0x5A), kLoadAddressWord, kLoadAddressWord);
        });
    }

    PtyPeer peer;
    RecordingUi ui;
    CMainFrameCore frame{ui};
    // The update's boxes go to ui, and the port is handed back to frame.
    UpdateFrameScope frameScope{&frame};
};

}  // namespace

TEST(UpdateTexts, ResultCodesMapToTheirMessages) {
    EXPECT_STREQ(DownloadResultMessage(4), "Checksum error");
    EXPECT_STREQ(DownloadResultMessage(8), "Could not download a block");
    EXPECT_STREQ(DownloadResultMessage(3), "Transfer error");
    EXPECT_STREQ(DownloadResultMessage(-1), "Transfer error");
    EXPECT_STREQ(DownloadResultMessage(12), "Transfer error");
    EXPECT_STREQ(FlashResultMessage(-2), "File read error");
    EXPECT_STREQ(FlashResultMessage(1041), "Switching on programming voltage failed");
    EXPECT_STREQ(FlashResultMessage(2309), "Response telegram not received");
    for (int code : {786, 1043, 1044, 2310}) EXPECT_STREQ(FlashResultMessage(code), "Unknown transfer error");
}

TEST(FirmwareFile, OnlyARegularFileOfOneToTheErasedAreaIsRead) {
    std::vector<uint8_t> image{1, 2, 3};
    std::string why;
    const std::string fit = WriteFile("fit.bin", 0x1C000);
    EXPECT_EQ(ReadFirmwareFile(fit.c_str(), image, &why), FirmwareFileState::Ok);
    ASSERT_EQ(image.size(), 0x1C000u);
    EXPECT_EQ(image[0x1BFFF], 0xFF);
    EXPECT_TRUE(why.empty());

    struct Case {
        std::string path;
        FirmwareFileState state;
        std::string reason;
    };
    const std::string dir = ::testing::TempDir() + std::to_string(getpid()) + "_fwdir/";
    mkdir(dir.c_str(), 0700);
    const std::string fifo = ::testing::TempDir() + std::to_string(getpid()) + "_fw.fifo";
    unlink(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const Case cases[] = {
        {WriteFile("big.bin", 0x1C001), FirmwareFileState::TooLarge, "too large: 114689 bytes"},
        {WriteFile("empty.bin", 0), FirmwareFileState::Empty, "empty"},
        {"/nonexistent/fw.bin", FirmwareFileState::CannotOpen, "/nonexistent/fw.bin: no such file or directory"},
        {dir, FirmwareFileState::Directory, dir + ": is a directory"},
        // A FIFO without a writer: refused at once, never waited on.
        {fifo, FirmwareFileState::NotRegular, fifo + ": not a regular file"},
        {"/dev/zero", FirmwareFileState::NotRegular, "/dev/zero: not a regular file"},
        {std::string(5000, 'a'), FirmwareFileState::CannotOpen, "file name too long"},
    };
    for (const Case& c : cases) {
        image = {1, 2, 3};
        EXPECT_EQ(ReadFirmwareFile(c.path.c_str(), image, &why), c.state) << c.path.substr(0, 80);
        EXPECT_NE(why.find(c.reason), std::string::npos) << why.substr(0, 200);
        EXPECT_TRUE(image.empty());
    }
    unlink(fifo.c_str());
    rmdir(dir.c_str());
}

TEST(FirmwareFile, FileThatDoesNotHoldWhatItAnnouncesIsRefused) {
    // A sysfs attribute announces a page and delivers a few bytes, as a file
    // truncated while it is read would.
    const char* shrinking = "/sys/devices/system/cpu/online";
    struct stat st {};
    if (stat(shrinking, &st) != 0 || st.st_size == 0) GTEST_SKIP() << "no sysfs here";
    std::vector<uint8_t> image;
    std::string why;
    EXPECT_EQ(ReadFirmwareFile(shrinking, image, &why), FirmwareFileState::Changed);
    EXPECT_NE(why.find("changed while it was being read"), std::string::npos) << why;
    EXPECT_TRUE(image.empty());
}

TEST(UpdateFrame, BoxesGoToTheFrameTheCallerGivesAndOnlyForThatRun) {
    RecordingUi ui;
    CMainFrameCore frame{ui};
    UpdateOptions options;
    options.frame = &frame;
    auto run = [](const UpdateOptions& o) {
        return UpdateFirmware("dux_tra.bin", "/nonexistent/fw.bin", "/nonexistent/ttyDUXK", "38400", kLoadAddressWord,
                              kLoadAddressWord, o);
    };
    EXPECT_EQ(run(options), 0);
    EXPECT_EQ(ui.Boxes().size(), 1u);
    // The next run without a frame reports elsewhere (the standard error).
    EXPECT_EQ(run(UpdateOptions{}), 0);
    EXPECT_EQ(ui.Boxes().size(), 1u);
    // A frame in force serves runs whose callers give none.
    {
        const UpdateFrameScope scope(&frame);
        EXPECT_EQ(run(UpdateOptions{}), 0);
    }
    EXPECT_EQ(ui.Boxes().size(), 2u);
    EXPECT_EQ(run(UpdateOptions{}), 0);
    EXPECT_EQ(ui.Boxes().size(), 2u);
}

TEST_F(DriverTest, PortThatCannotBeOpenedShowsThePortError) {
    EXPECT_EQ(UpdateFirmware("dux_tra.bin", WriteFile("ok.bin", 16).c_str(), "/nonexistent/ttyDUXK", "38400",
                             kLoadAddressWord, kLoadAddressWord),
              1);
    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text,
              "Unable to open COM-port\n(error code 2)\n"
              "/nonexistent/ttyDUXK does not exist or has no device behind it");
    EXPECT_EQ(boxes[0].caption, "DUXKUpdate");
    EXPECT_EQ(boxes[0].icon, BoxIcon::Error);
}

TEST_F(DriverTest, PortHeldElsewhereSaysItIsInUse) {
    CWinCom holder;
    ASSERT_EQ(holder.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
    EXPECT_EQ(UpdateFirmware("dux_tra.bin", WriteFile("ok.bin", 16).c_str(), peer.SlavePath().c_str(), "38400",
                             kLoadAddressWord, kLoadAddressWord),
              1);
    holder.Close();
    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind("Unable to open COM-port\n(error code 5)\n", 0), 0u) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find("is in use by"), std::string::npos) << boxes[0].text;
}

TEST_F(DriverTest, UnusableFirmwareIsRefusedWithoutTouchingTheSensor) {
    // Oversized, empty and missing files alike: no port opened, nothing sent.
    const std::pair<std::string, std::string> cases[] = {
        {WriteFile("over.bin", 0x1C001), "too large"},
        {WriteFile("zero.bin", 0), "the file is empty"},
        {"/nonexistent/fw.bin", "no such file"},
    };
    for (const auto& [path, reason] : cases) {
        ui.boxes.clear();
        EXPECT_EQ(UpdateFirmware("dux_tra.bin", path.c_str(), peer.SlavePath().c_str(), "38400", kLoadAddressWord,
                                 kLoadAddressWord),
                  0);
        EXPECT_TRUE(peer.ReadChunk(300, 100).empty()) << path;
        EXPECT_FALSE(GetSensorChannel().IsOpen());
        EXPECT_EQ(LastUpdateOutcome().stage, 1);
        const auto boxes = ui.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].caption, "FLASH programming error");
        EXPECT_EQ(boxes[0].text.rfind("File read error\n" + path + ": ", 0), 0u) << boxes[0].text;
        EXPECT_NE(boxes[0].text.find(reason), std::string::npos) << boxes[0].text;
    }
}

TEST_F(DriverTest, WorkerLeavesWithoutUpdateWhenTheWindowCloses) {
    UpdateJob job;
    std::thread worker([&] { UpdateWorker(&job); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // The window's close wakes the worker, which sleeps until then.
    CloseUpdateJob(&job);
    worker.join();
    EXPECT_EQ(job.counter.load(), 3);
    EXPECT_TRUE(ui.Boxes().empty());
}

TEST_F(DriverTest, WorkerRunsOneUpdateAndHandsBack) {
    UpdateJob job;
    std::snprintf(job.firmwarePath, sizeof job.firmwarePath, "%s", WriteFile("over2.bin", 0x1D000).c_str());
    std::snprintf(job.portName, sizeof job.portName, "%s", peer.SlavePath().c_str());
    std::snprintf(job.baudText, sizeof job.baudText, "38400");
    std::thread worker([&] { UpdateWorker(&job); });
    StartUpdateJob(&job);
    worker.join();
    EXPECT_EQ(job.startFlag.load(), 0);
    EXPECT_EQ(job.counter.load(), 2);
    EXPECT_EQ(ui.Boxes().size(), 1u);
}

TEST_F(DriverTest, NoBootAnswerGivesUpAfterTenSecondsAndStillSendsAppl) {
    const std::string path = WriteFile("fw16.bin", 16);
    auto run = std::async(std::launch::async, [&] {
        return UpdateFirmware("dux_tra.bin", path.c_str(), peer.SlavePath().c_str(), "38400", kLoadAddressWord,
                              kLoadAddressWord);
    });
    int boots = 0;
    std::string line;
    while (!(line = peer.ReadLine(3000)).empty() && line == "boot\n") ++boots;
    EXPECT_EQ(line, "appl\n");
    EXPECT_EQ(run.get(), 0);
    EXPECT_GE(boots, 7);
    EXPECT_LE(boots, 9);
    // The main frame takes the port back and greets the application again.
    EXPECT_EQ(peer.ReadLine(2000), "appl\n");
    EXPECT_TRUE(GetSensorChannel().IsOpen());
    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Entering bootmode failed");
    EXPECT_EQ(boxes[0].caption, "FLASH programming error");
    EXPECT_EQ(DownloadProgress.load(), 0.0);
}

TEST_F(DriverTest, SyntaxAnswerEntersBootModeAndVerdictCIsAChecksumError) {
    CDUXKSerial& ch = GetSensorChannel();
    ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
    ASSERT_EQ(ch.SetParams(38400, 8, NOPARITY, ONESTOPBIT), 0u);
    ch.SetEventMask(0x1FD);
    auto run = std::async(std::launch::async, [] {
        ProgramFlash(38400, std::vector<uint8_t>(16, 0x5A), kLoadAddressWord, kLoadAddressWord);
    });
    EXPECT_EQ(peer.ReadLine(3000), "boot\n");
    peer.Write("SYNTAX\r\n");
    // "flsh" alone does not count; "flsh" directly followed by "flash" does.
    EXPECT_EQ(peer.ReadLine(3000), "flsh\n");
    peer.Write("flsh\r\n");
    EXPECT_EQ(peer.ReadLine(3000), "flsh\n");
    peer.Write("flshflash\r\n");
    // The download by its byte count, not by the pauses between its blocks
    // (a loaded machine merges or splits those): the header, the program,
    // then its checksum, after which the loader's verdict is due.
    EXPECT_EQ(peer.Read(12 + kTransferProgramBytes, 3000).size(), 12u + kTransferProgramBytes);
    EXPECT_EQ(peer.Read(2, 3000).size(), 2u);
    EXPECT_TRUE(peer.ReadChunk(200, 50).empty()) << "nothing more before the verdict";
    peer.Write("C");
    run.get();
    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Checksum error");
    EXPECT_EQ(boxes[0].caption, "FLASH programming error");
    EXPECT_EQ(LastUpdateOutcome().stage, 5);
    EXPECT_EQ(LastUpdateOutcome().code, 4);
    // 'C' may be a garbled 'T' with the program running: the next run is
    // sent looking for it first.
    UpdateMarker marker;
    ASSERT_TRUE(ReadUpdateMarkerFile(CurrentMarkerPath(), marker));
    EXPECT_EQ(marker.stage, "program");
}

TEST_F(DriverTest, MarkerThatCannotBeWrittenStopsTheUpdateBeforeFlsh) {
    // The boot loader takes everything after "flsh" as download bytes; no
    // later run could tell it from a running program without the marker.
    const std::string dir = WriteFile("gone", 0) + ".d";
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    // Nothing to give way to once TEMP has gone.
    const NoStateDirectory none(dir);
    CDUXKSerial& ch = GetSensorChannel();
    ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
    ASSERT_EQ(ch.SetParams(38400, 8, NOPARITY, ONESTOPBIT), 0u);
    ch.SetEventMask(0x1FD);
    auto run = std::async(std::launch::async, [] {
        ProgramFlash(38400, std::vector<uint8_t>(16, 0x5A), kLoadAddressWord, kLoadAddressWord);
        CloseTransferPort();
    });
    EXPECT_EQ(peer.ReadLine(3000), "boot\n");
    // Its directory gone meanwhile (a file in its place).
    ASSERT_EQ(rename(dir.c_str(), (dir + ".old").c_str()), 0);
    std::FILE* file = std::fopen(dir.c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    peer.Write("SYNTAX\r\n");
    EXPECT_EQ(peer.ReadLine(5000), "appl\n") << "sent back to the application, no flsh";
    run.get();
    const auto boxes = ui.Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text.rfind(std::string(kMarkerFailedText) + "\n", 0), 0u) << boxes[0].text;
    EXPECT_NE(boxes[0].text.find(dir + ": not a directory"), std::string::npos) << boxes[0].text;
    EXPECT_EQ(LastUpdateOutcome().stage, 4);
    for (const std::string& path : {dir, dir + ".old", dir.substr(0, dir.size() - 2)})
        std::filesystem::remove_all(path);
}

TEST_F(DriverTest, UnpluggedBeforeBootModeOrFlashInitiationFailsAtOnce) {
    // Both steps repeat their command for several seconds; a port whose
    // device is gone ends them at once, and the box says what happened.
    for (const bool inBootMode : {false, true}) {
        PtyPeer local;
        ASSERT_TRUE(local.Ok());
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(local.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, NOPARITY, ONESTOPBIT), 0u);
        ch.SetEventMask(0x1FD);
        ui.boxes.clear();
        const uint64_t t0 = TickCountMs();
        auto run = std::async(std::launch::async, [] {
            ProgramFlash(38400, std::vector<uint8_t>(16, 0x5A), kLoadAddressWord, kLoadAddressWord);
        });
        EXPECT_EQ(local.ReadLine(3000), "boot\n");
        if (inBootMode) {
            local.Write("SYNTAX\r\n");
            EXPECT_EQ(local.ReadLine(3000), "flsh\n");
        }
        local.CloseMaster();
        run.get();
        EXPECT_LT(TickCountMs() - t0, 4000u);
        const auto boxes = ui.Boxes();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(
            boxes[0].text.rfind(inBootMode ? "Flash programming initiation failed\n" : "Entering bootmode failed\n", 0),
            0u)
            << boxes[0].text;
        EXPECT_NE(boxes[0].text.find("was lost"), std::string::npos);
        ch.Close();
    }
}

TEST(UpdateSwitches, FastFromTheDesktopCommandLine) {
    EXPECT_TRUE(CommandLineHasFastSwitch("duxkupdate /fast"));
    EXPECT_TRUE(CommandLineHasFastSwitch("duxkupdate /noSNcheck  /FAST"));
    EXPECT_TRUE(CommandLineHasFastSwitch("/Fast\tdoc.dux"));
    EXPECT_FALSE(CommandLineHasFastSwitch("duxkupdate /home/fast/doc.dux"));
    EXPECT_FALSE(CommandLineHasFastSwitch("duxkupdate /fastest fast"));
    EXPECT_FALSE(CommandLineHasFastSwitch(""));
}

TEST_F(DriverTest, FastBootEntryTakesTheAnswerAsItComes) {
    // A line that is no boot answer, then the answer within the same second:
    // fast mode takes it without asking again (standard mode would look at the
    // first line only, and ask once more).
    std::future<void> run;
    ASSERT_NO_FATAL_FAILURE(StartFastProgramFlash(run));
    EXPECT_EQ(peer.ReadLine(3000), "boot\n");
    peer.Write("busy_\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.Write("boot__\r\n");
    EXPECT_EQ(peer.ReadLine(3000), "flsh\n");
    peer.CloseMaster();
    run.get();
    SetFastLink(false);
    EXPECT_NE(LastUpdateOutcome().stage, 3);
}

TEST_F(DriverTest, FastBootEntryLetsTheRealAnswerComeBeforeFlsh) {
    // A "syntax error_" the application firmware still owed comes just before
    // the answer to "boot": both must be gone before "flsh", which must go
    // out once, and the download's header must follow its answer.
    std::future<void> run;
    ASSERT_NO_FATAL_FAILURE(StartFastProgramFlash(run));
    EXPECT_EQ(peer.ReadLine(3000), "boot\n");
    peer.Write("syntax error_\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    peer.Write("boot__\r\n");
    EXPECT_EQ(peer.ReadLine(3000), "flsh\n");
    peer.Write("flshflash ready\r\n");
    const std::vector<uint8_t> header = peer.Read(12, 3000);
    ASSERT_EQ(header.size(), 12u);
    EXPECT_NE(std::string(header.begin(), header.begin() + 4), "flsh");
    peer.CloseMaster();
    run.get();
    SetFastLink(false);
}

TEST_F(DriverTest, FastBootEntryAsksAsOftenAsStandardMode) {
    const std::string path = WriteFile("fw16f.bin", 16);
    UpdateOptions fast;
    fast.fast = true;
    auto run = std::async(std::launch::async, [&] {
        return UpdateFirmware("dux_tra.bin", path.c_str(), peer.SlavePath().c_str(), "38400", kLoadAddressWord,
                              kLoadAddressWord, fast);
    });
    int boots = 0;
    std::string line;
    while (!(line = peer.ReadLine(3000)).empty() && line == "boot\n") ++boots;
    EXPECT_EQ(line, "appl\n");
    EXPECT_EQ(run.get(), 0);
    EXPECT_GE(boots, 7);
    EXPECT_LE(boots, 9);
    EXPECT_FALSE(FastLink());  // the update's own switch is off again
}

TEST_F(DriverTest, FastAnswerLeavesNothingOfItsLineBehind) {
    // A stray LF from an earlier line makes the CR end the next line, so the
    // boot answer is taken at its CR while its LF is still on the way. That
    // LF must not survive into the download, where it would be read as the
    // loader's verdict.
    CDUXKSerial& ch = GetSensorChannel();
    std::future<void> run;
    ASSERT_NO_FATAL_FAILURE(StartFastProgramFlash(run));
    auto answer = [&](const char* line) {
        peer.Write(line);
        // The host has taken the line by now; its LF comes late.
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        peer.Write("\n");
    };
    EXPECT_EQ(peer.ReadLine(3000), "boot\n");
    answer("\nboot__\r");
    EXPECT_EQ(peer.ReadLine(3000), "flsh\n");
    answer("flshflash\r");
    EXPECT_EQ(peer.Read(12, 3000).size(), 12u);  // the download's header
    EXPECT_EQ(ch.ReceivedCount(), 0u);
    peer.CloseMaster();
    run.get();
    SetFastLink(false);
}
