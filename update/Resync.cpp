// Resynchronising with the transfer program left behind by an interrupted
// update: zeros until the program's idle rhythm shows (silence after one
// zero, a raw 0x00 after the next), then a power-on telegram to confirm.
#include "update/Resync.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

// Enough zeros to complete the longest telegram (length, 249 body bytes,
// checksum) wherever the program stopped in it.
constexpr unsigned kWakeZeros = 288;
constexpr unsigned kWakeBurst = 32;
// Enough zeros for the longest data a program telegram can announce (a
// 16-bit count), its checksum and a telegram head besides.
constexpr unsigned kLongWakeZeros = 65535 + 16;
constexpr unsigned kLongWakeBurst = 256;
// Idle pairs (silence, then one 0x00) seen in a row before confirming.
constexpr int kSteadyPairs = 3;
constexpr int kConfirmAttempts = 4;
// Answers to single zeros that stayed silent in a row before the firmware
// is asked for its identity.
constexpr int kSilentBeforeAsking = 4;

// Power-on telegram and the program's reply to it.
constexpr uint8_t kPowerOn[] = {0x01, 0x22, 0x22, 0x00};
constexpr uint8_t kPowerOnReply[] = {0x02, 0xA2, 0x44, 0xE6, 0x00};

enum class Answer { None, Zero, Other };

// A line from the last '@' that passes the identity check, or the starting
// application's "boot_": the sensor's own firmware answered.
bool IsFirmwareAnswer(const std::string& text) {
    size_t from = 0;
    while (from < text.size()) {
        size_t lineEnd = text.find_first_of("\r\n", from);
        if (lineEnd == std::string::npos) lineEnd = text.size();
        const std::string line = text.substr(from, lineEnd - from);
        const size_t at = line.rfind('@');
        if ((at != std::string::npos && CheckIdReply(line.c_str() + at)) || line.find("boot_") != std::string::npos)
            return true;
        from = lineEnd + 1;
    }
    return false;
}

class Resync {
public:
    explicit Resync(const ResyncOptions& options)
        : o_(options), channel_(GetSensorChannel()), start_(TickCountMs()), lastByte_(start_) {
        // 12 bit times a byte in the boot framing.
        byteMs_ = o_.baud ? 12000.0 / o_.baud : 2.5;
        window_ = BaseWindow();
    }

    ResyncResult Run();

private:
    enum class Wait { Byte, Timeout, Stopped, Gone };

    uint32_t BaseWindow() const { return static_cast<uint32_t>(120 + 8 * byteMs_); }
    uint32_t QuietMs() const { return static_cast<uint32_t>(40 + 4 * byteMs_); }
    uint32_t LineMs(unsigned bytes) const { return static_cast<uint32_t>(bytes * byteMs_) + 1; }
    double Elapsed() const { return (TickCountMs() - start_) / 1000.0; }
    double MaxSeconds() const { return o_.maxSeconds + extraSeconds_; }
    bool StopAsked() const { return o_.stop && o_.stop(); }
    // A machine under load answers late: widen the window so that a late
    // byte is not taken for silence.
    void Widen(uint32_t latencyMs) {
        slowest_ = std::max(slowest_, latencyMs);
        window_ = std::clamp<uint32_t>(3 * slowest_, BaseWindow(), 1000);
    }

    Wait WaitByte(uint32_t ms);
    bool Send(const uint8_t* bytes, unsigned count);
    std::vector<uint8_t> Collect(uint32_t firstMs, Wait& end, uint64_t* firstAt = nullptr);
    // Lets what was sent leave the line before the framing changes.
    void WaitLineIdle();
    ResyncResult AskFirmware(bool& programAnswered);
    ResyncResult Confirm(bool& confirmed);
    ResyncResult LongWake(bool& answered);
    void Trace(const char* text) { channel_.TraceMessage(text); }

    const ResyncOptions& o_;
    CDUXKSerial& channel_;
    const uint64_t start_;
    uint64_t lastByte_;
    uint64_t lineFreeAt_ = 0;
    double byteMs_;
    uint32_t window_;
    uint32_t slowest_ = 0;
    double extraSeconds_ = 0;
};

Resync::Wait Resync::WaitByte(uint32_t ms) {
    const uint64_t deadline = TickCountMs() + ms;
    for (;;) {
        if (channel_.ReceivedCount() != 0) return Wait::Byte;
        if (StopAsked()) return Wait::Stopped;
        if (channel_.IsReceiveEnded() || !channel_.IsOpen()) return Wait::Gone;
        const uint64_t now = TickCountMs();
        if (now >= deadline) return Wait::Timeout;
        // Short slices, so that a stop request is seen promptly.
        channel_.WaitReceived(static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 50)));
    }
}

bool Resync::Send(const uint8_t* bytes, unsigned count) {
    if (channel_.Write(bytes, count) != ERROR_SUCCESS_CODE) return false;
    const uint64_t now = TickCountMs();
    lineFreeAt_ = std::max(lineFreeAt_, now) + LineMs(count);
    return true;
}

// The bytes that come within firstMs, and every further byte that follows
// its predecessor within the quiet time.
std::vector<uint8_t> Resync::Collect(uint32_t firstMs, Wait& end, uint64_t* firstAt) {
    std::vector<uint8_t> bytes;
    uint32_t wait = firstMs;
    for (;;) {
        end = WaitByte(wait);
        if (end != Wait::Byte) break;
        lastByte_ = TickCountMs();
        if (firstAt && bytes.empty()) *firstAt = lastByte_;
        while (channel_.ReceivedCount() != 0) bytes.push_back(channel_.GetByte());
        wait = QuietMs();
        // A device that never stops sending is no program waiting for us.
        if (Elapsed() > MaxSeconds()) break;
    }
    if (end == Wait::Timeout && !bytes.empty()) end = Wait::Byte;
    return bytes;
}

void Resync::WaitLineIdle() {
    const uint64_t now = TickCountMs();
    const uint64_t until = std::max(lineFreeAt_, now) + static_cast<uint64_t>(2 * byteMs_) + 2;
    WaitSeconds((until - now) / 1000.0);
}

// The sensor's application or boot firmware answers "id" in its own framing;
// the program takes the same bytes as two short telegrams of unknown
// commands and answers with single raw bytes, never with a text line.
ResyncResult Resync::AskFirmware(bool& programAnswered) {
    programAnswered = false;
    WaitLineIdle();
    if (channel_.SetParams(o_.baud, 8, NOPARITY, TWOSTOPBITS) != 0) return ResyncResult::PortGone;
    Trace("Resync: asking the firmware for its identity");
    SendCommand("id");
    lineFreeAt_ = TickCountMs() + LineMs(3);
    Wait end = Wait::Timeout;
    std::vector<uint8_t> got = Collect(700, end);
    if (end == Wait::Stopped) return ResyncResult::Stopped;
    if (end == Wait::Gone) return ResyncResult::PortGone;
    WaitLineIdle();
    if (channel_.SetParams(o_.baud, 8, EVENPARITY, TWOSTOPBITS) != 0) return ResyncResult::PortGone;
    if (got.empty()) return ResyncResult::NotFound;

    if (IsFirmwareAnswer(std::string(got.begin(), got.end()))) return ResyncResult::Application;
    programAnswered = true;
    return ResyncResult::NotFound;
}

// One power-on exchange, every reply byte echoed. A reply other than the
// expected one leaves the rest to the zeros that follow.
ResyncResult Resync::Confirm(bool& confirmed) {
    confirmed = false;
    Trace("Resync: confirming with a power-on telegram");
    if (!Send(kPowerOn, sizeof kPowerOn)) return ResyncResult::PortGone;
    for (uint8_t expected : kPowerOnReply) {
        const Wait w = WaitByte(std::max<uint32_t>(1000, window_) + LineMs(6));
        if (w == Wait::Stopped) return ResyncResult::Stopped;
        if (w == Wait::Gone) return ResyncResult::PortGone;
        if (w == Wait::Timeout) return ResyncResult::NotFound;
        const uint8_t b = channel_.GetByte();
        lastByte_ = TickCountMs();
        if (!Send(&b, 1)) return ResyncResult::PortGone;
        if (b != expected) return ResyncResult::NotFound;
    }
    confirmed = true;
    return ResyncResult::Found;
}

// Zeros at the line's rate until anything answers or the longest data a
// telegram can announce has been given.
ResyncResult Resync::LongWake(bool& answered) {
    static const uint8_t zeros[kLongWakeBurst] = {};
    answered = false;
    extraSeconds_ = LineMs(kLongWakeZeros) / 1000.0 + 2;
    Trace("Resync: no answer; zeros for the longest data a telegram can announce");
    for (unsigned sent = 0; sent < kLongWakeZeros;) {
        const unsigned n = std::min(kLongWakeBurst, kLongWakeZeros - sent);
        if (!Send(zeros, n)) return ResyncResult::PortGone;
        sent += n;
        const Wait w = WaitByte(LineMs(n));
        if (w == Wait::Stopped) return ResyncResult::Stopped;
        if (w == Wait::Gone) return ResyncResult::PortGone;
        // Our own zeros keep the line busy: no silence to give up on.
        lastByte_ = TickCountMs();
        if (w == Wait::Byte) {
            answered = true;
            channel_.TraceMessage(("Resync: an answer after " + std::to_string(sent) + " zeros").c_str());
            break;
        }
    }
    return ResyncResult::NotFound;
}

ResyncResult Resync::Run() {
    static const uint8_t zeros[kWakeBurst] = {};
    unsigned wakeSent = 0;
    bool anyAnswer = false;
    bool asked = !o_.askFirmware;
    int silentInRow = 0;
    int confirmAttempts = 0;
    uint64_t sentAt = start_;
    std::vector<Answer> answers;
    Trace("Resync: looking for the transfer program");

    for (;;) {
        if (StopAsked()) return ResyncResult::Stopped;
        if (Elapsed() > MaxSeconds()) break;
        if ((TickCountMs() - lastByte_) / 1000.0 > o_.silentSeconds) break;

        if (!anyAnswer && wakeSent < kWakeZeros) {
            // Bursts while nothing answers: complete whatever telegram the
            // program is in. Zeros lost while it is busy do not matter.
            const unsigned n = std::min(kWakeBurst, kWakeZeros - wakeSent);
            if (!Send(zeros, n)) return ResyncResult::PortGone;
            wakeSent += n;
            const Wait w = WaitByte(LineMs(n) + 40);
            if (w == Wait::Stopped) return ResyncResult::Stopped;
            if (w == Wait::Gone) return ResyncResult::PortGone;
            if (w == Wait::Byte) anyAnswer = true;
            continue;
        }

        if (!asked && silentInRow >= kSilentBeforeAsking) {
            // The zeros met silence: the program is busy, or no program
            // runs there. The firmware would answer an identity query.
            asked = true;
            bool programAnswered = false;
            const ResyncResult r = AskFirmware(programAnswered);
            if (r != ResyncResult::NotFound) return r;
            if (programAnswered) anyAnswer = true;
            if (!anyAnswer && o_.longWake) {
                const ResyncResult w = LongWake(anyAnswer);
                if (w != ResyncResult::NotFound) return w;
                if (!anyAnswer) break;
            }
            answers.clear();
            silentInRow = 0;
            continue;
        }

        // One zero at a time. Whatever arrives before it is sent came late
        // for the previous zero, whose answer then is not known.
        Wait end = Wait::Timeout;
        uint64_t firstAt = 0;
        if (!Collect(0, end, &firstAt).empty()) {
            anyAnswer = true;
            silentInRow = 0;
            if (!answers.empty()) {
                answers.back() = Answer::Other;
                Widen(static_cast<uint32_t>(firstAt - sentAt));
            }
        }
        if (end == Wait::Stopped) return ResyncResult::Stopped;
        if (end == Wait::Gone) return ResyncResult::PortGone;
        if (!Send(zeros, 1)) return ResyncResult::PortGone;
        sentAt = TickCountMs();
        const std::vector<uint8_t> got = Collect(window_ + LineMs(2), end, &firstAt);
        if (end == Wait::Stopped) return ResyncResult::Stopped;
        if (end == Wait::Gone) return ResyncResult::PortGone;

        Answer answer = Answer::Other;
        if (got.empty()) {
            answer = Answer::None;
            ++silentInRow;
        } else {
            anyAnswer = true;
            silentInRow = 0;
            if (got.size() == 1 && got[0] == 0) answer = Answer::Zero;
            Widen(static_cast<uint32_t>(firstAt - sentAt));
        }
        answers.push_back(answer);

        bool steady = answers.size() >= 2 * kSteadyPairs;
        for (int i = 0; steady && i < kSteadyPairs; ++i) {
            const size_t at = answers.size() - 2 * (i + 1);
            steady = answers[at] == Answer::None && answers[at + 1] == Answer::Zero;
        }
        if (!steady) continue;

        bool confirmed = false;
        const ResyncResult r = Confirm(confirmed);
        if (confirmed) {
            Trace("Resync: transfer program found");
            return ResyncResult::Found;
        }
        if (r != ResyncResult::NotFound) return r;
        answers.clear();
        if (++confirmAttempts >= kConfirmAttempts) break;
    }
    Trace("Resync: no transfer program");
    return ResyncResult::NotFound;
}

}  // namespace

ResyncResult ResyncTransferProgram(const ResyncOptions& options) {
    Resync resync(options);
    return resync.Run();
}

ResyncResult AskIdentityAtRates(uint32_t firstBaud, const std::function<bool()>& stop, uint32_t* answeredAt) {
    CDUXKSerial& channel = GetSensorChannel();
    std::vector<uint32_t> rates{firstBaud};
    for (uint32_t rate : {38400u, 19200u, 9600u, 4800u})
        if (rate != firstBaud) rates.push_back(rate);
    for (uint32_t rate : rates) {
        if (channel.SetParams(rate, 8, NOPARITY, TWOSTOPBITS) != 0) return ResyncResult::PortGone;
        channel.SetFlowControl(0);
        channel.Purge();
        channel.TraceMessage(("Recovery: asking for the identity at " + std::to_string(rate) + " baud").c_str());
        // Garbage from the rates before may fill the firmware's command
        // line, which it then drops: a second query follows, as in the search.
        for (const uint32_t waitMs : {350u, 700u}) {
            SendCommand("id");
            std::string got;
            const uint64_t deadline = TickCountMs() + waitMs;
            for (uint64_t now = TickCountMs(); now < deadline; now = TickCountMs()) {
                if (stop && stop()) return ResyncResult::Stopped;
                if (channel.IsReceiveEnded() || !channel.IsOpen()) return ResyncResult::PortGone;
                if (channel.ReceivedCount() == 0) {
                    channel.WaitReceived(static_cast<uint32_t>(std::min<uint64_t>(deadline - now, 50)));
                    continue;
                }
                while (channel.ReceivedCount() != 0 && got.size() < 4096) got += static_cast<char>(channel.GetByte());
                if (IsFirmwareAnswer(got)) {
                    if (answeredAt) *answeredAt = rate;
                    return ResyncResult::Application;
                }
            }
        }
    }
    return ResyncResult::NotFound;
}

ResyncResult ProbeTransferProgram(const char* port, const char* baudText, std::function<bool()> stop,
                                  double silentSeconds, bool longWake) {
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.Open(port, 4000, 4000, true) != 0) return ResyncResult::PortGone;
    channel.SetEventMask(0x1FD);
    ResyncOptions options;
    options.baud = CDUXKSerial::BaudFromText(baudText);
    options.silentSeconds = silentSeconds;
    options.longWake = longWake;
    options.stop = std::move(stop);
    // A sensor in its own firmware answers its identity at its rate: it is
    // asked at every rate before a single zero is sent.
    const ResyncResult firmware = AskIdentityAtRates(options.baud, options.stop);
    if (firmware != ResyncResult::NotFound) {
        channel.Close();
        return firmware;
    }
    if (channel.SetParams(options.baud, 8, EVENPARITY, TWOSTOPBITS) != 0) {
        channel.Close();
        return ResyncResult::PortGone;
    }
    channel.SetFlowControl(0);
    // Bytes the program sent to the host that went away are no answer.
    channel.Purge();
    const ResyncResult result = ResyncTransferProgram(options);
    if (result != ResyncResult::Found) channel.Close();
    return result;
}
