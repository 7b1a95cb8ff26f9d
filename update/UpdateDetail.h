// Internals of the firmware update shared by the driver, the command-line
// front end and the tests: result messages, the telegram layer, the flash
// operations and the checks made on a firmware file before an update.
#pragma once

#include "session/FrameUi.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

class CMainFrameCore;

// Size of the transfer-program download announced in its header.
constexpr uint32_t kTransferProgramBytes = 11340;
constexpr uint32_t kDownloadBlockSize = 512;

// The flash area the update erases and programs.
constexpr uint32_t kFlashBase = 0x80000;
constexpr uint32_t kFlashEraseCount = 0x1C000;
// End of the erased area: no program or erase telegram reaches past it (the
// boot area above is never erased).
constexpr uint32_t kFlashEraseEnd = kFlashBase + kFlashEraseCount;
constexpr uint8_t kFlashWidthIndex = 1;
constexpr uint8_t kFlashTypeCode = 0x15;
constexpr uint32_t kProgramBlockSize = 240;
// Result of an erase or program request outside the erased area.
constexpr int kParameterCheckError = 0x601;

// Texts of the update's results.
const char* DownloadResultMessage(int code);
const char* FlashResultMessage(int code);
constexpr const char* kUpdateSuccessText = "Firmware transferred successfully";
constexpr const char* kUpdateSuccessCaption = "Success";
constexpr const char* kFlashErrorCaption = "FLASH programming error";
// The update's marker could not be written (a download result, and the code
// of an update refused for it before anything was sent).
constexpr int kMarkerWriteFailed = 100;
constexpr const char* kMarkerFailedText =
    "The update's record of its progress could not be written; the update was stopped before the sensor's "
    "firmware was changed";

// A firmware image file as the update takes it: read once, whole, before the
// sensor is touched. Only a regular file of 1 to kFlashEraseCount bytes that
// does not change while it is read is Ok; CannotOpen covers every error of
// open and read. `why` (may be null) gets "<path>: <reason>" for anything
// but Ok. Never blocks on a FIFO or a device.
enum class FirmwareFileState { Ok, CannotOpen, NotRegular, Directory, Empty, TooLarge, Changed };
FirmwareFileState ReadFirmwareFile(const char* path, std::vector<uint8_t>& image, std::string* why = nullptr);

// Whether the desktop application's raw command line asks for the fast
// update mode ("/fast" as a word of its own, in any case).
bool CommandLineHasFastSwitch(const std::string& cmdLine);

// Switches the link's fast mode for the time of one update or read-back.
// Its waits, down to a character time in fast mode and 10 ms in the standard
// one, then end when asked rather than up to the system's default timer
// slack later, on this thread and on the port's event thread (started by
// the transfer's open): they keep their lengths more exactly.
class FastLinkScope {
public:
    explicit FastLinkScope(bool on);
    ~FastLinkScope();
    FastLinkScope(const FastLinkScope&) = delete;
    FastLinkScope& operator=(const FastLinkScope&) = delete;

private:
    int slackNs_ = 0;
};

// Steps shared by the drivers that run the transfer program (the update and
// the read-back). OpenTransferPort opens the port in the sensor framing: 0,
// or 1 after the port error box. StartTransferProgram enters boot mode,
// initiates flash programming, switches to the boot framing and downloads
// the transfer program. Started: it runs. Failed: the step's failure (or,
// on the user's stop request, stoppedText; null: the update's text) has been
// shown under `caption` and recorded as the outcome. ProgramRunning: no boot
// answer, but the letters of "boot" came back, so the sensor still runs the
// transfer program of an earlier update; nothing has been shown.
// CloseTransferPort is the closing sequence: "appl", the port closed and
// handed back to the main frame.
enum class TransferStart { Started, Failed, ProgramRunning };
int OpenTransferPort(const char* portName, uint32_t baud);
TransferStart StartTransferProgram(uint32_t baud, uint32_t firstAddressWord, uint32_t secondAddressWord,
                                   const char* caption = kFlashErrorCaption, const char* stoppedText = nullptr);
void CloseTransferPort();
// A failure box; names the port when its device has gone.
void ShowStepError(const char* caption, const char* text);

// The frame that an update's or read-back's notes and boxes go to and that
// gets the port back at the end, for the lifetime of the scope. UpdateFirmware
// and ReadBackFlash open one with the frame their caller gives; a null frame
// leaves the one in force.
class UpdateFrameScope {
public:
    explicit UpdateFrameScope(CMainFrameCore* frame);
    ~UpdateFrameScope();
    UpdateFrameScope(const UpdateFrameScope&) = delete;
    UpdateFrameScope& operator=(const UpdateFrameScope&) = delete;

private:
    CMainFrameCore* previous_;
    bool set_;
};

// Ends the update's record (its marker's lock) when the update ends.
class UpdateRecordScope {
public:
    UpdateRecordScope() = default;
    ~UpdateRecordScope();
    UpdateRecordScope(const UpdateRecordScope&) = delete;
    UpdateRecordScope& operator=(const UpdateRecordScope&) = delete;
};

// What to tell the user at the end about the backup asked for with
// `requested`: where this update saved it, or why it took none (an earlier
// run may have changed the flash; where that run's backup is). Empty when
// none was asked for, or the backup failed (its failure says so).
std::string UpdateBackupNote(const std::string& requested);

// Called around every message box of the update, with true before the box
// and false after it; lets a console front end move its progress display
// out of the way. Empty by default.
void SetUpdateBoxHook(std::function<void(bool before)> hook);
void ShowUpdateBox(const std::string& text, const std::string& caption, BoxIcon icon);

// How the last update ended, for front ends that report a result code:
// the stage (0 nothing ran, 1 refused (the file), 2 port, 3 boot entry, 4 flash
// initiation, 5 download, 6 flash, 7 success) and the step's code.
struct UpdateOutcome {
    int stage = 0;
    int code = 0;
};
UpdateOutcome LastUpdateOutcome();
void SetUpdateOutcome(int stage, int code);

// The telegram layer.
struct TelegramResult {
    const char* text;
    int code;
};
// A reply's body is at most 255 bytes (its length byte); the buffer that
// ReceiveTelegram fills, and clears first, holds this many.
constexpr int kTelegramReplyBufferSize = 256;
int SendTelegram(const uint8_t* body, int count, bool perByte);
int ReceiveTelegram(uint8_t* reply);
// Sends the telegram and receives its reply. A reply whose length does not
// fit the telegram (TelegramReplyLengthFor; 2 for an error reply) fails with
// 0x905 and leaves the reply buffer cleared.
TelegramResult ExchangeTelegram(const uint8_t* body, int count, bool perByte);
bool CheckRetry(int& attempts);
// The body length of the transfer program's reply to the telegram `body`
// (other than its error reply); -1 for a command it has no reply for.
int TelegramReplyLengthFor(const uint8_t* body, int count);
// The reply buffer as the last reply left it (kTelegramReplyBufferSize
// bytes): cleared before each reply and after one of the wrong length.
const uint8_t* TelegramReplyBuffer();
// The length byte of the last reply, -1 when it did not arrive.
int TelegramReplyLength();
// A line naming the first flash failure the sensor reported in the last
// sequence, an erase (0x414) or a program block (0x413), with the address it
// stopped at, for whatever failure code ended that sequence; empty for 0 or
// when the sensor reported none.
std::string FlashFailureDetail(int code);

// The flash operations.
int flashProgpowerOn();
int flashProgpowerOff();
int flashGetManufacturer(uint32_t base, uint8_t width, uint8_t type, uint32_t* manufacturer, uint32_t* device);
int FlashDelete(uint8_t width, uint8_t type, uint32_t start, uint32_t count);
// Erase and program refuse (0x601, nothing sent) a range that leaves the
// erased area kFlashBase..kFlashEraseEnd.
int flashProg(const uint8_t* image, size_t size, uint32_t start, uint8_t width, uint8_t type, uint32_t* fileSum,
              uint32_t* stopAddress);
int flashGetChecksum(uint8_t width, uint32_t start, uint32_t count, uint32_t* sum);
int flashProgEnd();
