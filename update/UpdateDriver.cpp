// The update driver: opens the port, brings the sensor into boot mode, runs
// the download and the flash sequence, and turns every result into words.
#include "update/Update.h"
#include "update/UpdateDetail.h"
#include "update/ReadBack.h"

#include "update/Recovery.h"
#include "update/Resync.h"

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "serial/PortDiagnosis.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <thread>

#ifdef __linux__
#include <sys/prctl.h>
#endif

std::atomic<double> DownloadProgress{0.0};
std::atomic<double> EraseProgress{0.0};
std::atomic<double> ProgramProgress{0.0};

namespace {

std::mutex g_hookMutex;
std::function<void(bool)> g_boxHook;

std::atomic<CMainFrameCore*> g_frame{nullptr};

std::atomic<int> g_outcomeStage{0};
std::atomic<int> g_outcomeCode{0};

// Why this update took no backup although one was asked for (empty: it
// took it, or none was asked for).
std::mutex g_backupNoteMutex;
std::string g_backupSkipped;

void SetBackupSkipped(const std::string& note) {
    std::lock_guard<std::mutex> lock(g_backupNoteMutex);
    g_backupSkipped = note;
}

// Line settings of the phases.
constexpr uint8_t kDataBits = 8;
constexpr uint32_t kQueueSize = 4000;
constexpr uint32_t kEventMask = 0x1FD;  // every event but the event character

bool IsBootAnswer(const char* line) {
    return line && (std::strstr(line, "boot__") || std::strstr(line, "syntax") || std::strstr(line, "SYNTAX"));
}

// The answer to "flsh" carries the first four letters of "flash" from its
// fifth character on (a shorter line cannot match).
bool IsFlashAnswer(const char* line) {
    return line && std::strlen(line) >= 8 && std::strncmp(line + 4, "flas", 4) == 0;
}

const char kStoppedBeforeChange[] = "Update stopped by the user before the sensor's firmware was changed.";
const char kStoppedInProgram[] =
    "Update stopped by the user. The sensor is left in its update program, possibly without firmware:\n"
    "run the same update again to finish it.";

// A transfer program still running from an interrupted update takes "boot"
// for telegram bytes of unknown commands and sends single letters of it
// back, which collect into lines made of 'b', 'o' and 't' alone.
bool LooksLikeProgramEchoes(const std::string& line) {
    return !line.empty() && line.find_first_not_of("bot") == std::string::npos;
}

// On a real line the program's receiver, set to the boot framing, takes the
// host's 10-bit characters for something else, and what comes back is no
// text at all: bytes outside printable text, or bytes that never end a line
// (a firmware ends every answer with a line end).
bool LooksLikeProgramAnswers(const std::string& lastLine) {
    if (LooksLikeProgramEchoes(lastLine)) return true;
    for (unsigned char c : lastLine)
        if ((c < 0x20 && c != '\t') || c >= 0x7F) return true;
    return lastLine.empty() && ReplyLength() > 0;
}

// Shown while the update runs, where the front end shows status texts.
void ShowUpdateNote(const std::string& text) {
    if (CMainFrameCore* frame = g_frame.load()) {
        frame->Ui().SetStatusText(text);
    } else {
        std::cerr << text << std::endl;
    }
}

// The flash sequence, with the transfer program running and the line in the
// boot framing, and its result in words.
void RunFlashSequence(const std::vector<uint8_t>& image, const UpdateOptions& options) {
    CDUXKSerial& channel = GetSensorChannel();
    channel.TraceMessage("Start LoadFlashContents()");
    const int result = LoadFlashContents(image.data(), image.size(), options);
    if (result != 0) {
        SetUpdateOutcome(6, result);
        std::string text = result == kUpdateStopped ? kStoppedInProgram : FlashResultMessage(result);
        std::string detail = ReadBackResultDetail(result);
        if (detail.empty()) detail = FlashFailureDetail(result);
        if (!detail.empty()) text += "\n" + detail;
        ShowFlashError(text.c_str());
        return;
    }

    channel.TraceMessage("End LoadFlashContents()");
    RemoveUpdateMarker();
    SetUpdateOutcome(7, 0);
    ShowUpdateBox(kUpdateSuccessText, kUpdateSuccessCaption, BoxIcon::None);
    channel.SetParams(38400, kDataBits, NOPARITY, ONESTOPBIT);
    channel.SetFlowControl(0);
}

// The options of an update that goes on in the transfer program of an
// earlier run: that run may have erased or programmed the flash already, so
// a backup now would save whatever it left instead of the firmware that was
// there before.
UpdateOptions WithoutBackupAfterEarlierRun(const UpdateOptions& options) {
    NoteProgramRunning();
    UpdateOptions resumed = options;
    std::string note;
    if (!resumed.backupPath.empty() && !UpdateRecordAllowsBackup(&note)) {
        resumed.backupPath.clear();
        SetBackupSkipped(note);
    }
    return resumed;
}

// Looks for the transfer program of an interrupted update on the open port
// (boot framing at baud) and, when it answers, runs the flash sequence from
// its start. False, with the line back in the sensor framing, when no
// program answered.
bool ContinueInTransferProgram(uint32_t baud, const std::vector<uint8_t>& image, const UpdateOptions& updateOptions,
                               bool announce) {
    CDUXKSerial& channel = GetSensorChannel();
    channel.SetParams(baud, kDataBits, EVENPARITY, TWOSTOPBITS);
    channel.SetFlowControl(0);
    channel.Purge();
    ResyncOptions options;
    options.baud = baud;
    options.stop = [] { return UpdateStopRequested(); };
    // Only the record of an interrupted update is worth the long wake-up
    // (minutes at the low rates). Without one, the program was guessed from
    // boot answers that were no text, which a sensor answering at another
    // rate than the one given gives as well: the zeros that complete any
    // telegram must do.
    options.longWake = !announce;
    const ResyncResult found = ResyncTransferProgram(options);
    switch (found) {
    case ResyncResult::Found:
        channel.TraceMessage("Continuing in the transfer program");
        if (announce)
            ShowUpdateNote("Sensor found in its update program at " + channel.PortName() + ", " + std::to_string(baud) +
                           " baud \xE2\x80\x94 continuing the interrupted update");
        {
            const UpdateOptions resumed = WithoutBackupAfterEarlierRun(updateOptions);
            std::string why;
            if (!WriteUpdateMarker(channel.PortName(), std::to_string(baud), "program", &why))
                channel.TraceMessage(("Marker not written: " + why).c_str());
            DownloadProgress = 100.01;
            RunFlashSequence(image, resumed);
        }
        return true;
    case ResyncResult::Stopped:
        SetUpdateOutcome(6, kUpdateStopped);
        ShowFlashError(kStoppedInProgram);
        return true;
    default:
        channel.SetParams(baud, kDataBits, NOPARITY, ONESTOPBIT);
        channel.SetFlowControl(0);
        return false;
    }
}

// Fast mode's look for the boot answer: every line that comes before the
// deadline, instead of the one line read after a fixed wait. The last line
// that was no boot answer is kept in lastLine.
const char* ReadBootAnswerUntil(uint64_t deadlineMs, std::string& lastLine) {
    for (;;) {
        const uint64_t now = TickCountMs();
        if (now >= deadlineMs) return nullptr;
        ReplyTimeout = static_cast<double>(deadlineMs - now) / 1000.0;
        const char* line = ReadReply();
        if (!line || IsBootAnswer(line)) return line;
        lastLine = line;
    }
}

// Fast mode takes an answer as soon as its line is complete. A stray LF
// of an earlier line (one that came after the purge) makes the CR end the
// next line, and its LF is then still on the way. It is awaited before the
// purge that follows, so that nothing of the answer is left to be read later
// (as the loader's verdict, say). Standard mode's fixed waits did this.
void LetAnswerEnd(CDUXKSerial& channel) {
    if (LastReplyTerminator() != '\r') return;
    const uint64_t end = TickCountMs() + 250;
    while (channel.ReceivedCount() == 0 && !channel.IsReceiveEnded()) {
        const uint64_t now = TickCountMs();
        if (now >= end) return;
        channel.WaitReceived(static_cast<uint32_t>(end - now));
    }
}

// Fast mode takes the boot answer as soon as its line is there. A line the
// application firmware still owed (its "syntax error_" for garbage a run at
// another rate left in its command line) can come just before the real
// answer and be taken for it; the real one then came after the purge and was
// read as the answer to "flsh", and the second "flsh" went into the loader
// as download bytes. So the line must first stay quiet for a while, within
// the second standard mode waits before it reads.
void LetLineSettle(CDUXKSerial& channel, uint64_t askedAtMs) {
    constexpr uint64_t kQuietMs = 150;
    const uint64_t limit = askedAtMs + 1000;
    uint64_t quietFrom = TickCountMs();
    for (;;) {
        const uint64_t now = TickCountMs();
        const uint64_t until = std::min(limit, quietFrom + kQuietMs);
        if (now >= until || channel.IsReceiveEnded()) return;
        if (channel.ReceivedCount() == 0) {
            channel.WaitReceived(static_cast<uint32_t>(until - now));
            continue;
        }
        while (channel.ReceivedCount() != 0) channel.GetByte();
        quietFrom = TickCountMs();
    }
}

}  // namespace

UpdateFrameScope::UpdateFrameScope(CMainFrameCore* frame) : previous_(g_frame.load()), set_(frame != nullptr) {
    if (set_) g_frame.store(frame);
}

UpdateFrameScope::~UpdateFrameScope() {
    if (set_) g_frame.store(previous_);
}

void SetUpdateBoxHook(std::function<void(bool before)> hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_boxHook = std::move(hook);
}

void ShowUpdateBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    std::function<void(bool)> hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_boxHook;
    }
    if (hook) hook(true);
    if (CMainFrameCore* frame = g_frame.load()) {
        frame->Ui().ShowMessageBox(text, caption, icon);
    } else {
        std::cerr << caption << ": " << text << std::endl;
    }
    if (hook) hook(false);
}

UpdateOutcome LastUpdateOutcome() { return UpdateOutcome{g_outcomeStage.load(), g_outcomeCode.load()}; }

void SetUpdateOutcome(int stage, int code) {
    g_outcomeCode.store(code);
    g_outcomeStage.store(stage);
}

const char* DownloadResultMessage(int code) {
    switch (code) {
    case 1: return "Common error";
    case 2: return "File open error";
    case 4: return "Checksum error";
    case 5: return "Parity error";
    case 6: return "Frame error";
    case 7: return "Overrun error";
    case 8: return "Could not download a block";
    case 9: return "Wrong number of bytes downloaded";
    case 10: return "Could not evaluate download result";
    case 11: return "Unknown download result";
    case kMarkerWriteFailed: return kMarkerFailedText;
    default: return "Transfer error";
    }
}

const char* FlashResultMessage(int code) {
    switch (code) {
    case 0: return kUpdateSuccessText;
    case -1: return "End of file reached";
    case -2: return "File read error";
    case -3: return "Unknown token read";
    case 0x113: return "Common transfer timeout occurred";
    case 0x115: return "Host checksum error";
    case 0x301: return "Transferprogram not accessable";
    case 0x310: return "Target Checksum error";
    case 0x311: return "Target response timeout";
    case 0x313: return "Parity error in target";
    case 0x314: return "Frame error in target";
    case 0x315: return "Overrun error in target";
    case 0x316: return "Target transfer error";
    case 0x411: return "Switching on programming voltage failed";
    case 0x412: return "Switching off programming voltage failed";
    case 0x601: return "Parameter check error";
    case 0x603: return "FLASH eprom not compatible";
    case 0x604: return "Unknown FLASH eprom";
    case 0x901: return "Parity error";
    case 0x902: return "Frame error";
    case 0x903: return "Overrun error";
    case 0x904: return "Checksum error";
    case 0x905: return "Response telegram not received";
    case 0x7777: return "Programming checksum error";
    case kReadBackDiffers: return "Flash contents differ from the firmware file";
    case kReadBackReadFailed: return "Reading the flash failed";
    case kBackupWriteFailed: return "Backup file could not be written";
    default: return "Unknown transfer error";
    }
}

// The port's own error box; `why` (may be empty) explains a code that
// alone would leave the user guessing: in use by whom, missing permission.
int ShowPortError(int code, const char* text, const std::string& why) {
    char message[256];
    std::snprintf(message, sizeof message, "%s\n(error code %d)", text, code);
    ShowUpdateBox(why.empty() ? std::string(message) : std::string(message) + "\n" + why, "DUXKUpdate", BoxIcon::Error);
    return 1;
}

// A step that failed because the port went away says so and names the
// port: the step's own text alone would blame the sensor.
void ShowStepError(const char* caption, const char* text) {
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.IsDeviceGone()) {
        const std::string message = std::string(text) + "\nThe connection to " + channel.PortName() +
                                    " was lost (adapter unplugged or device removed).";
        ShowUpdateBox(message, caption, BoxIcon::None);
        return;
    }
    ShowUpdateBox(text, caption, BoxIcon::None);
}

void ShowFlashError(const char* text) { ShowStepError(kFlashErrorCaption, text); }

int OpenTransferPort(const char* portName, uint32_t baud) {
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.Open(portName, kQueueSize, kQueueSize, true) != 0) {
        const uint32_t code = channel.LastError();
        SetUpdateOutcome(2, static_cast<int>(code));
        return ShowPortError(static_cast<int>(code), "Unable to open COM-port",
                             DescribePortOpenFailure(portName, code));
    }
    if (channel.SetParams(baud, kDataBits, NOPARITY, ONESTOPBIT) != 0) {
        SetUpdateOutcome(2, static_cast<int>(channel.LastError()));
        return ShowPortError(static_cast<int>(channel.LastError()), "Unable to set COM-port setting");
    }
    channel.SetEventMask(kEventMask);
    channel.SetFlowControl(0);
    return 0;
}

TransferStart StartTransferProgram(uint32_t baud, uint32_t firstAddressWord, uint32_t secondAddressWord,
                                   const char* caption, const char* stoppedText) {
    CDUXKSerial& channel = GetSensorChannel();
    if (!stoppedText) stoppedText = kStoppedBeforeChange;

    const bool fast = FastLink();
    StopWatch(0, false);
    ReplyTimeout = 0.3;
    channel.Purge();
    std::string lastLine;
    for (;;) {
        SendCommand("boot");
        const uint64_t askedAt = TickCountMs();
        const char* line;
        if (fast) {
            // The same deadline as the wait and the read below; the answer
            // is taken as soon as it is there.
            line = ReadBootAnswerUntil(askedAt + 1300, lastLine);
        } else {
            WaitSeconds(1.0);
            line = ReadReply();
        }
        if (IsBootAnswer(line)) {
            if (fast) {
                LetAnswerEnd(channel);
                LetLineSettle(channel, askedAt);
            }
            break;
        }
        if (line) lastLine = line;
        if (UpdateStopRequested()) {
            SetUpdateOutcome(3, kUpdateStopped);
            ShowStepError(caption, stoppedText);
            return TransferStart::Failed;
        }
        // Asking a port whose device is gone again only delays the failure.
        if (StopWatch(0, true) > 10.0 || channel.IsReceiveEnded()) {
            // No boot answer, but the letters of "boot" coming back, or
            // what a receiver in the boot framing makes of them: the sensor
            // still runs the transfer program of an earlier update.
            if (!channel.IsReceiveEnded() && LooksLikeProgramAnswers(lastLine)) return TransferStart::ProgramRunning;
            SetUpdateOutcome(3, 0);
            ShowStepError(caption, "Entering bootmode failed");
            return TransferStart::Failed;
        }
    }

    channel.TraceMessage("In boot mode");
    // From "flsh" on the boot loader takes everything as download bytes: a
    // later run must let it give up before it sends anything there. Without
    // that record nothing could take an interrupted update up: the update
    // stops here, and the closing "appl" sends the sensor back to its
    // application.
    std::string markerError;
    if (!WriteUpdateMarker(channel.PortName(), std::to_string(baud), "download", &markerError)) {
        SetUpdateOutcome(4, kMarkerWriteFailed);
        std::string text = kMarkerFailedText;
        text += '\n';
        text += markerError;
        ShowStepError(caption, text.c_str());
        return TransferStart::Failed;
    }
    ReplyTimeout = 10.0;
    channel.TraceMessage("Sending 'flsh'");
    channel.Purge();
    bool initiated = false;
    for (int attempt = 0; attempt < 10 && !initiated && !channel.IsReceiveEnded(); ++attempt) {
        SendCommand("flsh");
        if (fast) {
            ReplyTimeout = 10.5;  // the 0.5 s pause and the 10 s read in one
            initiated = IsFlashAnswer(ReadReply());
            ReplyTimeout = 10.0;
        } else {
            WaitSeconds(0.5);
            initiated = IsFlashAnswer(ReadReply());
        }
        if (!initiated && UpdateStopRequested()) {
            SetUpdateOutcome(4, kUpdateStopped);
            ShowStepError(caption, stoppedText);
            return TransferStart::Failed;
        }
    }
    if (initiated && fast) LetAnswerEnd(channel);
    if (!initiated) {
        SetUpdateOutcome(4, 0);
        ShowStepError(caption, "Flash programming initiation failed");
        return TransferStart::Failed;
    }

    channel.Purge();
    channel.SetParams(baud, kDataBits, EVENPARITY, TWOSTOPBITS);
    channel.SetFlowControl(0);

    channel.TraceMessage("Start LoadTransferPrg()");
    const int result = LoadTransferPrg(firstAddressWord, secondAddressWord);
    if (result != 0) {
        // A verdict other than 'T' should leave the sensor in its boot
        // firmware, but a 'T' garbled on its way ('P' is one bit away), or
        // one that never came, leaves the program running: the marker then
        // sends the next run looking for it first (which a sensor in its
        // own firmware ends at once). A download stopped half-way keeps its
        // download marker: the loader still waits for the rest.
        if (result == 4 || result == 5 || result == 6 || result == 7 || result == 10 || result == 11)
            WriteUpdateMarker(channel.PortName(), std::to_string(baud), "program");
        SetUpdateOutcome(5, result);
        std::string text = result == kUpdateStopped ? stoppedText : DownloadResultMessage(result);
        if (result == kMarkerWriteFailed) {
            text += '\n';
            text += LastMarkerError();
        }
        ShowStepError(caption, text.c_str());
        return TransferStart::Failed;
    }

    channel.TraceMessage("End LoadTransferPrg()");
    if (!fast) WaitSeconds(0.2);
    return TransferStart::Started;
}

void CloseTransferPort() {
    CDUXKSerial& channel = GetSensorChannel();
    DownloadProgress = 0.0;
    EraseProgress = 0.0;
    ProgramProgress = 0.0;

    WaitSeconds(0.9);
    channel.Write("appl\n", 5);
    WaitSeconds(0.2);
    channel.Close();
    WaitSeconds(0.2);

    if (CMainFrameCore* frame = g_frame.load()) frame->ReopenSensorPort();
}

void ProgramFlash(uint32_t baud, const std::vector<uint8_t>& image, uint32_t firstAddressWord,
                  uint32_t secondAddressWord, const UpdateOptions& options) {
    switch (StartTransferProgram(baud, firstAddressWord, secondAddressWord)) {
    case TransferStart::Started: RunFlashSequence(image, options); return;
    case TransferStart::ProgramRunning:
        if (ContinueInTransferProgram(baud, image, options, true)) return;
        SetUpdateOutcome(3, 0);
        ShowFlashError("Entering bootmode failed");
        return;
    case TransferStart::Failed: return;
    }
}

// The sensor was found still running the transfer program: take up the
// flash sequence from its start; should the program be gone meanwhile
// (the sensor restarted), run a complete update instead.
static void ResumeFlash(uint32_t baud, const std::vector<uint8_t>& image, uint32_t firstAddressWord,
                        uint32_t secondAddressWord, const UpdateOptions& options) {
    CDUXKSerial& channel = GetSensorChannel();
    channel.TraceMessage("Resuming an interrupted update");
    StopWatch(0, false);
    if (ContinueInTransferProgram(baud, image, options, false)) return;
    if (channel.IsReceiveEnded()) {
        SetUpdateOutcome(6, 0x301);
        ShowFlashError(FlashResultMessage(0x301));
        return;
    }
    ShowUpdateNote("The sensor is no longer in its update program: starting a complete update");
    ProgramFlash(baud, image, firstAddressWord, secondAddressWord, options);
}

FastLinkScope::FastLinkScope(bool on) {
    SetFastLink(on);
#ifdef __linux__
    const int slack = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    if (slack > 0 && prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0) == 0) slackNs_ = slack;
#endif
}

FastLinkScope::~FastLinkScope() {
    SetFastLink(false);
#ifdef __linux__
    if (slackNs_ > 0) prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(slackNs_), 0, 0, 0);
#endif
}

int UpdateFirmware(const char* transferPrgName, const char* firmwarePath, const char* portName, const char* baudText,
                   uint32_t firstAddressWord, uint32_t secondAddressWord, const UpdateOptions& options) {
    (void)transferPrgName;  // the transfer program is the built-in image
    const UpdateFrameScope frame(options.frame);
    SetUpdateOutcome(0, 0);
    const FastLinkScope fastLink(options.fast);

    // The image is read once, whole, before the sensor is touched; the
    // update sends nothing but this copy, whatever happens to the file
    // meanwhile. A file that cannot be used leaves the sensor alone.
    std::vector<uint8_t> image;
    std::string why;
    const FirmwareFileState state = ReadFirmwareFile(firmwarePath, image, &why);
    if (state != FirmwareFileState::Ok) {
        SetUpdateOutcome(1, static_cast<int>(state));
        ShowFlashError((std::string(FlashResultMessage(-2)) + "\n" + why).c_str());
        return 0;
    }

    // The record of the update (the marker of its sensor) must be possible
    // before the sensor is touched: without it an interrupted update could
    // not be taken up, nor told from another sensor's.
    ForgetBackupWritten();
    SetBackupSkipped({});
    UpdateRecordRequest record;
    record.serial = options.frame ? options.frame->m_search.szSerial : "";
    record.port = portName;
    record.backupPath = options.backupPath;
    record.resume = options.resume;
    why.clear();
    if (!BeginUpdateRecord(record, &why)) {
        SetUpdateOutcome(0, kMarkerWriteFailed);
        ShowFlashError((std::string("The update was not started: ") + why).c_str());
        return 0;
    }
    const UpdateRecordScope recordScope;
    // An earlier run of this update may have changed the flash: its backup,
    // if it took one, is the one that holds the old firmware.
    UpdateOptions effective = options;
    std::string note;
    if (!effective.backupPath.empty() && !UpdateRecordAllowsBackup(&note)) {
        effective.backupPath.clear();
        SetBackupSkipped(note);
    }

    const uint32_t baud = CDUXKSerial::BaudFromText(baudText);
    if (OpenTransferPort(portName, baud) != 0) return 1;

    if (effective.resume)
        ResumeFlash(baud, image, firstAddressWord, secondAddressWord, effective);
    else
        ProgramFlash(baud, image, firstAddressWord, secondAddressWord, effective);

    CloseTransferPort();
    return 0;
}

UpdateRecordScope::~UpdateRecordScope() { EndUpdateRecord(); }

std::string UpdateBackupNote(const std::string& requested) {
    if (requested.empty()) return {};
    if (BackupFileWritten()) return "Flash as it was before the update saved in " + requested;
    std::lock_guard<std::mutex> lock(g_backupNoteMutex);
    return g_backupSkipped;
}

unsigned UpdateWorker(UpdateJob* job) {
    // The window sets the start flag or, when it closes, the counter, and
    // wakes this wait.
    {
        std::unique_lock<std::mutex> lock(job->wakeMutex);
        job->wake.wait(lock, [job] { return job->startFlag.load() != 0 || job->counter.load() != 0; });
    }
    if (job->startFlag.load() != 0) {
        UpdateFirmware(job->transferPrgName, job->firmwarePath, job->portName, job->baudText, job->firstAddressWord,
                       job->secondAddressWord, job->options);
    }
    job->startFlag.store(0);
    job->counter.fetch_add(2);
    return 0;
}

void StartUpdateJob(UpdateJob* job) {
    {
        // Under the lock: the worker either sees the flag before it sleeps
        // or is asleep and gets the wake-up.
        std::lock_guard<std::mutex> lock(job->wakeMutex);
        job->startFlag.store(1);
    }
    job->wake.notify_all();
}

void CloseUpdateJob(UpdateJob* job) {
    {
        std::lock_guard<std::mutex> lock(job->wakeMutex);
        job->counter.fetch_add(1);
    }
    job->wake.notify_all();
}

bool CommandLineHasFastSwitch(const std::string& cmdLine) {
    // A word of its own, in any case: a path that merely contains "/fast"
    // does not count.
    size_t at = 0;
    while (at < cmdLine.size()) {
        while (at < cmdLine.size() && std::isspace(static_cast<unsigned char>(cmdLine[at]))) ++at;
        size_t end = at;
        while (end < cmdLine.size() && !std::isspace(static_cast<unsigned char>(cmdLine[end]))) ++end;
        std::string word = cmdLine.substr(at, end - at);
        for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (word == "/fast") return true;
        at = end;
    }
    return false;
}
