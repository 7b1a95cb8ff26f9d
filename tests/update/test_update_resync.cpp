// Finding the transfer program of an interrupted update again, against the
// program's telegram reader played byte by byte on a pseudo-terminal in
// each state a host that went away can leave it in; and the update marker.
#include "PtyPeer.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/Recovery.h"
#include "update/Resync.h"
#include "update/UpdateDetail.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

// The reader of the transfer program: a length byte (ignored), the command,
// its parameters and two checksum bytes; an unknown command is sent back raw;
// every byte of a reply waits for one byte from the host. Played as straight
// code on its own thread, the way the program runs.
class ProgramModel {
public:
    struct Start {
        Bytes consumed;              // telegram bytes the program had taken before the host went away
        Bytes replyRest;             // reply bytes still to send, the first of them already sent and awaiting its echo
        int busyMs = 0;              // busy before that (an erase), taking no bytes meanwhile
        bool oneByteBuffer = false;  // bytes that arrive while busy overrun a one-byte receiver
    };

    ProgramModel(PtyPeer& peer, Start start) : peer_(peer), start_(std::move(start)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~ProgramModel() {
        stop_ = true;
        thread_.join();
    }
    Bytes Executed() {
        std::lock_guard<std::mutex> lock(mutex_);
        return executed_;
    }
    bool Restarted() const { return restarted_.load(); }

private:
    struct Stopped {};

    uint8_t Get() {
        if (!pending_.empty()) {
            const uint8_t b = pending_.front();
            pending_.pop_front();
            return b;
        }
        uint8_t b = 0;
        while (!peer_.ReadByte(b, 20))
            if (stop_) throw Stopped{};
        return b;
    }
    void Put(uint8_t b) { peer_.Write(&b, 1); }
    void Send(uint8_t b) {
        Put(b);
        Get();  // the echo
    }
    void Reply(const Bytes& body) {
        unsigned sum = 0;
        Send(static_cast<uint8_t>(body.size()));
        for (uint8_t b : body) {
            sum += b;
            Send(b);
        }
        Send(static_cast<uint8_t>(sum));
        Send(static_cast<uint8_t>(sum >> 8));
    }
    void Busy() {
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(start_.busyMs);
        Bytes arrived;
        while (std::chrono::steady_clock::now() < until) {
            uint8_t b;
            if (peer_.ReadByte(b, 5)) arrived.push_back(b);
            if (stop_) throw Stopped{};
        }
        if (start_.oneByteBuffer && arrived.size() > 1) arrived.resize(1);
        pending_.insert(pending_.end(), arrived.begin(), arrived.end());
    }
    static int ParameterBytes(uint8_t command) {
        switch (command) {
        case 0x21: return 6;
        case 0x22:
        case 0x23:
        case 0x49: return 0;
        case 0x24:
        case 0x26: return 9;
        case 0x25: return 8;  // then the data bytes
        case 0x27: return 10;
        default: return -1;
        }
    }
    void Telegram() {
        Get();  // length
        unsigned sum = 0;
        const uint8_t command = Get();
        const int params = ParameterBytes(command);
        if (params < 0) {
            Put(command);
            return;
        }
        sum += command;
        Bytes p;
        for (int i = 0; i < params; ++i) {
            p.push_back(Get());
            sum += p.back();
        }
        if (command == 0x25) {
            const unsigned count = p[6] | (p[7] << 8);
            for (unsigned i = 0; i < count; ++i) sum += Get();
        }
        const unsigned low = Get(), high = Get();
        if (low + 256 * high != (sum & 0xFFFF)) {
            Reply({0x20, 0xF4});
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            executed_.push_back(command);
        }
        switch (command) {
        case 0x21: Reply({0xA1, 1, 0, 0, 0, 0x20, 0, 0, 0}); break;
        case 0x22: Reply({0xA2, 0x44}); break;
        case 0x23: Reply({0xA3, 0x46}); break;
        case 0x27: Reply({0xA7, 0x40, 0, 0xC0, 9, 0}); break;
        case 0x49:
            Reply({0x48});
            restarted_ = true;
            throw Stopped{};
        default: Reply({0xA5, 0x42, 0, 0, 8, 0}); break;
        }
    }
    void Run() {
        try {
            if (start_.busyMs > 0) Busy();
            if (!start_.replyRest.empty()) {
                Get();
                for (size_t i = 1; i < start_.replyRest.size(); ++i) Send(start_.replyRest[i]);
            }
            pending_.insert(pending_.begin(), start_.consumed.begin(), start_.consumed.end());
            for (;;) Telegram();
        } catch (const Stopped&) {}
    }

    PtyPeer& peer_;
    Start start_;
    std::deque<uint8_t> pending_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> restarted_{false};
    std::mutex mutex_;
    Bytes executed_;
};

class ResyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.Ok());
        CDUXKSerial& ch = GetSensorChannel();
        ASSERT_EQ(ch.Open(peer.SlavePath().c_str(), 4000, 4000, true), 0u);
        ASSERT_EQ(ch.SetParams(38400, 8, EVENPARITY, TWOSTOPBITS), 0u);
        ch.SetEventMask(0x1FD);
    }
    void TearDown() override { GetSensorChannel().Close(); }

    ResyncResult Resync(double silentSeconds = 12.0, bool longWake = true) {
        ResyncOptions options;
        options.silentSeconds = silentSeconds;
        options.longWake = longWake;
        const uint64_t t0 = TickCountMs();
        const ResyncResult r = ResyncTransferProgram(options);
        seconds = (TickCountMs() - t0) / 1000.0;
        return r;
    }

    // After a resynchronisation the next telegram is understood: the host's
    // own identify exchange gets its reply.
    void ExpectReadyForTelegrams(ProgramModel& program) {
        const uint8_t identify[] = {0x21, 0x01, 0x15, 0x00, 0x00, 0x08, 0x00};
        const TelegramResult r = ExchangeTelegram(identify, sizeof identify, true);
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(TelegramReplyBuffer()[0], 0xA1);
        const Bytes executed = program.Executed();
        ASSERT_GE(executed.size(), 2u);
        EXPECT_EQ(executed[executed.size() - 2], 0x22) << "the confirming power-on telegram";
        EXPECT_EQ(executed.back(), 0x21);
    }

    PtyPeer peer;
    double seconds = 0;
};

TEST_F(ResyncTest, ProgramWaitingAtTheStartOfATelegram) {
    ProgramModel program(peer, {});
    EXPECT_EQ(Resync(), ResyncResult::Found);
    ExpectReadyForTelegrams(program);
    EXPECT_EQ(program.Executed().size(), 2u) << "nothing but the two telegrams ran";
}

TEST_F(ResyncTest, ProgramWaitingInTheMiddleOfATelegram) {
    // A program telegram of 240 data bytes cut off after its head, and an
    // erase telegram cut off in its parameters: the zeros complete them
    // with a checksum that cannot match, so neither runs.
    for (const Bytes& consumed : {Bytes{0xF9, 0x25, 0x01, 0x15, 0x00, 0x00, 0x08, 0x00, 0xF0, 0x00, 0x12},
                                  Bytes{0x0B, 0x27, 0x01, 0x15, 0x00}}) {
        ProgramModel program(peer, {consumed, {}, 0, false});
        EXPECT_EQ(Resync(), ResyncResult::Found);
        EXPECT_EQ(program.Executed(), Bytes{0x22});
    }
}

TEST_F(ResyncTest, ProgramTakingTheDataOfATelegramGarbledIntoALongOne) {
    // After lost bytes the program read a program command with a count of
    // 20,000 from the host's repeats: it takes that many bytes without a
    // word. The zeros go on until it answers.
    ProgramModel program(peer, {{0x00, 0x25, 0x01, 0x15, 0x00, 0x00, 0x08, 0x00, 0x20, 0x4E}, {}, 0, false});
    EXPECT_EQ(Resync(), ResyncResult::Found);
    EXPECT_EQ(program.Executed(), Bytes{0x22});
    ExpectReadyForTelegrams(program);
}

TEST_F(ResyncTest, OnlyTheLastChecksumByteMissing) {
    // The zero completes the dead host's own telegram, which then runs;
    // for the power-on telegram that is harmless.
    ProgramModel program(peer, {{0x01, 0x22, 0x22}, {}, 0, false});
    EXPECT_EQ(Resync(), ResyncResult::Found);
    EXPECT_EQ(program.Executed(), (Bytes{0x22, 0x22}));
    ExpectReadyForTelegrams(program);
}

TEST_F(ResyncTest, ProgramWaitingForTheEchoOfAReplyByte) {
    // The identify reply, its length byte sent and unanswered.
    ProgramModel program(peer, {{}, {0x09, 0xA1, 1, 0, 0, 0, 0x20, 0, 0, 0, 0xC2, 0x00}, 0, false});
    EXPECT_EQ(Resync(), ResyncResult::Found);
    ExpectReadyForTelegrams(program);
}

TEST_F(ResyncTest, ProgramBusyWithAnEraseThenReplying) {
    // Bytes that arrive during the erase are kept (a queue) or all but one
    // lost (a one-byte receiver that overruns): either way the program is
    // found once it answers.
    for (const bool oneByte : {false, true}) {
        ProgramModel program(peer, {{}, {0x06, 0xA7, 0x40, 0, 0xC0, 9, 0, 0xB0, 0x01}, 2500, oneByte});
        EXPECT_EQ(Resync(), ResyncResult::Found) << (oneByte ? "one-byte receiver" : "queue");
        EXPECT_GT(seconds, 2.4);
        ExpectReadyForTelegrams(program);
    }
}

TEST_F(ResyncTest, NothingRunningGivesUpAfterTheSilence) {
    EXPECT_EQ(Resync(1.5, false), ResyncResult::NotFound);
    EXPECT_GE(seconds, 1.5);
    EXPECT_LT(seconds, 4.0);
    // The zeros, one identity query in the sensor's framing, and zeros again:
    // no other byte goes out.
    const Bytes sent = peer.ReadChunk(100, 100);
    size_t nonZero = 0;
    for (uint8_t b : sent) nonZero += b != 0;
    EXPECT_EQ(nonZero, 3u);
    EXPECT_NE(std::string(sent.begin(), sent.end()).find("id\n"), std::string::npos);
}

TEST_F(ResyncTest, SensorFirmwareAnsweringEndsTheWaitAtOnce) {
    // An application at the start of a command line: it ignores the zeros
    // and answers the identity query.
    std::atomic<bool> stop{false};
    std::thread firmware([&] {
        std::string line;
        uint8_t b;
        while (!stop) {
            if (!peer.ReadByte(b, 20)) continue;
            if (b == 0) continue;
            if (b != '\n') {
                line += static_cast<char>(b);
                continue;
            }
            if (line == "id") peer.Write("@08 DUX-K52 V3.10\r\n");
            line.clear();
        }
    });
    EXPECT_EQ(Resync(), ResyncResult::Application);
    EXPECT_LT(seconds, 5.0);
    stop = true;
    firmware.join();
}

TEST_F(ResyncTest, ProgramEndCompletedByTheZerosRestartsTheSensor) {
    // The dead host's program end lacked its last byte: the zero completes
    // it, the program replies and restarts the sensor, and no program is left.
    ProgramModel program(peer, {{0x01, 0x49, 0x49}, {}, 0, false});
    EXPECT_EQ(Resync(2.0), ResyncResult::NotFound);
    EXPECT_TRUE(program.Restarted());
}

TEST_F(ResyncTest, StopRequestEndsPromptly) {
    ResyncOptions options;
    const uint64_t t0 = TickCountMs();
    options.stop = [t0] { return TickCountMs() - t0 > 300; };
    EXPECT_EQ(ResyncTransferProgram(options), ResyncResult::Stopped);
    EXPECT_LT(TickCountMs() - t0, 1500u);
}

}  // namespace
