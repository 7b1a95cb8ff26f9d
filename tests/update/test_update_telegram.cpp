// The flash telegram sequence against a transfer program played on a
// pseudo-terminal: the bytes of every telegram, block splitting, retries on
// error replies and the final checksum comparison.
#include "FakeTransfer.h"
#include "PtyPeer.h"

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>
#include <map>
#include <vector>

using Bytes = FakeTransfer::Bytes;

namespace {

std::vector<uint8_t> Image(size_t size, unsigned seed) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>((i * 7 + seed) & 0xFF);
    return image;
}

class TelegramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
        ch.SetEventMask(0x1FD);
        ch.SetFlowControl(0);
        EraseProgress = 0.0;
    }
    void TearDown() override {
        sensor.Stop();
        GetSensorChannel().Close();
    }

    PtyPeer peer;
    RecordingUi ui;
    CMainFrameCore frame{ui};
    // The update's boxes go to ui, and the port is handed back to frame.
    UpdateFrameScope frameScope{&frame};
    FakeTransfer sensor{peer};
};

// Program telegrams: 0x25 width type address(4) count(2) data.
uint32_t ProgramAddress(const Bytes& t) {
    return t[4] | (t[5] << 8) | (t[6] << 16) | (static_cast<uint32_t>(t[7]) << 24);
}
unsigned ProgramCount(const Bytes& t) { return t[8] | (t[9] << 8); }

}  // namespace

TEST_F(TelegramTest, WholeSequenceOnTheWireAndFlashHoldsTheFile) {
    const std::vector<uint8_t> image = Image(481, 3);
    sensor.Start();
    EXPECT_EQ(LoadFlashContents(image.data(), image.size()), 0);
    sensor.Stop();

    const auto t = sensor.Telegrams();
    ASSERT_EQ(t.size(), 12u);
    const Bytes powerOn{0x01, 0x22, 0x22, 0x00};
    const Bytes identify{0x07, 0x21, 0x01, 0x15, 0x00, 0x00, 0x08, 0x00, 0x3F, 0x00};
    const Bytes erase{0x0B, 0x27, 0x01, 0x15, 0x00, 0x00, 0x08, 0x00, 0x00, 0xC0, 0x01, 0x00, 0x06, 0x01};
    const Bytes powerOff{0x01, 0x23, 0x23, 0x00};
    EXPECT_EQ(t[0], powerOn);
    EXPECT_EQ(t[1], identify);
    EXPECT_EQ(t[2], erase);
    EXPECT_EQ(t[3], powerOff);
    EXPECT_EQ(t[4], powerOn);
    EXPECT_EQ(t[5], identify);
    // 481 bytes: two full blocks and one of a single byte at 0x801E0.
    const uint32_t addresses[3] = {0x80000, 0x800F0, 0x801E0};
    const unsigned counts[3] = {240, 240, 1};
    for (int i = 0; i < 3; ++i) {
        const Bytes& p = t[6 + i];
        ASSERT_EQ(p.size(), counts[i] + 12u);
        EXPECT_EQ(p[0], counts[i] + 9u);
        EXPECT_EQ(p[1], 0x25);
        EXPECT_EQ(p[2], 0x01);
        EXPECT_EQ(p[3], 0x15);
        EXPECT_EQ(ProgramAddress(p), addresses[i]);
        EXPECT_EQ(ProgramCount(p), counts[i]);
    }
    EXPECT_EQ(t[9], powerOff);
    // Checksum over the file's size from the flash base.
    const Bytes checksum = FakeTransfer::Frame({0x26, 0x01, 0x00, 0x00, 0x08, 0x00, 0xE1, 0x01, 0x00, 0x00});
    EXPECT_EQ(t[10], checksum);
    EXPECT_EQ(t[11], (Bytes{0x01, 0x49, 0x49, 0x00}));

    for (uint32_t i = 0; i < 481; ++i) ASSERT_EQ(sensor.FlashAt(0x80000 + i), (i * 7 + 3) & 0xFF) << i;
    EXPECT_EQ(sensor.FlashAt(0x80000 + 481), 0xFF);
    EXPECT_DOUBLE_EQ(EraseProgress.load(), 100.01);
    EXPECT_DOUBLE_EQ(ProgramProgress.load(), 100.01);
}

TEST_F(TelegramTest, FileOfTwoFullBlocksEndsWithoutAnEmptyBlock) {
    const std::vector<uint8_t> image = Image(480, 9);
    sensor.Start();
    EXPECT_EQ(LoadFlashContents(image.data(), image.size()), 0);
    sensor.Stop();
    int programs = 0;
    for (const Bytes& t : sensor.Telegrams()) {
        if (t.size() > 1 && t[1] == 0x25) {
            ++programs;
            EXPECT_EQ(ProgramCount(t), 240u);
        }
    }
    EXPECT_EQ(programs, 2);
}

TEST_F(TelegramTest, ErrorRepliesAreRepeatedWithTheSameTelegram) {
    const std::vector<uint8_t> image = Image(10, 1);
    // The first two identify telegrams and the first program telegram are
    // answered with checksum error replies.
    int identifies = 0, programs = 0;
    sensor.override_ = [&](const Bytes& body, size_t) -> Bytes {
        if (body[0] == 0x21 && identifies++ < 2) return {0x20, 0xF4};
        if (body[0] == 0x25 && programs++ < 1) return {0x20, 0xF4};
        return {};
    };
    sensor.Start();
    EXPECT_EQ(LoadFlashContents(image.data(), image.size()), 0);
    sensor.Stop();
    const auto t = sensor.Telegrams();
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(t[1], t[2]);
    EXPECT_EQ(t[2], t[3]);
    EXPECT_EQ(t[3][1], 0x21);
    EXPECT_EQ(t[4][1], 0x27);
    size_t programCount = 0;
    for (const Bytes& x : t) programCount += x[1] == 0x25;
    EXPECT_EQ(programCount, 2u);
}

TEST_F(TelegramTest, FlashFailureReportedInTheStatusByteIsNeverASuccess) {
    // A reply with the right code whose status byte says the erase ('A') or
    // the programming ('C') failed is taken as the sensor expects, unrepeated,
    // and the sequence goes on to the sum. A sum that differs is the checksum
    // error; one that matches still fails with the reported failure (an erase
    // that left cells programmed outside the image passed the sum). Either
    // way a line names the failure, and the end of programming never goes out.
    const struct {
        const char* what;
        uint32_t stuck;  // program: a cell that never programs
        bool eraseFails;
        bool repeatFirst;  // an error reply to the first identify: garbled data may be the cause
        int code;
        const char* detail;
    } cases[] = {
        {"erase fails", 0, true, false, 0x414,
         "The sensor reports that erasing its flash failed at 0x9A000: the flash may be defective."},
        {"a cell that will not program", 0x80000 + 250, false, false, 0x904,
         "The sensor reports that programming its flash failed at 0x800FA: the flash may be defective."},
        {"the same after a repeat", 0x80000 + 250, false, true, 0x904,
         "The sensor reports that programming its flash failed at 0x800FA, after telegrams had to be repeated: "
         "data garbled on the line can cause this. Run the update again; if it fails the same way, the flash may "
         "be defective."},
    };
    const std::vector<uint8_t> image = Image(300, 5);
    SetFastLink(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransfer transfer{peer};
        transfer.stuckAddress = c.stuck;
        bool repeated = !c.repeatFirst;
        transfer.override_ = [&](const Bytes& body, size_t) -> Bytes {
            if (body[0] == 0x21 && !repeated) return repeated = true, Bytes{0x20, 0xF4};
            if (body[0] != 0x27 || !c.eraseFails) return {};
            return {0xA7, 0x41, 0x00, 0xA0, 0x09, 0x00};
        };
        // The erase that fails has cleared the image's cells, not those
        // from its stop address on.
        if (c.eraseFails) transfer.SetFlash(0x80000, Bytes(0x1A000, 0xFF));
        transfer.Start();
        EXPECT_EQ(LoadFlashContents(image.data(), image.size()), c.code);
        transfer.Stop();
        EXPECT_EQ(FlashFailureDetail(c.code), c.detail);
        // A sequence that loses step after the report still names it.
        EXPECT_EQ(FlashFailureDetail(0x905), c.detail);
        EXPECT_EQ(FlashFailureDetail(0), "");
        const auto t = transfer.Telegrams();
        ASSERT_FALSE(t.empty());
        EXPECT_EQ(t.back()[1], 0x26);
        std::map<uint8_t, size_t> sent;
        for (const Bytes& x : t) ++sent[x[1]];
        EXPECT_EQ(sent[0x27], 1u);
        EXPECT_EQ(sent[0x25], 2u);
        EXPECT_EQ(sent[0x49], 0u);
    }
    SetFastLink(false);
}

TEST_F(TelegramTest, ImageThatCannotBeProgrammedWholeSendsNothing) {
    // Empty, or larger than the erased area: refused before the erase, so the
    // sensor keeps its application.
    sensor.Start();
    const std::vector<uint8_t> empty;
    EXPECT_EQ(LoadFlashContents(empty.data(), 0), -2);
    const std::vector<uint8_t> over = Image(0x1C001, 1);
    EXPECT_EQ(LoadFlashContents(over.data(), over.size()), 0x601);
    EXPECT_STREQ(FlashResultMessage(0x601), "Parameter check error");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sensor.Stop();
    EXPECT_TRUE(sensor.Telegrams().empty());
    EXPECT_DOUBLE_EQ(DownloadProgress.load(), 100.01);
}

TEST_F(TelegramTest, NoEraseOrProgramTelegramLeavesTheErasedArea) {
    sensor.Start();
    const std::vector<uint8_t> block = Image(240, 2);
    uint32_t sum = 0, stop = 0;
    StopWatch(0, false);
    // Programs ending one byte past 0x9BFFF, starting below the flash, or
    // wrapping around the address space; erases likewise.
    EXPECT_EQ(flashProg(block.data(), block.size(), 0x9BF11, 1, 0x15, &sum, &stop), 0x601);
    EXPECT_EQ(flashProg(block.data(), block.size(), 0x7FF80, 1, 0x15, &sum, &stop), 0x601);
    EXPECT_EQ(flashProg(block.data(), block.size(), 0xFFFFFF80u, 1, 0x15, &sum, &stop), 0x601);
    EXPECT_EQ(FlashDelete(1, 0x15, 0x80000, 0x1C001), 0x601);
    EXPECT_EQ(FlashDelete(1, 0x15, 0x9C000, 0x4000), 0x601);
    EXPECT_EQ(FlashDelete(1, 0x15, 0x90000, 0xFFFFFFF0u), 0x601);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(sensor.Telegrams().empty());
    // The last block that fits ends exactly at 0x9BFFF.
    EXPECT_EQ(flashProg(block.data(), block.size(), 0x9BF10, 1, 0x15, &sum, &stop), 0);
    sensor.Stop();
    ASSERT_EQ(sensor.Telegrams().size(), 1u);
    EXPECT_EQ(ProgramAddress(sensor.Telegrams()[0]), 0x9BF10u);
}

TEST_F(TelegramTest, ReplyHeldUpPastASecondIsWaitedForNotTalkedOver) {
    // A reply that comes late, whole (1.6 s) or from its third byte on (7 s:
    // the program is known to be replying, and the retry window is not over),
    // is taken as it is: a repeat sent into it would serve the program as the
    // echoes it waits for, and the exchange would never be clean again.
    for (const auto& [at, ms] : {std::pair<size_t, int>{0, 1600}, {2, 7000}}) {
        SCOPED_TRACE(at);
        FakeTransfer transfer{peer};
        transfer.stallMs = ms;
        transfer.stallByte = at;
        transfer.Start();
        StopWatch(0, false);
        EXPECT_EQ(flashProgpowerOn(), 0);
        transfer.Stop();
        EXPECT_EQ(transfer.Telegrams().size(), 1u);
    }
}

TEST_F(TelegramTest, PowerOffWithoutReplyGivesItsSpecificCodeAfterTheWindow) {
    // After an accepted identify the reply buffer's second byte is not 'F',
    // so the check turns the silent power-off into 1042.
    sensor.override_ = [](const Bytes& body, size_t) -> Bytes {
        if (body[0] == 0x21) return {0xA1, 1, 0, 0, 0, 2, 0, 0, 0};
        return {};
    };
    sensor.Start();
    uint32_t m = 0, d = 0;
    StopWatch(0, false);
    ASSERT_EQ(flashGetManufacturer(0x80000, 1, 0x15, &m, &d), 0);
    EXPECT_EQ(m, 1u);
    EXPECT_EQ(d, 2u);
    sensor.Stop();  // nobody answers from here on
    const uint64_t t0 = TickCountMs();
    EXPECT_EQ(flashProgpowerOff(), 0x412);
    EXPECT_GE(TickCountMs() - t0, 10000u);
}

TEST_F(TelegramTest, UnpluggedDuringTheEraseFailsAtOnce) {
    // The erase reply may take up to 10 s and a failed telegram is repeated
    // for 10 s; neither wait may outlast the port itself.
    std::thread unplug([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        peer.CloseMaster();
    });
    const uint64_t t0 = TickCountMs();
    EXPECT_NE(FlashDelete(1, 0x15, 0x80000, 7), 0);
    const uint64_t took = TickCountMs() - t0;
    unplug.join();
    EXPECT_LT(took, 3000u);
    EXPECT_TRUE(GetSensorChannel().IsReceiveEnded());
}

TEST_F(TelegramTest, FastModeSendsTheSameTelegramsAndEchoesEveryByte) {
    // The same sequence on the wire in both modes; the played transfer
    // program checks every echo against the byte it sent.
    const std::vector<uint8_t> image = Image(500, 4);
    sensor.Start();
    ASSERT_EQ(LoadFlashContents(image.data(), image.size()), 0);
    sensor.Stop();
    const auto standard = sensor.Telegrams();

    FakeTransfer fast{peer};
    SetFastLink(true);
    fast.Start();
    const int result = LoadFlashContents(image.data(), image.size());
    fast.Stop();
    SetFastLink(false);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fast.Telegrams(), standard);
    for (uint32_t i = 0; i < 500; ++i) ASSERT_EQ(fast.FlashAt(0x80000 + i), (i * 7 + 4) & 0xFF) << i;
}

TEST_F(TelegramTest, FastModeWaitsForTheEraseReplyOfEveryEraseTelegram) {
    // The first erase telegram is refused, and meanwhile the dialog's timer
    // has carried the erase bar past its end; the repeat's reply comes after
    // 1.5 s. Fast mode still waits up to 10 s for it, so the repeat is
    // answered and no third erase telegram is sent.
    int erases = 0;
    sensor.override_ = [&](const Bytes& body, size_t) -> Bytes {
        if (body[0] != 0x27) return {};
        if (erases++ == 0) {
            EraseProgress = 120.0;
            return {0x20, 0xF4};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        return {};
    };
    SetFastLink(true);
    sensor.Start();
    StopWatch(0, false);
    const int result = FlashDelete(1, 0x15, 0x80000, 0x1C000);
    sensor.Stop();
    SetFastLink(false);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(erases, 2);
}

TEST_F(TelegramTest, ReplyOfTheWrongLengthIsAFailedTelegramNeverAConfirmation) {
    // Each reply's checksum fits; its length does not fit its command. The
    // telegram is repeated (and then answered properly) instead of being
    // confirmed by what an earlier reply left in the buffer.
    const struct {
        const char* what;
        uint8_t command;
        int nth;  // which telegram of that command gets the reply
        Bytes line;
    } cases[] = {
        {"three zero bytes to the second program block", 0x25, 1, {0x00, 0x00, 0x00}},
        {"program confirmation with a byte too many", 0x25, 0,
         FakeTransfer::Frame({0xA5, 0x42, 0xF0, 0x00, 0x08, 0x00, 0x00})},
        {"power-on confirmation without its status byte", 0x22, 0, FakeTransfer::Frame({0xA2})},
        {"identify reply without the device code", 0x21, 0, FakeTransfer::Frame({0xA1, 0x01, 0x00, 0x00, 0x00})},
        {"checksum reply one byte short", 0x26, 0, FakeTransfer::Frame({0xA6, 0x00, 0x00, 0x00})},
    };
    const std::vector<uint8_t> image = Image(481, 6);
    SetFastLink(true);  // the same checks, without the standard mode's pauses
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeTransfer transfer{peer};
        int seen = 0;
        transfer.lineOverride_ = [&](const Bytes& body, size_t) -> Bytes {
            return body[0] == c.command && seen++ == c.nth ? c.line : Bytes{};
        };
        transfer.Start();
        EXPECT_EQ(LoadFlashContents(image.data(), image.size()), 0);
        transfer.Stop();
        // 481 bytes: power-on and identify twice, three blocks, one checksum.
        const int usual = c.command == 0x25 ? 3 : c.command == 0x26 ? 1 : 2;
        std::vector<Bytes> sent;
        for (const Bytes& t : transfer.Telegrams())
            if (t.size() > 1 && t[1] == c.command) sent.push_back(t);
        ASSERT_EQ(sent.size(), static_cast<size_t>(usual + 1));
        EXPECT_EQ(sent[c.nth], sent[c.nth + 1]) << "the telegram answered wrongly is the one repeated";
    }
    SetFastLink(false);
}
