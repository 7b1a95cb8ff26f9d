// The transfer-program image, executed in the emulated sensor processor and
// driven over its serial channel the way the service tool drives it: host
// telegrams in, reply telegrams out with every reply byte echoed.
#include "sim/cpu/SensorCpu.h"
#include "update/Update.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <optional>
#include <ctime>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFlashBase = 0x80000;
constexpr uint8_t kTypeB = 0x15;
constexpr uint8_t kTypeA = 0x11;

void PutLe(Bytes& out, uint32_t value, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

uint32_t GetLe(const Bytes& in, size_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint32_t{in.at(at + i)} << (8 * i);
    return v;
}

// The emulated sensor running the transfer program, and the host end of its line.
class Rig {
public:
    explicit Rig(std::unique_ptr<sim::FlashModel> flash) : flash_(std::move(flash)), cpu_(*flash_) {
        cpu_.onTransmit = [this](uint8_t b) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (autoEcho_) {
                cpu_.PushRx(b);
            } else {
                if (echoOwed_) sentBeforeEcho_ = true;
                echoOwed_ = true;
            }
            tx_.push_back(b);
            cv_.notify_all();
        };
        cpu_.LoadImage(kTransferProgram, kTransferProgramSize);
        runner_ = std::thread([this] {
            const auto exit = cpu_.Run();
            std::lock_guard<std::mutex> lock(mutex_);
            exit_ = exit;
            cv_.notify_all();
        });
        // Let the program clear its receiver before the first telegram.
        EXPECT_TRUE(cpu_.WaitUntilReceiving(5000));
    }

    ~Rig() {
        cpu_.Stop();
        runner_.join();
    }

    sim::FlashModel& Flash() { return *flash_; }
    sim::SensorCpu& Cpu() { return cpu_; }

    void SendTelegram(const Bytes& body, int checksumError = 0) {
        const unsigned sum = std::accumulate(body.begin(), body.end(), 0u) + checksumError;
        cpu_.PushRx(static_cast<uint8_t>(body.size()));
        for (uint8_t b : body) cpu_.PushRx(b);
        cpu_.PushRx(static_cast<uint8_t>(sum));
        cpu_.PushRx(static_cast<uint8_t>(sum >> 8));
    }

    // Next byte from the program; echoed back unless it is a raw byte.
    std::optional<uint8_t> Next(bool echo = true, int timeoutMs = 10000) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !tx_.empty(); }))
            return std::nullopt;
        const uint8_t b = tx_.front();
        tx_.pop_front();
        echoOwed_ = false;
        lock.unlock();
        if (echo) cpu_.PushRx(b);
        return b;
    }

    // A whole reply telegram, echoed byte by byte; returns its body and
    // checks its length and checksum.
    Bytes Reply(int timeoutMs = 10000) {
        Bytes body;
        const auto n = Next(true, timeoutMs);
        if (!n) {
            ADD_FAILURE() << "no reply";
            return body;
        }
        unsigned sum = 0;
        for (int i = 0; i < *n; ++i) {
            const auto b = Next();
            if (!b) {
                ADD_FAILURE() << "reply cut short";
                return body;
            }
            body.push_back(*b);
            sum += *b;
        }
        const auto lo = Next(), hi = Next();
        if (!lo || !hi) {
            ADD_FAILURE() << "reply checksum missing";
            return body;
        }
        EXPECT_EQ((sum & 0xFFFF), unsigned(*lo | (*hi << 8))) << "reply checksum";
        return body;
    }

    Bytes Exchange(const Bytes& body, int timeoutMs = 10000) {
        SendTelegram(body);
        return Reply(timeoutMs);
    }

    // Echo every byte at once from the transmit callback (for bulk transfers).
    void AutoEcho(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        autoEcho_ = on;
    }

    bool SentBeforeEcho() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sentBeforeEcho_;
    }

    bool Quiet(int ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        return !cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !tx_.empty(); });
    }

    std::optional<sim::SensorCpu::Exit> WaitExit(int ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return exit_.has_value(); });
        return exit_;
    }

    // Telegram bodies.
    static Bytes Identify(uint8_t type, uint32_t base = kFlashBase, uint8_t width = 1) {
        Bytes b{0x21, width, type};
        PutLe(b, base, 4);
        return b;
    }
    static Bytes Erase(uint8_t type, uint32_t start, uint32_t count, uint8_t width = 1) {
        Bytes b{0x27, width, type};
        PutLe(b, start, 4);
        PutLe(b, count, 4);
        return b;
    }
    static Bytes Program(uint8_t type, uint32_t address, const Bytes& data, uint8_t width = 1) {
        Bytes b{0x25, width, type};
        PutLe(b, address, 4);
        PutLe(b, static_cast<uint32_t>(data.size()), 2);
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }
    static Bytes Checksum(uint32_t start, uint32_t count) {
        Bytes b{0x26, 1};
        PutLe(b, start, 4);
        PutLe(b, count, 4);
        return b;
    }
    static Bytes Read(uint32_t start, uint32_t count) {
        Bytes b{0x24, 1};
        PutLe(b, start, 4);
        PutLe(b, count, 4);
        return b;
    }

private:
    std::unique_ptr<sim::FlashModel> flash_;
    sim::SensorCpu cpu_;
    std::thread runner_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<uint8_t> tx_;
    bool autoEcho_ = false;
    bool echoOwed_ = false;
    bool sentBeforeEcho_ = false;
    std::optional<sim::SensorCpu::Exit> exit_;
};

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 37 + seed * 11 + (i >> 8)) ^ 0x5A);
    return b;
}

TEST(TransferImage, HasTheFixedSizeAndDownloadChecksum) {
    ASSERT_EQ(kTransferProgramSize, 11340u);
    uint32_t sum = 2 * (0x00 + 0x01 + 0x00 + 0x04);  // both load-address words 0x04000100
    for (size_t i = 0; i < kTransferProgramSize; ++i) sum += kTransferProgram[i];
    EXPECT_EQ(sum, 1124409u);
    EXPECT_EQ(sum & 0xFF, 0x39u);
    EXPECT_EQ((sum >> 8) & 0xFF, 0x28u);
}

TEST(TransferProgram, PowerTelegramsAndIdentifyFamilyB) {
    Rig rig(sim::MakeAm29F010());
    EXPECT_EQ(rig.Exchange({0x22}), (Bytes{0xA2, 0x44}));
    EXPECT_EQ(rig.Exchange({0x23}), (Bytes{0xA3, 0x46}));
    EXPECT_EQ(rig.Exchange(Rig::Identify(kTypeB)), (Bytes{0xA1, 0x01, 0, 0, 0, 0x20, 0, 0, 0}));
    // The device is back in read mode afterwards.
    rig.Flash().Cells()[0] = 0x12;
    EXPECT_EQ(rig.Exchange(Rig::Read(kFlashBase, 1)), (Bytes{0xA4, 1, 0, 0, 8, 0, 1, 0, 0, 0, 0x12}));
    EXPECT_FALSE(rig.SentBeforeEcho());
}

uint32_t Sum(const Bytes& b, size_t from, size_t n) {
    return std::accumulate(b.begin() + from, b.begin() + from + n, 0u);
}

Bytes StatusReply(uint8_t code, uint8_t status, uint32_t stop) {
    Bytes b{code, status};
    PutLe(b, stop, 4);
    return b;
}

TEST(TransferProgram, IdentifyFamilyA) {
    Rig rig(sim::MakeFamilyA());
    EXPECT_EQ(rig.Exchange(Rig::Identify(kTypeA)), (Bytes{0xA1, 0x89, 0, 0, 0, 0xB4, 0, 0, 0}));
    rig.Flash().Cells()[1] = 0x77;
    EXPECT_EQ(rig.Exchange(Rig::Read(kFlashBase + 1, 1)).back(), 0x77);  // read mode again
}

TEST(TransferProgram, UnusableTypeOrWidthTouchesNoFlashAndReportsFailure) {
    Rig rig(sim::MakeAm29F010());
    auto& cells = rig.Flash().Cells();
    cells[0] = 0x00;
    EXPECT_EQ(rig.Exchange(Rig::Identify(0x30)), (Bytes{0xA1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.Exchange(Rig::Identify(kTypeB, kFlashBase, 0)), (Bytes{0xA1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.Exchange(Rig::Identify(kTypeB, kFlashBase, 9)), (Bytes{0xA1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(rig.Exchange(Rig::Erase(0x30, kFlashBase, 0x4000)), StatusReply(0xA7, 0x41, kFlashBase));
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeB, kFlashBase + 4, {1, 2}, 0)), StatusReply(0xA5, 0x43, kFlashBase + 4));
    EXPECT_EQ(cells[0], 0x00);
    EXPECT_EQ(cells[4], 0xFF);
    // Still in step with the host.
    EXPECT_EQ(rig.Exchange({0x22}), (Bytes{0xA2, 0x44}));
}

TEST(TransferProgram, FamilyBEraseProgramAndChecksum) {
    Rig rig(sim::MakeAm29F010(2));
    auto& cells = rig.Flash().Cells();
    std::fill(cells.begin(), cells.end(), 0x00);
    ASSERT_EQ(rig.Exchange(Rig::Identify(kTypeB))[0], 0xA1);
    const size_t before = rig.Cpu().ServiceWrites().size();

    // Seven of the eight sectors, as the update erases them.
    EXPECT_EQ(rig.Exchange(Rig::Erase(kTypeB, kFlashBase, 0x1C000), 20000),
              StatusReply(0xA7, 0x40, kFlashBase + 0x1C000));
    EXPECT_TRUE(std::all_of(cells.begin(), cells.begin() + 0x1C000, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_TRUE(std::all_of(cells.begin() + 0x1C000, cells.end(), [](uint8_t c) { return c == 0x00; }));
    const auto service = rig.Cpu().ServiceWrites();
    EXPECT_EQ(service.size() - before, 4u);  // before and after the erase
    EXPECT_EQ(service.back(), 0x55);
    EXPECT_EQ(service[service.size() - 2], 0xAA);

    const Bytes image = Pattern(481, 1);
    uint32_t address = kFlashBase;
    for (size_t at = 0; at < image.size(); at += 240) {
        const Bytes block(image.begin() + at, image.begin() + std::min(image.size(), at + 240));
        EXPECT_EQ(rig.Exchange(Rig::Program(kTypeB, address, block)),
                  StatusReply(0xA5, 0x42, address + static_cast<uint32_t>(block.size())));
        address += static_cast<uint32_t>(block.size());
    }
    EXPECT_TRUE(std::equal(image.begin(), image.end(), cells.begin()));
    EXPECT_EQ(cells[481], 0xFF);

    const Bytes sum = rig.Exchange(Rig::Checksum(kFlashBase, 481));
    ASSERT_EQ(sum.size(), 5u);
    EXPECT_EQ(sum[0], 0xA6);
    EXPECT_EQ(GetLe(sum, 1, 4), Sum(image, 0, image.size()));
    EXPECT_FALSE(rig.SentBeforeEcho());
}

TEST(TransferProgram, FamilyBProgramFailures) {
    Rig rig(sim::MakeAm29F010());
    auto& cells = rig.Flash().Cells();
    ASSERT_EQ(rig.Exchange(Rig::Identify(kTypeB))[0], 0xA1);
    // A cell that will not program stops the block there.
    rig.Flash().SetStuckCell(5);
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeB, kFlashBase, Pattern(10, 2))), StatusReply(0xA5, 0x43, kFlashBase + 5));
    EXPECT_TRUE(std::equal(cells.begin(), cells.begin() + 5, Pattern(10, 2).begin()));
    EXPECT_EQ(cells[5], 0xFF);
    EXPECT_EQ(cells[6], 0xFF);
    rig.Flash().SetStuckCell(-1);
    // Programming cannot turn a zero back into a one.
    cells[0x100] = 0x00;
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeB, kFlashBase + 0x100, {0x80})),
              StatusReply(0xA5, 0x43, kFlashBase + 0x100));
    // The device was reset: the next block programs.
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeB, kFlashBase + 0x200, {0x42})),
              StatusReply(0xA5, 0x42, kFlashBase + 0x201));
    EXPECT_EQ(cells[0x200], 0x42);
}

TEST(TransferProgram, FamilyBFailedEraseIsReportedNotAwaitedForever) {
    Rig rig(sim::MakeAm29F010());
    auto& cells = rig.Flash().Cells();
    ASSERT_EQ(rig.Exchange(Rig::Identify(kTypeB))[0], 0xA1);
    // Beyond the first 64 KiB, so that verification has to carry into the next segment.
    cells[0x14321] = 0x00;
    cells[0x14322] = 0x00;
    rig.Flash().SetStuckCell(0x14321);
    EXPECT_EQ(rig.Exchange(Rig::Erase(kTypeB, kFlashBase, 0x1C000)), StatusReply(0xA7, 0x41, kFlashBase + 0x14321));
    EXPECT_EQ(cells[0x14322], 0xFF);
    // The part was reset: it answers again.
    EXPECT_EQ(rig.Exchange(Rig::Identify(kTypeB))[1], 0x01);
}

TEST(TransferProgram, FamilyBEraseBelowOneSectorOnlyVerifies) {
    Rig rig(sim::MakeAm29F010());
    auto& cells = rig.Flash().Cells();
    ASSERT_EQ(rig.Exchange(Rig::Identify(kTypeB))[0], 0xA1);
    EXPECT_EQ(rig.Exchange(Rig::Erase(kTypeB, kFlashBase, 0x3FFF)), StatusReply(0xA7, 0x40, kFlashBase + 0x3FFF));
    cells[0x10] = 0x7F;
    EXPECT_EQ(rig.Exchange(Rig::Erase(kTypeB, kFlashBase, 0x3FFF)), StatusReply(0xA7, 0x41, kFlashBase + 0x10));
    EXPECT_EQ(cells[0x10], 0x7F);
    EXPECT_EQ(rig.Exchange({0x22}), (Bytes{0xA2, 0x44}));
}

TEST(TransferProgram, FamilyAEraseAndProgram) {
    Rig rig(sim::MakeFamilyA(3));
    auto& cells = rig.Flash().Cells();
    const Bytes old = Pattern(cells.size(), 3);
    std::copy(old.begin(), old.end(), cells.begin());
    ASSERT_EQ(rig.Exchange(Rig::Identify(kTypeA))[0], 0xA1);

    const uint64_t pulsesBefore = rig.Cpu().Port82Pulses();
    EXPECT_EQ(rig.Exchange(Rig::Erase(kTypeA, kFlashBase, 0x1000), 30000),
              StatusReply(0xA7, 0x40, kFlashBase + 0x1000));
    // A bulk-erase part: the whole array reads erased.
    EXPECT_TRUE(std::all_of(cells.begin(), cells.end(), [](uint8_t c) { return c == 0xFF; }));
    // Each location programmed to zero with one pulse, three erase pulses,
    // one pulse between verified locations.
    EXPECT_EQ(rig.Cpu().Port82Pulses() - pulsesBefore, 0x1000u + 3u + 0xFFFu);

    const Bytes data = Pattern(240, 4);
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeA, kFlashBase + 0x300, data)),
              StatusReply(0xA5, 0x42, kFlashBase + 0x3F0));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), cells.begin() + 0x300));

    // A cell that will not program fails after 25 pulses.
    rig.Flash().SetStuckCell(0x500);
    const uint64_t p = rig.Cpu().Port82Pulses();
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeA, kFlashBase + 0x500, {0x00})),
              StatusReply(0xA5, 0x43, kFlashBase + 0x500));
    EXPECT_EQ(rig.Cpu().Port82Pulses() - p, 25u);
    // And the device reads the array again.
    EXPECT_EQ(rig.Exchange(Rig::Read(kFlashBase + 0x300, 1)).back(), data[0]);
}

TEST(TransferProgram, ChecksumAcrossSegmentsMatchesRead) {
    Rig rig(sim::MakeAm29F010());
    auto& cells = rig.Flash().Cells();
    const Bytes content = Pattern(cells.size(), 5);
    std::copy(content.begin(), content.end(), cells.begin());
    const uint32_t start = kFlashBase + 0x7FF3, count = 0x9100;

    const Bytes sum = rig.Exchange(Rig::Checksum(start, count));
    ASSERT_EQ(sum.size(), 5u);
    EXPECT_EQ(GetLe(sum, 1, 4), Sum(content, 0x7FF3, count));

    // A read of the same range in one telegram (its length byte only holds
    // the count's low byte, so the body is counted here).
    rig.AutoEcho(true);
    rig.SendTelegram(Rig::Read(start, count));
    EXPECT_EQ(rig.Next(false), static_cast<uint8_t>(count + 10));
    Bytes body;
    for (uint32_t i = 0; i < 10 + count; ++i) body.push_back(rig.Next(false).value_or(0));
    EXPECT_EQ(GetLe(body, 2, 4), start);
    EXPECT_EQ(GetLe(body, 6, 4), count);
    EXPECT_EQ(Sum(body, 10, count), GetLe(sum, 1, 4));
    const unsigned lo = rig.Next(false).value_or(0);
    const unsigned tail = lo | (rig.Next(false).value_or(0) << 8);
    EXPECT_EQ(tail, Sum(body, 0, body.size()) & 0xFFFF);
}

TEST(TransferProgram, RejectedTelegramsChangeNothing) {
    Rig rig(sim::MakeAm29F010());
    auto& cells = rig.Flash().Cells();
    ASSERT_EQ(rig.Exchange(Rig::Identify(kTypeB))[0], 0xA1);

    rig.SendTelegram(Rig::Program(kTypeB, kFlashBase, {0x00, 0x11}), +1);
    EXPECT_EQ(rig.Reply(), (Bytes{0x20, 0xF4}));
    rig.SendTelegram(Rig::Erase(kTypeB, kFlashBase, 0x4000), -1);
    EXPECT_EQ(rig.Reply(), (Bytes{0x20, 0xF4}));
    cells[0x4000] = 0x00;
    rig.SendTelegram(Rig::Erase(kTypeB, kFlashBase + 0x4000, 0x4000), 0x100);
    EXPECT_EQ(rig.Reply(), (Bytes{0x20, 0xF4}));
    EXPECT_EQ(cells[0], 0xFF);
    EXPECT_EQ(cells[1], 0xFF);
    EXPECT_EQ(cells[0x4000], 0x00);

    // An unknown command comes back raw, alone, and the next telegram is served.
    rig.Cpu().PushRx(0x01);
    rig.Cpu().PushRx(0x30);
    EXPECT_EQ(rig.Next(false), 0x30);
    EXPECT_TRUE(rig.Quiet(100));
    EXPECT_EQ(rig.Exchange({0x23}), (Bytes{0xA3, 0x46}));

    // A block with no data programs nothing and succeeds.
    EXPECT_EQ(rig.Exchange(Rig::Program(kTypeB, kFlashBase + 8, {})), StatusReply(0xA5, 0x42, kFlashBase + 8));

    // More data than the buffer holds is read whole but refused.
    rig.SendTelegram(Rig::Program(kTypeB, kFlashBase + 0x20, Bytes(300, 0x00)));
    EXPECT_EQ(rig.Reply(), StatusReply(0xA5, 0x43, kFlashBase + 0x20));
    EXPECT_TRUE(std::all_of(cells.begin(), cells.begin() + 0x4000, [](uint8_t c) { return c == 0xFF; }));
    EXPECT_EQ(rig.Exchange({0x22}), (Bytes{0xA2, 0x44}));
}

TEST(TransferProgram, StopEndsTheRunWhileWaitingForBytes) {
    Rig rig(sim::MakeAm29F010());
    rig.Cpu().Stop();
    EXPECT_EQ(rig.WaitExit(5000), sim::SensorCpu::Exit::Stopped);
}

TEST(TransferProgram, WaitsForEachEchoAndRestartsAtTheEnd) {
    Rig rig(sim::MakeAm29F010());
    rig.SendTelegram(Rig::Identify(kTypeB));
    // Hold back every echo for a while: nothing more may come meanwhile.
    for (int i = 0; i < 12; ++i) {
        const auto b = rig.Next(false);
        ASSERT_TRUE(b.has_value());
        EXPECT_TRUE(rig.Quiet(30)) << "byte " << i;
        rig.Cpu().PushRx(*b);
    }
    EXPECT_TRUE(rig.Quiet(50));
    EXPECT_FALSE(rig.SentBeforeEcho());

    // Waiting for bytes costs no processor time.
    const std::clock_t cpu0 = std::clock();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LT(double(std::clock() - cpu0) / CLOCKS_PER_SEC, 0.1);

    EXPECT_EQ(rig.Exchange({0x49}), (Bytes{0x48}));
    EXPECT_EQ(rig.WaitExit(5000), sim::SensorCpu::Exit::Restart);
}

}  // namespace
