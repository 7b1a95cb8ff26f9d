// Flash telegrams with the transfer program: framing, one exchange with its
// error decoding, the retry window, the flash operations and the sequence
// that erases, programs and verifies the sensor's flash.
#include "update/Update.h"
#include "update/UpdateDetail.h"
#include "update/ReadBack.h"

#include "update/Recovery.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#if __has_include("serial/Debug.h")
#include "serial/Debug.h"
#define DUXK_HAVE_DEBUG_OUTPUT 1
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

// Telegram bodies are built in place here. The reply buffer is cleared
// before every reply is received, and again when a reply turns out not to
// fit its telegram: a check of the reply never sees a byte of an earlier one.
uint8_t g_body[249];
uint8_t g_reply[kTelegramReplyBufferSize];
// The length byte of the last reply (-1 when none arrived).
int g_replyLength = -1;
// Telegrams repeated since the flash sequence began.
int g_sequenceRepeats = 0;

constexpr uint8_t kErrorReply = 0x20;
constexpr uint8_t kEraseCommand = 0x27;
constexpr uint8_t kReadCommand = 0x24;

// How long each byte of a reply may keep the host waiting. The program
// sends every byte only once the echo of the one before has reached it, so a
// reply given up on while it is still under way is never clean again: the
// next telegram's bytes become the echoes it waits for, and each repeat
// meets the program somewhere else in its reply. A busy machine can hold a
// byte in the kernel's terminal layer (real serial ports and pseudo-terminals
// alike) for more than a second; the waits ride that out.
// The first byte: a telegram lost on its way is repeated after this wait.
constexpr uint32_t kReplyByteWaitMs = 2500;
// Every further byte: once the length has come, the program is known to be
// replying, and nothing but a repeat too early can spoil the reply. Such a
// byte is waited for as long as the operation's retry window lasts, and at
// least this long: holds of over six seconds were traced on a two-processor
// machine beside two CPU-bound processes. A sensor that has really gone
// quiet is still found out when the window ends.
constexpr uint32_t kReplyRestWaitMs = 6000;
constexpr double kRetryWindowSeconds = 10.0;

uint32_t ReplyRestWaitMs() {
    const double left = kRetryWindowSeconds - StopWatch(0, true);
    return left * 1000.0 > kReplyRestWaitMs ? static_cast<uint32_t>(left * 1000.0) : kReplyRestWaitMs;
}

// A pause of the flash sequence; fast mode has none: the transfer program
// is paced by the echoes alone.
void SequencePause(double seconds) {
    if (!FastLink()) WaitSeconds(seconds);
}

void PutLong(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLong(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

void Trace(const char* text) { GetSensorChannel().TraceMessage(text); }

void DebugText(const char* text) {
#ifdef DUXK_HAVE_DEBUG_OUTPUT
    DebugOutput(text);
#else
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.HasTrace()) channel.TraceLine(text);
    if (std::getenv("DUXK_DEBUG")) std::fputs(text, stderr);
#endif
}

// The common pattern of the flash operations: exchange the telegram in the
// body buffer until its reply is accepted or the retry window (stop-watch
// slot 0, started by the caller) has run out. `check` may replace the
// failure pair from the reply's second byte.
// A reply with the expected code is accepted whatever its status byte says,
// and the sequence goes on as the sensor expects it; `check` still sees that
// byte and notes an erase or programming failure the sensor reports, which
// the end of the sequence then never lets pass as a success. It is not
// repeated: the sensor has verified what it did, and a repeat (a whole erase
// again) would only hide its answer behind a time-out.
template <typename Check>
int RunOperation(int count, bool perByte, uint8_t expected, const char* failText, Check check) {
    int attempts = 0;
    for (;;) {
        TelegramResult result = ExchangeTelegram(g_body, count, perByte);
        if (g_reply[0] == expected && result.code == 0) {
            TelegramResult status{failText, 0};
            check(status);
            return 0;
        } else {
            result.text = failText;
            result.code = 0x905;
            check(result);
        }
        if (!CheckRetry(attempts)) return result.code;
        ++g_sequenceRepeats;
    }
}

// The first erase (0x414) or programming (0x413) failure the sensor reported
// in this sequence, the address it stopped at, and whether telegrams of the
// sequence had been repeated before it: then the program may have been
// handed garbled data (a reply byte lost on the line makes the repeat's
// bytes its echoes), and the report says little about the flash.
int g_flashFailureCode = 0;
uint32_t g_flashFailureAddress = 0;
bool g_flashFailureAfterRepeats = false;

void NoteFlashFailure(int code) {
    if (g_flashFailureCode != 0) return;
    g_flashFailureCode = code;
    g_flashFailureAddress = GetLong(g_reply + 2);
    g_flashFailureAfterRepeats = g_sequenceRepeats > 0;
}

void NoCheck(TelegramResult&) {}

// Whether a reply of `length` body bytes can answer the telegram `body`:
// the error reply has two bytes whatever the command; every other reply has
// the length its command gives it.
bool ReplyLengthFits(const uint8_t* body, int count, const uint8_t* reply, int length) {
    if (length == 2 && reply[0] == kErrorReply) return true;
    const int expected = count > 0 ? TelegramReplyLengthFor(body, count) : -1;
    return expected < 0 || length == expected;
}

}  // namespace

int TelegramReplyLengthFor(const uint8_t* body, int count) {
    if (count < 1) return -1;
    switch (body[0]) {
    case 0x21: return 9;  // 0xA1, manufacturer code (4), device code (4)
    case 0x22:            // 0xA2, 'D'
    case 0x23: return 2;  // 0xA3, 'F'
    case kReadCommand:
        // 0xA4, width index, address (4), count (4), then the bytes read.
        return count >= 10 ? static_cast<int>(std::min<uint32_t>(GetLong(body + 6), 0x10000)) + 10 : -1;
    case 0x25:                     // 0xA5, status, stop address (4)
    case kEraseCommand: return 6;  // 0xA7, status, stop address (4)
    case 0x26: return 5;           // 0xA6, sum (4)
    case 0x49: return 1;           // 0x48
    default: return -1;
    }
}

const uint8_t* TelegramReplyBuffer() { return g_reply; }

std::string FlashFailureDetail(int code) {
    // Whatever ended a sequence in which the sensor reported such a failure
    // (a sum that differs, a programming that then lost step) came after it.
    if (code == 0 || g_flashFailureCode == 0) return {};
    code = g_flashFailureCode;
    char text[240];
    std::snprintf(text, sizeof text, "The sensor reports that %s its flash failed at 0x%05X%s",
                  code == 0x414 ? "erasing" : "programming", static_cast<unsigned>(g_flashFailureAddress),
                  g_flashFailureAfterRepeats ? ", after telegrams had to be repeated: data garbled on the line can "
                                               "cause this. Run the update again; if it fails the same way, the flash "
                                               "may be defective."
                                             : ": the flash may be defective.");
    return text;
}

int TelegramReplyLength() { return g_replyLength; }

int SendTelegram(const uint8_t* body, int count, bool perByte) {
    const uint8_t length = static_cast<uint8_t>(count);
    if (SendBytes(&length, 1) != 1) return 0x113;
    if (perByte) {
        for (int i = 0; i < count; ++i) {
            if (SendBytes(body + i, 1) != 1) return 0x113;
        }
    } else if (SendBytes(body, static_cast<unsigned>(count)) != static_cast<unsigned>(count)) {
        return 0x113;
    }
    unsigned sum = 0;
    for (int i = 0; i < count; ++i) sum += body[i];
    const uint8_t checksum[2] = {static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>((sum >> 8) & 0xFF)};
    if (SendBytes(checksum, 2) != 2) return 0x113;
    return 0;
}

int ReceiveTelegram(uint8_t* reply) {
    uint8_t length = 0;
    g_replyLength = -1;
    std::memset(reply, 0, kTelegramReplyBufferSize);
    if (ReadBytes(&length, 1, true, kReplyByteWaitMs) != 1) return 0x113;
    g_replyLength = length;
    if (ReadBytes(reply, length, true, ReplyRestWaitMs()) != length) return 0x113;
    SequencePause(0.1);
    uint8_t low = 0, high = 0;
    if (ReadBytes(&low, 1, true, ReplyRestWaitMs()) != 1) return 0x113;
    if (ReadBytes(&high, 1, true, ReplyRestWaitMs()) != 1) return 0x113;
    unsigned sum = 0;
    for (int i = 0; i < length; ++i) sum += reply[i];
    if (high * 256u + low != (sum & 0xFFFF)) return 0x115;
    return 0;
}

TelegramResult ExchangeTelegram(const uint8_t* body, int count, bool perByte) {
    TelegramResult result{"unknown", 0x905};
    result.code = SendTelegram(body, count, perByte);
    SequencePause(0.1);
    // While the erase runs the sensor answers only when it is done: give
    // the first reply byte up to 10 s instead of the usual second. Fast mode
    // ties that to the erase telegram itself, not to the erase progress the
    // dialog's timer advances (a repeat late in the window would miss it).
    const double erase = EraseProgress.load();
    const bool erasing = FastLink() ? count > 0 && body[0] == kEraseCommand : erase > 0.99 && erase <= 99.0;
    if (erasing) GetSensorChannel().WaitReceived(10000);
    result.code = ReceiveTelegram(g_reply);
    // A reply whose checksum fits but whose length does not (three zero
    // bytes, a byte lost together with its share of the sum) answers nothing:
    // it is a failed telegram, and none of its bytes may be taken.
    if (result.code == 0 && !ReplyLengthFits(body, count, g_reply, g_replyLength)) {
        char text[96];
        std::snprintf(text, sizeof text, "reply of %d bytes to telegram 0x%02X, %d expected", g_replyLength,
                      count > 0 ? body[0] : 0, TelegramReplyLengthFor(body, count));
        GetSensorChannel().TraceLine(text);
        std::memset(g_reply, 0, sizeof g_reply);
        return {"reply of the wrong length", 0x905};
    }
    if (g_reply[0] == kErrorReply) {
        switch (g_reply[1]) {
        case 0xF0: result = {"parity", 0x901}; break;
        case 0xF1: result = {"frame", 0x902}; break;
        case 0xF3: result = {"overrun", 0x903}; break;
        case 0xF4: result = {"checksum", 0x904}; break;
        case 0xF5: result = {"command", 0x906}; break;
        default: result = {"unknown", 0x905}; break;
        }
    }
    return result;
}

bool CheckRetry(int& attempts) {
    ++attempts;
    if (StopWatch(0, true) >= kRetryWindowSeconds) return false;
    // A port whose device is gone cannot answer a repeat: fail now rather
    // than repeating into it for the rest of the window.
    if (GetSensorChannel().IsReceiveEnded()) return false;
    WaitSeconds(0.1);
    StopWatch(1, false);
    CDUXKSerial& channel = GetSensorChannel();
    while (channel.ReceivedCount() != 0 && StopWatch(1, true) <= 5.0) {
        WaitSeconds(0.01);
        channel.GetByte();
    }
    return true;
}

int flashProgpowerOn() {
    // Retries within the window last started (this operation starts none).
    g_body[0] = 0x22;
    return RunOperation(1, true, 0xA2, "prog.power on telegram transfer", [](TelegramResult& r) {
        if (g_reply[1] != 'D') r = {"switching prog. power on failed", 0x411};
    });
}

int flashProgpowerOff() {
    g_body[0] = 0x23;
    StopWatch(0, false);
    return RunOperation(1, true, 0xA3, "prog.power off telegram transfer", [](TelegramResult& r) {
        if (g_reply[1] != 'F') r = {"switching prog. power off failed", 0x412};
    });
}

int flashGetManufacturer(uint32_t base, uint8_t width, uint8_t type, uint32_t* manufacturer, uint32_t* device) {
    g_body[0] = 0x21;
    g_body[1] = width;
    g_body[2] = type;
    PutLong(g_body + 3, base);
    StopWatch(0, false);
    const int result = RunOperation(7, true, 0xA1, "manufacturer code transfer", NoCheck);
    if (result == 0) {
        if (manufacturer) *manufacturer = GetLong(g_reply + 1);
        if (device) *device = GetLong(g_reply + 5);
    }
    return result;
}

namespace {

// True when [start, start + count) lies inside the erased area.
bool InsideErasedArea(uint32_t start, uint64_t count) {
    return start >= kFlashBase && start <= kFlashEraseEnd && count <= kFlashEraseEnd - start;
}

}  // namespace

int FlashDelete(uint8_t width, uint8_t type, uint32_t start, uint32_t count) {
    EraseProgress = 0.0;
    // Erasing anything but the application area would take the boot area
    // with it: such a request never goes out.
    if (!InsideErasedArea(start, count)) return kParameterCheckError;
    g_body[0] = 0x27;
    g_body[1] = width;
    g_body[2] = type;
    PutLong(g_body + 3, start);
    PutLong(g_body + 7, count);
    StopWatch(0, false);
    EraseProgress = 1.0;
    const int result = RunOperation(11, true, 0xA7, "erase command telegram transfer", [](TelegramResult& r) {
        if (g_reply[1] == 'A') {
            r = {"flash erase failed", 0x414};
            if (g_reply[0] == 0xA7) NoteFlashFailure(0x414);
        }
    });
    EraseProgress = 100.01;
    return result;
}

int flashProg(const uint8_t* image, size_t size, uint32_t start, uint8_t width, uint8_t type, uint32_t* fileSum,
              uint32_t* stopAddress) {
    ProgramProgress = 0.0;
    if (stopAddress) *stopAddress = 0;
    if (!image || size == 0) {
        ProgramProgress = 100.01;
        return -2;
    }
    // Programming past the erased area would write into the boot area.
    if (!InsideErasedArea(start, size)) {
        ProgramProgress = 100.01;
        return kParameterCheckError;
    }

    g_body[0] = 0x25;
    g_body[1] = width;
    g_body[2] = type;
    uint32_t address = start;
    PutLong(g_body + 3, address);
    uint32_t sum = 0;
    size_t confirmed = 0;
    while (confirmed < size) {
        if (UpdateStopRequested()) {
            ProgramProgress = 100.01;
            return kUpdateStopped;
        }
        ProgramProgress = confirmed * 100.0 / size;
        const size_t count = std::min<size_t>(size - confirmed, kProgramBlockSize);
        std::memcpy(g_body + 9, image + confirmed, count);
        for (size_t i = 0; i < count; ++i) sum += g_body[9 + i];
        g_body[7] = static_cast<uint8_t>(count);
        g_body[8] = 0;
        StopWatch(0, false);
        const int result = RunOperation(static_cast<int>(count) + 9, false, 0xA5, "program block telegram transfer",
                                        [stopAddress](TelegramResult& r) {
                                            if (g_reply[1] == 'C') {
                                                r = {"programming failed", 0x413};
                                                if (stopAddress) *stopAddress = GetLong(g_reply + 2);
                                                if (g_reply[0] == 0xA5) NoteFlashFailure(0x413);
                                            }
                                        });
        if (result != 0) {
            ProgramProgress = 100.01;
            return result;
        }
        address += static_cast<uint32_t>(count);
        PutLong(g_body + 3, address);
        confirmed += count;
    }
    if (fileSum) *fileSum = sum;
    ProgramProgress = 100.01;
    return 0;
}

int flashGetChecksum(uint8_t width, uint32_t start, uint32_t count, uint32_t* sum) {
    // Whatever is still waiting is not part of the reply: take it out and
    // report it for diagnosis.
    CDUXKSerial& channel = GetSensorChannel();
    char stale[1024] = {};
    int taken = 0;
    while (channel.ReceivedCount() != 0) {
        const uint8_t byte = channel.GetByte();
        if (taken < 1023) stale[taken] = static_cast<char>(byte);
        ++taken;
    }
    if (taken > 0) {
        DebugText("flashGetChecksum()\r\n");
        DebugText(stale);
        DebugText("\r\n");
    }

    g_body[0] = 0x26;
    g_body[1] = width;
    PutLong(g_body + 2, start);
    PutLong(g_body + 6, count);
    StopWatch(0, false);
    const int result = RunOperation(10, true, 0xA6, "checksum telegram transfer", NoCheck);
    if (result == 0 && sum) *sum = GetLong(g_reply + 1);
    return result;
}

int flashProgEnd() {
    g_body[0] = 0x49;
    StopWatch(0, false);
    return RunOperation(1, true, 0x48, "program end telegram transfer", NoCheck);
}

int LoadFlashContents(const uint8_t* image, size_t size, const UpdateOptions& options) {
    auto fail = [](int result) {
        DownloadProgress = 100.01;
        return result;
    };
    // An image that is empty or does not fit the erased area is refused
    // before the erase: the sensor keeps its application.
    if (!image || size == 0) return fail(-2);
    if (size > kFlashEraseCount) return fail(kParameterCheckError);
    // A stop asked for by the user takes effect between the telegrams up to
    // the programming; the steps after it bring the sensor back to its new
    // firmware within a second or two and are not cut short.
    auto stopped = [] { return UpdateStopRequested(); };

    int result;
    g_flashFailureCode = 0;
    g_sequenceRepeats = 0;
    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("ProgPowerOn");
    // The first power-on retries within the window the boot-mode entry
    // started, which has run out by now; fast mode gives it one of its own.
    if (FastLink()) StopWatch(0, false);
    if ((result = flashProgpowerOn()) != 0) return fail(result);

    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("GetManufCode");
    uint32_t manufacturer = 0, device = 0;
    if ((result = flashGetManufacturer(kFlashBase, kFlashWidthIndex, kFlashTypeCode, &manufacturer, &device)) != 0)
        return fail(result);

    // The backup is complete in its file before anything is erased.
    if (!options.backupPath.empty()) {
        SequencePause(0.2);
        Trace("BackupFlash");
        if ((result = BackupFlashToFile(options.backupPath, options.replaceBackup)) != 0) return fail(result);
        NoteBackupSaved();
    }

    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("FlashDelete");
    if ((result = FlashDelete(kFlashWidthIndex, kFlashTypeCode, kFlashBase, kFlashEraseCount)) != 0)
        return fail(result);

    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("PrgPowerOff");
    if ((result = flashProgpowerOff()) != 0) return fail(result);

    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("flashProgpowerOn");
    if ((result = flashProgpowerOn()) != 0) return fail(result);

    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("flashGetManufacturer");
    if ((result = flashGetManufacturer(kFlashBase, kFlashWidthIndex, kFlashTypeCode, &manufacturer, &device)) != 0)
        return fail(result);

    if (stopped()) return fail(kUpdateStopped);
    SequencePause(0.2);
    Trace("flashProg");
    uint32_t fileSum = 0, stopAddress = 0;
    if ((result = flashProg(image, size, kFlashBase, kFlashWidthIndex, kFlashTypeCode, &fileSum, &stopAddress)) != 0)
        return fail(result);

    SequencePause(1.0);
    Trace("flashProgpowerOff");
    if ((result = flashProgpowerOff()) != 0) return fail(result);

    SequencePause(0.1);
    Trace("flashGetChecksum");
    uint32_t flashSum = 0;
    if ((result = flashGetChecksum(kFlashWidthIndex, kFlashBase, static_cast<uint32_t>(size), &flashSum)) != 0)
        return fail(result);

    if (flashSum != fileSum) return fail(0x904);
    // The sum can match where the sensor said a step failed (cells left
    // programmed outside the image, or a stuck cell that happens to sum
    // right): the sensor's word stands, and the update is not finished.
    if (g_flashFailureCode != 0) return fail(g_flashFailureCode);

    // A sum passes swapped bytes and errors that cancel; the bytes do not.
    if (options.verify) {
        SequencePause(0.2);
        Trace("VerifyFlash");
        if ((result = VerifyFlashAgainstImage(image, static_cast<uint32_t>(size))) != 0) return fail(result);
    }

    SequencePause(0.2);
    if ((result = flashProgEnd()) != 0) return fail(result);

    GetSensorChannel().TraceLine("**********SUCCESS*************");
    return 0;
}
