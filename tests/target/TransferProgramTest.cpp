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
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t kFlashBase = 0x80000;
constexpr uint8_t kTypeB = 0x15;
constexpr uint8_t kTypeA = 0x11;

void PutLe(Bytes& out, uint32_t value, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

[[maybe_unused]] uint32_t GetLe(const Bytes& in, size_t at, int n) {
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
            if (echoOwed_) sentBeforeEcho_ = true;
            echoOwed_ = true;
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
    bool echoOwed_ = false;
    bool sentBeforeEcho_ = false;
    std::optional<sim::SensorCpu::Exit> exit_;
};

[[maybe_unused]] Bytes Pattern(size_t n, unsigned seed) {
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

}  // namespace
