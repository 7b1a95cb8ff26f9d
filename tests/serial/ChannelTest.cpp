#include "serial/DUXKSerial.h"
#include "serial/Debug.h"
#include "serial/Link.h"

#include "PtyTestSupport.h"

#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace {

std::string TempPath(const char* tag) { return "/tmp/duxk-serial-test-" + std::to_string(getpid()) + "-" + tag; }

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// A channel opened on a pseudo-terminal with the event thread running and
// the framing the system uses.
struct OpenChannel {
    Pty pty;
    CDUXKSerial channel;
    OpenChannel() {
        EXPECT_TRUE(pty.ok());
        EXPECT_EQ(channel.Open(pty.slave().c_str(), 4000, 4000, true), 0u);
        EXPECT_EQ(channel.SetParams(38400, 8, NOPARITY, TWOSTOPBITS), 0u);
        EXPECT_EQ(channel.SetEventMask(0x01FD), 0u);
        EXPECT_EQ(channel.SetFlowControl(0), 0u);
    }
    bool WaitCount(uint32_t n, int ms = 3000) {
        return WaitFor([&] { return channel.ReceivedCount() == n; }, ms);
    }
};

std::vector<uint8_t> Pattern(size_t n, int seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>((i * 7 + static_cast<size_t>(seed)) % 251 + 1);
    return v;
}

}  // namespace

TEST(Channel, EmptyRingGivesZero) {
    CDUXKSerial channel;
    EXPECT_EQ(channel.ReceivedCount(), 0u);
    EXPECT_EQ(channel.GetByte(), 0);
    EXPECT_EQ(channel.ReceivedCount(), 0u);
    EXPECT_FALSE(channel.IsTransmitDone());
    EXPECT_FALSE(channel.WaitReceived(5));
    // Purge on a closed port only empties the ring.
    EXPECT_EQ(channel.Purge(), 0u);
}

TEST(Channel, RingWrapsFillsAndDropsWhileFull) {
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    // Move the positions into the middle so that the full ring wraps.
    auto first = Pattern(5000, 1);
    oc.pty.Send(first.data(), first.size());
    ASSERT_TRUE(oc.WaitCount(5000));
    for (uint8_t b : first) ASSERT_EQ(ch.GetByte(), b);

    auto fill = Pattern(CDUXKSerial::kRingSize - 1, 2);
    auto lost = Pattern(300, 3);
    oc.pty.Send(fill.data(), fill.size());
    oc.pty.Send(lost.data(), lost.size());
    ASSERT_TRUE(oc.WaitCount(CDUXKSerial::kRingSize - 1));
    // Let the overflow bytes reach the event thread, which drops them.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(ch.ReceivedCount(), CDUXKSerial::kRingSize - 1);

    // Room frees up: the lost bytes stay lost, later ones are stored.
    for (int i = 0; i < 10; ++i) ASSERT_EQ(ch.GetByte(), fill[i]);
    oc.pty.Send("LATE");
    ASSERT_TRUE(oc.WaitCount(CDUXKSerial::kRingSize - 1 - 10 + 4));
    for (size_t i = 10; i < fill.size(); ++i) ASSERT_EQ(ch.GetByte(), fill[i]) << i;
    for (char c : std::string("LATE")) EXPECT_EQ(ch.GetByte(), static_cast<uint8_t>(c));
    EXPECT_EQ(ch.ReceivedCount(), 0u);
}

TEST(Channel, PurgeDrainsPortAndRing) {
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    oc.pty.Send("abcdef");
    ASSERT_TRUE(oc.WaitCount(6));
    EXPECT_EQ(ch.GetByte(), 'a');
    EXPECT_EQ(ch.Purge(), 0u);
    EXPECT_EQ(ch.ReceivedCount(), 0u);
    EXPECT_EQ(ch.GetByte(), 0);
    // Purge while bytes stream in never leaves the ring inconsistent.
    std::atomic<bool> done{false};
    std::thread feeder([&] {
        auto data = Pattern(20000, 4);
        oc.pty.Send(data.data(), data.size());
        done = true;
    });
    while (!done) {
        ch.Purge();
        EXPECT_LT(ch.ReceivedCount(), CDUXKSerial::kRingSize);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    feeder.join();
    // Let the tail of the stream still on its way through the pseudo-
    // terminal arrive, then start clean.
    do {
        ch.Purge();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (ch.ReceivedCount() > 0);
    oc.pty.Send("Z");
    ASSERT_TRUE(oc.WaitCount(1));
    EXPECT_EQ(ch.GetByte(), 'Z');
}

TEST(Channel, WriteRaisesTransmitDone) {
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    uint32_t n = 99;
    ASSERT_EQ(ch.Write("ping", 4, &n), 0u);
    EXPECT_EQ(n, 4u);
    EXPECT_TRUE(ch.WaitTransmitDone(1000));
    EXPECT_TRUE(ch.IsTransmitDone());
    auto got = oc.pty.Receive(4, 1000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "ping");
    // A write of no bytes clears the flag and sends nothing.
    ASSERT_EQ(ch.Write("", 0, &n), 0u);
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(ch.IsTransmitDone());
    EXPECT_TRUE(oc.pty.Receive(1, 30).empty());
    // An echo goes out, but raises no transmit-empty event (the event
    // thread is not woken for it); the next watched write's event does.
    ASSERT_EQ(ch.WriteUnwatched("e", 1, &n), 0u);
    EXPECT_EQ(n, 1u);
    got = oc.pty.Receive(1, 1000);
    EXPECT_EQ(std::string(got.begin(), got.end()), "e");
    EXPECT_FALSE(ch.WaitTransmitDone(100));
    ASSERT_EQ(ch.Write("w", 1), 0u);
    EXPECT_TRUE(ch.WaitTransmitDone(1000));
}

TEST(Channel, TransmitDoneOnlyUnderTxEmptyMask) {
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    ASSERT_EQ(ch.SetEventMask(EV_RXCHAR | EV_BREAK | EV_ERR), 0u);
    ASSERT_EQ(ch.Write("x", 1), 0u);
    EXPECT_FALSE(ch.WaitTransmitDone(100));
}

TEST(Channel, BaudFromText) {
    EXPECT_EQ(CDUXKSerial::BaudFromText("300"), 300u);
    EXPECT_EQ(CDUXKSerial::BaudFromText("4800"), 4800u);
    EXPECT_EQ(CDUXKSerial::BaudFromText("256000"), 256000u);
    EXPECT_EQ(CDUXKSerial::BaudFromText("56000"), 56000u);
    EXPECT_EQ(CDUXKSerial::BaudFromText("9600 "), 38400u);
    EXPECT_EQ(CDUXKSerial::BaudFromText("09600"), 38400u);
    EXPECT_EQ(CDUXKSerial::BaudFromText(""), 38400u);
    EXPECT_EQ(CDUXKSerial::BaudFromText("115200"), 38400u);
    EXPECT_EQ(CDUXKSerial::BaudFromText(nullptr), 38400u);
}

TEST(Channel, TraceLineFormats) {
    const std::string path = TempPath("trace");
    std::remove(path.c_str());
    {
        OpenChannel oc;
        CDUXKSerial& ch = oc.channel;
        EXPECT_FALSE(ch.HasTrace());
        ch.TraceLine("not written");
        ASSERT_TRUE(ch.AttachTrace(path.c_str()));
        EXPECT_TRUE(ch.HasTrace());
        ch.TraceMessage("Step");
        ch.TraceLine("plain text");
        uint32_t n = 0;
        ASSERT_EQ(ch.Write("A\n", 2, &n), 0u);
        oc.pty.Send(std::string("b\x01", 2));
        ASSERT_TRUE(oc.WaitCount(2));
        ch.Purge();
        for (uint32_t e : {0x0001u, 0x0002u, 0x0004u, 0x0008u, 0x0010u, 0x0100u, 0x0400u, 0x8000u, 0x0003u, 0u})
            ch.OnCommEvent(EV_ERR, e);
        ch.CloseTrace();
        EXPECT_FALSE(ch.HasTrace());
        ch.TraceLine("after close");
    }
    auto lines = ReadLines(path);
    std::remove(path.c_str());
    const std::vector<std::string> expected = {
        R"(\d+\.\d{6} ---Step---)",
        R"(\d+\.\d{6} plain text)",
        R"(\d+\.\d{6} Write\(\) sent 0x41 \(A\))",
        R"(\d+\.\d{6} Write\(\) sent 0x0a)",
        R"(\d+\.\d{6} Read 98 \(b\))",
        R"(\d+\.\d{6} Read 1 \(\.\))",
        R"(\d+\.\d{6} Purge\(\))",
        R"(### Error: Input buffer overflow ###)",
        R"(### Error: Buffer overrun ###)",
        R"(### Error: Input parity error ###)",
        R"(### Error: Framing error ###)",
        R"(### Error: Break condition ###)",
        R"(### Error: Output buffer full ###)",
        R"(### Error: IO device error ###)",
        R"(### Error: Unsupported mode ###)",
        R"(### Error: Unknown ###)",
        R"(### Error: Unknown ###)",
    };
    ASSERT_EQ(lines.size(), expected.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i]))) << lines[i];
    // The trace base is taken when attached: the first stamp is near zero.
    EXPECT_LT(std::stod(lines[0]), 1.0);
}

TEST(Channel, TraceOfShortWriteListsEveryByteAsked) {
    const std::string path = TempPath("short");
    std::remove(path.c_str());
    {
        CDUXKSerial ch;  // closed: nothing is written, the lines still say so
        ASSERT_TRUE(ch.AttachTrace(path.c_str()));
        uint32_t n = 9;
        EXPECT_EQ(ch.Write("hi", 2, &n), ERROR_INVALID_HANDLE_CODE);
        EXPECT_EQ(n, 0u);
    }
    auto lines = ReadLines(path);
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d+\.\d{6} Write\(\) Error: 2 to send, 0 sent)")));
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d+\.\d{6} Write\(\) sent 0x68 \(h\))")));
}

TEST(Channel, TraceFileIsPrivateAndNeverFollowsALink) {
    // The trace holds the calibration unlock exchange.
    const std::string path = TempPath("private-trace"), victim = TempPath("victim"), link = TempPath("link"),
                      fifo = TempPath("fifo");
    for (const std::string& p : {path, victim, link, fifo}) std::remove(p.c_str());
    CDUXKSerial ch;
    ASSERT_TRUE(ch.AttachTrace(path.c_str()));
    ch.TraceLine("x");
    ch.CloseTrace();
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    { std::ofstream(victim) << "precious\n"; }
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    std::string why;
    EXPECT_FALSE(ch.AttachTrace(link.c_str(), &why));
    EXPECT_NE(why.find(link), std::string::npos) << why;
    EXPECT_EQ(ReadLines(victim), std::vector<std::string>{"precious"});
    // A FIFO without a reader is refused at once rather than waited on.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ch.AttachTrace(fifo.c_str(), &why));
    EXPECT_FALSE(ch.HasTrace());
    for (const std::string& p : {path, victim, link, fifo}) std::remove(p.c_str());
}

TEST(Channel, DebugOutputGoesToTrace) {
    const std::string path = TempPath("debug");
    std::remove(path.c_str());
    CDUXKSerial& ch = GetSensorChannel();
    ASSERT_TRUE(ch.AttachTrace(path.c_str()));
    DebugOutput("checksum 1234");
    ch.CloseTrace();
    auto lines = ReadLines(path);
    std::remove(path.c_str());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d+\.\d{6} checksum 1234)")));
}

TEST(Channel, TraceFromEnvironment) {
    const std::string path = TempPath("env");
    std::remove(path.c_str());
    setenv("DUXK_TRACE", path.c_str(), 1);
    AttachTraceFromEnvironment();
    unsetenv("DUXK_TRACE");
    EXPECT_TRUE(GetSensorChannel().HasTrace());
    GetSensorChannel().TraceMessage("x");
    GetSensorChannel().CloseTrace();
    EXPECT_EQ(ReadLines(path).size(), 1u);
    std::remove(path.c_str());
}

TEST(Channel, WriteAndReceiveAtTheSameTimeDoNotDisturbEachOther) {
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    const auto out = Pattern(60000, 5);
    const auto in = Pattern(8000, 6);
    std::vector<uint8_t> farGot;
    std::thread farEnd([&] {
        // Sends while it collects what the channel writes.
        oc.pty.Send(in.data(), in.size());
        farGot = oc.pty.Receive(out.size(), 5000);
    });
    uint32_t n = 0;
    EXPECT_EQ(ch.Write(out.data(), static_cast<uint32_t>(out.size()), &n, nullptr, 5000), 0u);
    EXPECT_EQ(n, out.size());
    farEnd.join();
    EXPECT_TRUE(farGot == out);
    ASSERT_TRUE(oc.WaitCount(static_cast<uint32_t>(in.size())));
    for (uint8_t b : in) ASSERT_EQ(ch.GetByte(), b);
}

TEST(Channel, ByteCarriesTheTimeTheEventThreadTookIt) {
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    const uint64_t sent = TickCountUs();
    oc.pty.Send("a");
    ASSERT_TRUE(oc.WaitCount(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    uint64_t arrival = 0;
    const uint64_t taken = TickCountUs();
    EXPECT_EQ(ch.GetByte(&arrival), 'a');
    EXPECT_GE(arrival, sent);
    EXPECT_LE(arrival + 250000, taken);
    EXPECT_EQ(ch.GetByte(&arrival), 0);
    EXPECT_EQ(arrival, 0u);
}

TEST(Channel, PseudoTerminalOutputDrainsAtTheConfiguredRate) {
    // A pseudo-terminal takes any write at once; its transmitter counts as
    // empty only after the bytes' time on a line: 96 bytes at 9600 baud 8N1
    // take 100 ms, and a second write queues behind the first.
    OpenChannel oc;
    CDUXKSerial& ch = oc.channel;
    ASSERT_EQ(ch.SetParams(9600, 8, NOPARITY, ONESTOPBIT), 0u);
    const std::string block(96, 'd');
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(ch.Write(block.data(), 48), 0u);
    ASSERT_EQ(ch.Write(block.data(), 48), 0u);
    EXPECT_TRUE(ch.WaitTransmitDone(3000));
    EXPECT_GE(SecondsSince(t0), 0.0995);
    EXPECT_EQ(oc.pty.Receive(96, 1000).size(), 96u);
}
