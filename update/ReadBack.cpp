// Reading the flash back through the transfer program's read telegram.
#include "update/ReadBack.h"

#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include "session/MainFrame.h"
#include "platform/Files.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"

#include <cstdio>
#include <cstring>
#include <mutex>

std::atomic<double> BackupProgress{0.0};
std::atomic<double> VerifyProgress{0.0};

namespace {

constexpr uint8_t kReadCommand = 0x24;
constexpr uint8_t kReadReply = 0xA4;
constexpr int kReadHead = 10;  // reply code, width index, address, count
constexpr const char* kReadStoppedText = "Stopped by the user; the flash was not changed.";

// What the last read-back left for its detail text.
std::mutex g_detailMutex;
uint32_t g_failedAddress = 0;
FlashDifference g_difference;
std::string g_writeError;
std::atomic<bool> g_backupWritten{false};

void PutLong(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t GetLong(const uint8_t* at) {
    return at[0] | (at[1] << 8) | (at[2] << 16) | (static_cast<uint32_t>(at[3]) << 24);
}

void Trace(const char* text) { GetSensorChannel().TraceMessage(text); }

}  // namespace

int flashRead(uint8_t width, uint32_t address, uint32_t count, uint8_t* buffer) {
    if (count == 0 || count > kReadChunkSize) return 0x601;
    uint8_t body[kReadHead] = {kReadCommand, width};
    PutLong(body + 2, address);
    PutLong(body + 6, count);
    StopWatch(0, false);
    int attempts = 0;
    for (;;) {
        const TelegramResult result = ExchangeTelegram(body, kReadHead, true);
        const uint8_t* reply = TelegramReplyBuffer();
        // A reply for another range (a byte of the head spoiled on the way
        // with a checksum that still fits, or a late reply to an earlier
        // attempt) must not be taken for this one.
        if (result.code == 0 && TelegramReplyLength() == static_cast<int>(count) + kReadHead &&
            reply[0] == kReadReply && reply[1] == width && GetLong(reply + 2) == address &&
            GetLong(reply + 6) == count) {
            std::memcpy(buffer, reply + kReadHead, count);
            return 0;
        }
        char text[128];
        std::snprintf(text, sizeof text, "read at 0x%05X (%u bytes) failed: %s", static_cast<unsigned>(address),
                      static_cast<unsigned>(count),
                      result.code != 0 ? FlashResultMessage(result.code) : "reply for another request");
        Trace(text);
        if (!CheckRetry(attempts)) return 0x905;
    }
}

int ReadFlashRange(uint32_t start, uint32_t count, uint8_t* buffer, std::atomic<double>* progress) {
    uint32_t done = 0;
    while (done < count) {
        if (UpdateStopRequested()) {
            if (progress) *progress = 100.01;
            return kUpdateStopped;
        }
        if (progress) *progress = done * 100.0 / count;
        const uint32_t chunk = count - done < kReadChunkSize ? count - done : kReadChunkSize;
        if (flashRead(kFlashWidthIndex, start + done, chunk, buffer + done) != 0) {
            {
                std::lock_guard<std::mutex> lock(g_detailMutex);
                g_failedAddress = start + done;
            }
            if (progress) *progress = 100.01;
            return kReadBackReadFailed;
        }
        done += chunk;
    }
    if (progress) *progress = 100.01;
    return 0;
}

FlashDifference CompareImages(const uint8_t* expected, const uint8_t* actual, size_t size) {
    FlashDifference difference;
    for (size_t i = 0; i < size; ++i) {
        if (expected[i] == actual[i]) continue;
        if (difference.count++ == 0) difference.firstOffset = static_cast<uint32_t>(i);
    }
    return difference;
}

BackupTarget CheckBackupFile(const std::string& path, const std::string& firmwarePath, bool replace, std::string* why) {
    auto say = [why](BackupTarget result, const std::string& text) {
        if (why) *why = text;
        return result;
    };
    if (path.empty()) return say(BackupTarget::Unusable, "no backup file name given");
    // A directory, a FIFO, a device or a directory that takes no new file.
    if (const std::string problem = platform::CheckOutputFile(path); !problem.empty())
        return say(BackupTarget::Unusable, problem);
    if (!firmwarePath.empty() && platform::SameFile(path, firmwarePath))
        return say(BackupTarget::IsFirmware,
                   path + ": is the firmware file " + firmwarePath + " (the backup would replace it)");
    if (!replace && platform::PathExists(path)) return say(BackupTarget::Exists, path + ": the file exists");
    return say(BackupTarget::Ok, {});
}

bool WriteBackupFile(const std::string& path, const std::vector<uint8_t>& flash, bool replace, std::string* why) {
    std::string error;
    if (platform::ReplaceFileAtomically(path, std::string(flash.begin(), flash.end()), platform::kUserFileMode, &error,
                                        replace))
        return true;
    if (why) *why = error.rfind(path + ": ", 0) == 0 ? error : path + ": " + error;
    return false;
}

int BackupFlashToFile(const std::string& path, bool replace) {
    g_backupWritten = false;
    std::vector<uint8_t> flash(kFlashSize);
    const int result = ReadFlashRange(kFlashBase, kFlashSize, flash.data(), &BackupProgress);
    if (result != 0) return result;
    std::string error;
    if (!WriteBackupFile(path, flash, replace, &error)) {
        std::lock_guard<std::mutex> lock(g_detailMutex);
        g_writeError = error;
        return kBackupWriteFailed;
    }
    g_backupWritten = true;
    return 0;
}

bool BackupFileWritten() { return g_backupWritten.load(); }

void ForgetBackupWritten() { g_backupWritten = false; }

int VerifyFlashAgainstImage(const uint8_t* image, uint32_t size) {
    std::vector<uint8_t> flash(size);
    const int result = ReadFlashRange(kFlashBase, size, flash.data(), &VerifyProgress);
    if (result != 0) return result;
    const FlashDifference difference = CompareImages(image, flash.data(), size);
    std::lock_guard<std::mutex> lock(g_detailMutex);
    g_difference = difference;
    return difference.count == 0 ? 0 : kReadBackDiffers;
}

FlashDifference LastFlashDifference() {
    std::lock_guard<std::mutex> lock(g_detailMutex);
    return g_difference;
}

std::string ReadBackResultDetail(int code) {
    std::lock_guard<std::mutex> lock(g_detailMutex);
    char text[160];
    switch (code) {
    case kReadBackDiffers:
        std::snprintf(text, sizeof text, "%u byte%s differ%s, the first at 0x%05X",
                      static_cast<unsigned>(g_difference.count), g_difference.count == 1 ? "" : "s",
                      g_difference.count == 1 ? "s" : "", static_cast<unsigned>(kFlashBase + g_difference.firstOffset));
        return text;
    case kReadBackReadFailed:
        std::snprintf(text, sizeof text, "No valid reply to the read at 0x%05X within the retry time",
                      static_cast<unsigned>(g_failedAddress));
        return text;
    case kBackupWriteFailed: return g_writeError;
    default: return {};
    }
}

bool ReadBackFlash(const char* portName, const char* baudText, uint32_t count, std::vector<uint8_t>& data,
                   std::atomic<double>* progress, CMainFrameCore* frame) {
    const UpdateFrameScope frameScope(frame);
    SetUpdateOutcome(0, 0);
    const FastLinkScope link(FastLink());
    data.assign(count, 0);
    if (progress) *progress = 0.0;
    // Left in the transfer program, the sensor is found there by the next
    // update; the read-back keeps a marker of its own for that.
    UpdateRecordRequest record;
    record.serial = frame ? frame->m_search.szSerial : "";
    record.port = portName;
    record.command = "readback";
    std::string why;
    if (!BeginUpdateRecord(record, &why)) {
        SetUpdateOutcome(0, kMarkerWriteFailed);
        ShowStepError(kReadErrorCaption, (std::string("Nothing was read: ") + why).c_str());
        return false;
    }
    const UpdateRecordScope recordScope;
    const uint32_t baud = CDUXKSerial::BaudFromText(baudText);
    if (OpenTransferPort(portName, baud) != 0) return false;

    bool complete = false;
    const TransferStart start =
        StartTransferProgram(baud, kLoadAddressWord, kLoadAddressWord, kReadErrorCaption, kReadStoppedText);
    if (start == TransferStart::ProgramRunning) {
        SetUpdateOutcome(3, 0);
        ShowStepError(kReadErrorCaption,
                      "Entering bootmode failed\nThe sensor still runs the update program of an interrupted "
                      "update: finish that update first (duxk update FIRMWARE).");
    } else if (start == TransferStart::Started) {
        CDUXKSerial& channel = GetSensorChannel();
        // The identify telegram puts the flash into its read mode.
        WaitSeconds(0.2);
        Trace("GetManufCode");
        uint32_t manufacturer = 0, device = 0;
        int result = flashGetManufacturer(kFlashBase, kFlashWidthIndex, kFlashTypeCode, &manufacturer, &device);
        if (result == 0) {
            WaitSeconds(0.2);
            Trace("ReadFlash");
            result = ReadFlashRange(kFlashBase, count, data.data(), progress);
        }
        if (progress) *progress = 100.01;
        // Nothing was changed: whatever became of the reads, the program
        // end restarts the sensor into its application.
        WaitSeconds(0.2);
        Trace("ProgEnd");
        const int end = flashProgEnd();
        if (end == 0) RemoveUpdateMarker();
        if (result == 0) result = end;
        if (result != 0) {
            SetUpdateOutcome(6, result);
            std::string text = result == kUpdateStopped ? kReadStoppedText : FlashResultMessage(result);
            const std::string detail = ReadBackResultDetail(result);
            if (!detail.empty()) text += "\n" + detail;
            if (end != 0)
                text +=
                    "\nThe sensor did not confirm the program end and may still run its update program: "
                    "switch it off and on.";
            ShowStepError(kReadErrorCaption, text.c_str());
        } else {
            SetUpdateOutcome(7, 0);
            complete = true;
            // The sensor has restarted into its application at its own rate.
            channel.SetParams(baud, 8, NOPARITY, ONESTOPBIT);
            channel.SetFlowControl(0);
        }
    }
    CloseTransferPort();
    return complete;
}
