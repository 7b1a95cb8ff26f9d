#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include "PtyTestSupport.h"

#include <cstring>
#include <thread>
#include <vector>

namespace {

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, NOPARITY, TWOSTOPBITS), 0u);
        ASSERT_EQ(ch.SetEventMask(0x01FD), 0u);
        ASSERT_EQ(ch.SetFlowControl(0), 0u);
        ch.Purge();
        ResetReplyState();
        ReplyTimeout = 0.3;
    }
    void TearDown() override {
        GetSensorChannel().Close();
        GetSensorChannel().Purge();
        ResetReplyState();
        ReplyTimeout = 8.0;
    }
    // Puts bytes into the ring and waits until all have arrived.
    void Arrive(const std::string& bytes) {
        uint32_t before = GetSensorChannel().ReceivedCount();
        pty.Send(bytes);
        ASSERT_TRUE(WaitFor([&] { return GetSensorChannel().ReceivedCount() == before + bytes.size(); }, 2000));
    }
    Pty pty;
};

}  // namespace

TEST(LinkClock, TickCountAndWaits) {
    uint64_t t0 = TickCountMs();
    WaitSeconds(0);
    WaitSeconds(-1);
    EXPECT_LT(TickCountMs() - t0, 5u);
    auto s = std::chrono::steady_clock::now();
    WaitSeconds(0.01);
    EXPECT_GE(SecondsSince(s), 0.0095);
    EXPECT_GE(TickCountMs() - t0, 10u);

    EXPECT_EQ(StopWatch(3, false), 0.0);
    WaitSeconds(0.02);
    double e = StopWatch(3, true);
    EXPECT_GE(e, 0.019);
    EXPECT_LT(e, 0.5);
    EXPECT_EQ(StopWatch(7, false), 0.0);  // out of range: ignored
    EXPECT_EQ(StopWatch(-1, true), 0.0);
}

TEST(LinkClosed, PrimitivesFailOnClosedPort) {
    ASSERT_FALSE(GetSensorChannel().IsOpen());
    EXPECT_EQ(SendBytes("abc", 3), 0u);
    EXPECT_EQ(ReadReply(), nullptr);
    char buf[4];
    EXPECT_EQ(ReadBytes(buf, 4, false), 0);
    SendCommand("id");
    SendLong(1);
    EXPECT_EQ(GetSensorChannel().LastError(), 0u);  // the port was not touched
}

TEST(CheckIdReply, Checksums) {
    EXPECT_TRUE(CheckIdReply("@83 AB"));
    EXPECT_TRUE(CheckIdReply("@83xAB"));
    EXPECT_FALSE(CheckIdReply("@84 AB"));
    EXPECT_TRUE(CheckIdReply("@00"));
    EXPECT_TRUE(CheckIdReply("@00 "));
    EXPECT_FALSE(CheckIdReply("@0"));
    EXPECT_FALSE(CheckIdReply("#83 AB"));
    EXPECT_FALSE(CheckIdReply(nullptr));
    EXPECT_FALSE(CheckIdReply(""));
    // Lower-case hexadecimal digits count as upper-case ones.
    std::string payload = "DUX-K52 V3.10";
    unsigned sum = 0;
    for (char c : payload) sum += static_cast<unsigned char>(c);
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", sum & 0xFF);
    EXPECT_TRUE(CheckIdReply(("@" + std::string(hex) + " " + payload).c_str()));
    hex[0] = static_cast<char>(std::toupper(hex[0]));
    hex[1] = static_cast<char>(std::toupper(hex[1]));
    EXPECT_TRUE(CheckIdReply(("@" + std::string(hex) + " " + payload).c_str()));
    // 101 payload characters may match, 102 never do.
    std::string p101(101, '\x01');
    std::snprintf(hex, sizeof hex, "%02X", 101);
    EXPECT_TRUE(CheckIdReply(("@" + std::string(hex) + " " + p101).c_str()));
    std::string p102(102, '\x01');
    std::snprintf(hex, sizeof hex, "%02X", 102);
    EXPECT_FALSE(CheckIdReply(("@" + std::string(hex) + " " + p102).c_str()));
}

TEST_F(LinkTest, ReadReplyLineWithCrLf) {
    Arrive("OK\r\n");
    char* line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "OK");
    EXPECT_EQ(ReplyLength(), 0);
    EXPECT_EQ(ReplyTerminatorCount(), 0);
    EXPECT_EQ(LastReplyTerminator(), '\n');
    // An empty line comes back as CR LF.
    Arrive("\r\n");
    line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "\r\n");
    // A stray LF before a line makes its CR the end of it.
    Arrive("\nAB\r");
    line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "AB");
    EXPECT_EQ(LastReplyTerminator(), '\r');
}

TEST_F(LinkTest, ReadReplyHoldsSingleTerminatorAcrossCalls) {
    Arrive("OK\n");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadReply(), nullptr);
    EXPECT_GE(SecondsSince(t0), 0.29);
    EXPECT_EQ(ReplyLength(), 2);
    EXPECT_EQ(ReplyTerminatorCount(), 1);
    Arrive("X\r\n");
    char* line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "OKX");
    // The LF left over is the dropped first terminator of the next call, so
    // a single CR after the next text completes it.
    Arrive("Y\r");
    line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "Y");
    EXPECT_EQ(ReplyTerminatorCount(), 0);
}

TEST_F(LinkTest, ReadReplyCutsAt511Characters) {
    std::string text;
    for (int i = 0; i < 600; ++i) text += static_cast<char>('a' + i % 26);
    Arrive(text + "\r\n");
    char* line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line), text.substr(0, 511));
    line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(std::string(line), text.substr(512));
}

TEST_F(LinkTest, ReadReplyDropsZeroBytesAndTimesOut) {
    Arrive(std::string("A\0B\0", 4));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadReply(), nullptr);
    EXPECT_GE(SecondsSince(t0), 0.29);
    EXPECT_LT(SecondsSince(t0), 1.0);
    EXPECT_EQ(ReplyLength(), 2);
    Arrive("\r\n");
    char* line = ReadReply();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "AB");
}

TEST_F(LinkTest, ReadReplyWakesForLateBytes) {
    ReplyTimeout = 5.0;
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Send("late\r\n");
    });
    auto t0 = std::chrono::steady_clock::now();
    char* line = ReadReply();
    sender.join();
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "late");
    EXPECT_LT(SecondsSince(t0), 1.0);
}

TEST_F(LinkTest, SendBytesAndCommands) {
    EXPECT_EQ(SendBytes("", 0), 0u);
    EXPECT_EQ(SendBytes("abc", 3), 3u);
    EXPECT_TRUE(GetSensorChannel().IsTransmitDone());
    SendCommand("id");
    SendLong(0x04030201u);
    auto got = pty.Receive(10, 1000);
    EXPECT_EQ(std::string(got.begin(), got.end()), std::string("abcid\n\x01\x02\x03\x04", 10));
    // An over-long command is cut to the buffer rather than overrunning it.
    std::string longText(700, 'q');
    SendCommand(longText.c_str());
    EXPECT_EQ(pty.Receive(1000, 300).size(), 511u);
}

TEST_F(LinkTest, ReadBytesWithEcho) {
    Arrive("xyz");
    char buf[3] = {};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadBytes(buf, 3, true), 3);
    EXPECT_GE(SecondsSince(t0), 0.029);
    EXPECT_EQ(std::string(buf, 3), "xyz");
    auto echo = pty.Receive(3, 1000);
    EXPECT_EQ(std::string(echo.begin(), echo.end()), "xyz");

    // Each byte is echoed about 10 ms after it was taken, before the next
    // one is awaited.
    std::thread sender([&] {
        pty.Send("1");
        auto first = pty.Receive(1, 1000);
        EXPECT_EQ(first.size(), 1u);
        pty.Send("2");
    });
    EXPECT_EQ(ReadBytes(buf, 2, true), 2);
    sender.join();
    EXPECT_EQ(std::string(buf, 2), "12");
    EXPECT_EQ(pty.Receive(1, 1000).size(), 1u);
}

TEST_F(LinkTest, ReadBytesFailsAfterASecondWithoutData) {
    Arrive("k");
    char buf[2] = {};
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadBytes(buf, 2, false), 0);
    EXPECT_GE(SecondsSince(t0), 0.99);
    EXPECT_EQ(buf[0], 'k');
    EXPECT_EQ(ReadBytes(buf, 0, false), 0);
}

TEST_F(LinkTest, SendBytesToVanishedDeviceFailsWithoutWaiting) {
    pty.CloseMaster();
    std::string block(400, 'v');
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(SendBytes(block.data(), static_cast<unsigned>(block.size())), 0u);
    EXPECT_LT(SecondsSince(t0), 1.0);
    EXPECT_EQ(GetSensorChannel().LastError(), ERROR_DEVICE_NOT_CONNECTED_CODE);
}

TEST(LinkFast, CharacterTimeAndEchoWait) {
    EXPECT_DOUBLE_EQ(CharacterMicros(38400, 8, EVENPARITY, TWOSTOPBITS), 312.5);
    EXPECT_NEAR(CharacterMicros(9600, 8, NOPARITY, ONESTOPBIT), 1041.67, 0.01);
    EXPECT_DOUBLE_EQ(CharacterMicros(4800, 7, ODDPARITY, ONE5STOPBITS), 10.5e6 / 4800);
    // One character time after the arrival, never before; at once when
    // that has passed already.
    EXPECT_EQ(EchoWaitMicros(1000, 1000, 312.5), 313u);
    EXPECT_EQ(EchoWaitMicros(1000, 1200, 312.5), 113u);
    EXPECT_EQ(EchoWaitMicros(1000, 1313, 312.5), 0u);
    EXPECT_EQ(EchoWaitMicros(1000, 900000, 312.5), 0u);
}

TEST_F(LinkTest, FastEchoComesOneCharacterTimeAfterTheByteWithItsValue) {
    // At 300 baud in the boot framing a character takes 40 ms: the echo can
    // come no sooner after the byte was sent (standard mode echoes 10 ms after
    // taking it), and each echo carries the byte's own value.
    ASSERT_EQ(GetSensorChannel().SetParams(300, 8, EVENPARITY, TWOSTOPBITS), 0u);
    SetFastLink(true);
    const uint8_t reply[3] = {0x06, 0xA5, 0x00};
    std::vector<double> after;
    std::vector<uint8_t> echoes;
    std::thread peer([&] {
        for (uint8_t b : reply) {
            const auto sent = std::chrono::steady_clock::now();
            pty.Send(&b, 1);
            auto e = pty.Receive(1, 2000);
            after.push_back(SecondsSince(sent));
            echoes.insert(echoes.end(), e.begin(), e.end());
        }
    });
    uint8_t buf[3] = {};
    EXPECT_EQ(ReadBytes(buf, 3, true), 3);
    peer.join();
    SetFastLink(false);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 3), std::vector<uint8_t>(reply, reply + 3));
    EXPECT_EQ(echoes, std::vector<uint8_t>(reply, reply + 3));
    ASSERT_EQ(after.size(), 3u);
    for (double s : after) EXPECT_GE(s, 0.040);
}
