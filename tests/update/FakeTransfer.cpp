#include "FakeTransfer.h"

#include <chrono>

namespace {
constexpr uint32_t kBase = 0x80000;

uint32_t Long(const FakeTransfer::Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

void PutLong(FakeTransfer::Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

FakeTransfer::FakeTransfer(PtyPeer& peer) : peer_(peer), flash_(0x20000, 0x5A) {}

FakeTransfer::~FakeTransfer() { Stop(); }

void FakeTransfer::Start() {
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
}

void FakeTransfer::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<FakeTransfer::Bytes> FakeTransfer::Telegrams() {
    std::lock_guard<std::mutex> lock(mutex_);
    return telegrams_;
}

uint8_t FakeTransfer::FlashAt(uint32_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    return flash_.at(address - kBase);
}

void FakeTransfer::SetFlash(uint32_t address, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < bytes.size(); ++i) flash_.at(address - kBase + i) = bytes[i];
}

FakeTransfer::Bytes FakeTransfer::Frame(const Bytes& body) {
    Bytes out{static_cast<uint8_t>(body.size())};
    unsigned sum = 0;
    for (uint8_t b : body) {
        out.push_back(b);
        sum += b;
    }
    out.push_back(static_cast<uint8_t>(sum & 0xFF));
    out.push_back(static_cast<uint8_t>((sum >> 8) & 0xFF));
    return out;
}

FakeTransfer::Bytes FakeTransfer::Answer(const Bytes& body) {
    std::lock_guard<std::mutex> lock(mutex_);
    Bytes reply;
    switch (body[0]) {
    case 0x21:
        reply = {0xA1};
        PutLong(reply, 0x01);
        PutLong(reply, 0x20);
        break;
    case 0x22: reply = {0xA2, 0x44}; break;
    case 0x23: reply = {0xA3, 0x46}; break;
    case 0x27: {
        const uint32_t start = Long(body, 3), count = Long(body, 7);
        for (uint32_t a = start; a < start + count; ++a) flash_.at(a - kBase) = 0xFF;
        reply = {0xA7, 0x40};
        PutLong(reply, start + count);
        break;
    }
    case 0x25: {
        uint32_t address = Long(body, 3);
        const unsigned count = body[7] | (body[8] << 8);
        uint8_t status = 0x42;
        for (unsigned i = 0; i < count; ++i, ++address) {
            if (address == stuckAddress && stuckAddress != 0) {
                status = 0x43;
                break;
            }
            unsigned from = i;
            if (swapAddress != 0 && address == swapAddress && i + 1 < count) from = i + 1;
            if (swapAddress != 0 && address == swapAddress + 1 && i > 0) from = i - 1;
            flash_.at(address - kBase) &= body[9 + from];
        }
        reply = {0xA5, status};
        PutLong(reply, address);
        break;
    }
    case 0x26: {
        const uint32_t start = Long(body, 2), count = Long(body, 6);
        uint32_t sum = 0;
        for (uint32_t a = start; a < start + count; ++a) sum += flash_.at(a - kBase);
        reply = {0xA6};
        PutLong(reply, sum);
        break;
    }
    case 0x24: {
        const uint32_t start = Long(body, 2), count = Long(body, 6);
        reply = {0xA4, body[1]};
        PutLong(reply, start);
        PutLong(reply, count);
        for (uint32_t a = start; a < start + count; ++a) reply.push_back(flash_.at(a - kBase));
        break;
    }
    case 0x49: reply = {0x48}; break;
    default: reply = {0x20, 0xF5}; break;
    }
    return reply;
}

void FakeTransfer::Run() {
    size_t index = 0;
    while (!stop_) {
        uint8_t length = 0;
        if (!peer_.ReadByte(length, 50)) continue;
        Bytes telegram{length};
        Bytes body = peer_.Read(length, 2000);
        Bytes sum = peer_.Read(2, 2000);
        telegram.insert(telegram.end(), body.begin(), body.end());
        telegram.insert(telegram.end(), sum.begin(), sum.end());
        {
            std::lock_guard<std::mutex> lock(mutex_);
            telegrams_.push_back(telegram);
        }
        if (body.size() != length || sum.size() != 2 || length == 0) continue;
        unsigned s = 0;
        for (uint8_t b : body) s += b;
        Bytes reply;
        if (override_) reply = override_(body, index);
        if (reply.empty()) {
            if ((s & 0xFFFFu) != (sum[0] + 256u * sum[1]))
                reply = {0x20, 0xF4};
            else
                reply = Answer(body);
        }
        Bytes line = lineOverride_ ? lineOverride_(body, index) : Bytes{};
        if (line.empty()) line = Frame(reply);
        for (size_t i = 0; i < line.size(); ++i) {
            if (stallMs > 0 && index == stallTelegram && i == stallByte)
                std::this_thread::sleep_for(std::chrono::milliseconds(stallMs));
            if (!peer_.SendEchoed(line[i])) break;
        }
        ++index;
    }
}
