#include "dialogs/ReadBackDialog.h"

#include "dialogs/FileChecks.h"
#include "dialogs/UpdateDialog.h"
#include "platform/Files.h"
#include "serial/Link.h"
#include "session/MainFrame.h"
#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <cstdio>

namespace {

const char kStoppingText[] = "Stopping after the telegram in flight; the sensor is then restarted...";

std::string Capitalised(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
    return text;
}

}  // namespace

std::string ReadBackMessage(const ReadBackResult& r) {
    char detail[128];
    switch (r.outcome) {
    case ReadBackOutcome::Saved:
        std::snprintf(detail, sizeof detail, " (%u bytes, 0x%05X-0x%05X)", static_cast<unsigned>(kFlashSize),
                      static_cast<unsigned>(kFlashBase), static_cast<unsigned>(kFlashBase + kFlashSize - 1));
        return "Flash saved to " + r.file + detail;
    case ReadBackOutcome::Matches:
        std::snprintf(detail, sizeof detail, " (%zu bytes from 0x%05X)", r.bytes, static_cast<unsigned>(kFlashBase));
        return "Flash matches " + r.file + detail;
    case ReadBackOutcome::Differs:
        std::snprintf(detail, sizeof detail, ": %u of %zu bytes differ, the first at 0x%05X",
                      static_cast<unsigned>(r.difference.count), r.bytes,
                      static_cast<unsigned>(kFlashBase + r.difference.firstOffset));
        return "Flash differs from " + r.file + detail;
    case ReadBackOutcome::WriteFailed: return "cannot write the backup: " + r.file + ": " + r.writeError;
    case ReadBackOutcome::NotRun:
    case ReadBackOutcome::ReadFailed: break;
    }
    return {};
}

ReadBackResult PerformReadBack(ReadBackKind kind, CMainFrameCore& frame, const std::string& file,
                               const std::vector<uint8_t>& image, std::atomic<double>& progress, bool fast,
                               bool replace) {
    ReadBackResult result;
    result.kind = kind;
    result.file = file;
    const std::string port = frame.m_search.szPort, baud = frame.m_search.szBaud;
    SetFastLink(fast);
    const uint32_t count = kind == ReadBackKind::Backup ? kFlashSize : static_cast<uint32_t>(image.size());
    std::vector<uint8_t> data;
    const bool complete = ReadBackFlash(port.c_str(), baud.c_str(), count, data, &progress, &frame);
    SetFastLink(false);
    if (!complete) {
        result.outcome = ReadBackOutcome::ReadFailed;
        return result;
    }
    if (kind == ReadBackKind::Backup) {
        // Written only now that every byte has been read: a new file renamed
        // over the old one, which stays as it was when anything fails.
        // A file at the name is replaced only when the user said so (it
        // may be the only copy of an earlier flash).
        std::string error;
        if (WriteBackupFile(file, data, replace, &error)) {
            result.outcome = ReadBackOutcome::Saved;
        } else {
            result.outcome = ReadBackOutcome::WriteFailed;
            result.writeError = error.rfind(file + ": ", 0) == 0 ? error.substr(file.size() + 2) : error;
        }
        return result;
    }
    result.bytes = image.size();
    result.difference = CompareImages(image.data(), data.data(), image.size());
    result.outcome = result.difference.count == 0 ? ReadBackOutcome::Matches : ReadBackOutcome::Differs;
    return result;
}

ReadBackDialog::ReadBackDialog(CMainFrameCore& frame, IReadBackView& view, ReadBackKind kind)
    : frame_(frame),
      view_(view),
      kind_(kind),
      progress_(kind == ReadBackKind::Backup ? BackupProgress : VerifyProgress) {}

ReadBackDialog::~ReadBackDialog() {
    // The window is gone: the read is asked to stop (the sensor is restarted)
    // rather than left running without anyone to show its end.
    if (running_ && !worker_.Ended()) RequestUpdateStop();
    worker_.Join();
}

const char* ReadBackDialog::Title(ReadBackKind kind) {
    return kind == ReadBackKind::Backup ? "Backup Flash" : "Verify Flash";
}

const char* ReadBackDialog::FileLabel(ReadBackKind kind) {
    return kind == ReadBackKind::Backup ? "Backup File" : "Firmware File";
}

const char* ReadBackDialog::ReadLabel(ReadBackKind kind) {
    return kind == ReadBackKind::Backup ? "Read Flash Memory" : "Verify Flash Memory";
}

void ReadBackDialog::OnInitDialog() {
    DownloadProgress = 0.0;
    progress_ = 0.0;
    view_.SetBars(0, 0);
    view_.SetStatusText("");
}

void ReadBackDialog::OnTimer() {
    // One read per opening, as the update: the worker serves one start.
    view_.EnableExecute(frame_.m_bSensorFound.load() != 0 && !worker_.Started());
    view_.SetBars(BarPosition(DownloadProgress.load()), BarPosition(progress_.load()));
}

bool ReadBackDialog::OnExecute() {
    if (worker_.Started()) return false;
    const std::string path = view_.FileText();
    // Whether a file at the name may be replaced: the user confirmed it
    // (in the save dialog or the question below).
    bool replace = false;
    if (kind_ == ReadBackKind::Backup) {
        if (path.empty()) {
            view_.ShowBox("Please enter a filename", kFileErrorCaption, BoxIcon::Error);
            return false;
        }
        std::string why;
        replace = path == confirmedPath_;
        OutputFileState state = CheckOutputFile(path, replace, &why);
        if (state == OutputFileState::Exists) {
            if (!view_.AskYesNo(path + " already exists.\nDo you want to replace it?", Title(kind_))) return false;
            replace = true;
            state = CheckOutputFile(path, true, &why);
        }
        if (state != OutputFileState::Ok) {
            view_.ShowBox(why, kFileErrorCaption, BoxIcon::Error);
            return false;
        }
    } else {
        // Read once, before the sensor is touched, with the update's checks.
        FirmwareInput input = ReadFirmwareInput(path);
        if (!input.Ok()) {
            view_.ShowBox(FirmwareRefusalText(input), kFileErrorCaption, BoxIcon::Error);
            return false;
        }
        image_ = std::move(input.image);
    }

    result_ = ReadBackResult{};
    DownloadProgress = 0.0;
    progress_ = 0.0;
    ClearUpdateStop();
    running_ = true;
    stopAsked_ = false;
    view_.EnableExecute(false);
    view_.SetStatusText("");
    const bool fast = CommandLineHasFastSwitch(frame_.m_strCmdLine);
    worker_.Start([this, path, fast,
                   replace] { result_ = PerformReadBack(kind_, frame_, path, image_, progress_, fast, replace); },
                  [this] { view_.PostWorkerEnded(); });
    return true;
}

void ReadBackDialog::OnBrowse() {
    std::string path = view_.FileText();
    if (!view_.AskFile(FirmwareFileQuestion(path, kind_ == ReadBackKind::Backup), path)) return;
    view_.SetFileText(path);
    if (kind_ == ReadBackKind::Backup) confirmedPath_ = path;
}

bool ReadBackDialog::OnCancel() {
    if (!running_) return true;
    if (!stopAsked_) {
        stopAsked_ = true;
        RequestUpdateStop();
        view_.SetStatusText(kStoppingText);
    }
    return false;
}

bool ReadBackDialog::BeginClose() {
    closing_ = true;
    return !running_;
}

bool ReadBackDialog::OnWorkerEnded() {
    if (!running_) return false;
    worker_.Join();
    running_ = false;
    ClearUpdateStop();
    const std::string message = ReadBackMessage(result_);
    view_.SetStatusText(message);
    // A read that did not complete leaves no full bar behind.
    if (result_.outcome == ReadBackOutcome::ReadFailed) progress_ = 0.0;
    view_.SetBars(BarPosition(DownloadProgress.load()), BarPosition(progress_.load()));
    switch (result_.outcome) {
    case ReadBackOutcome::Saved:
    case ReadBackOutcome::Matches: view_.ShowBox(message, Title(kind_), BoxIcon::Information); break;
    case ReadBackOutcome::Differs: view_.ShowBox(message, Title(kind_), BoxIcon::Warning); break;
    case ReadBackOutcome::WriteFailed: view_.ShowBox(Capitalised(message), kFileErrorCaption, BoxIcon::Error); break;
    case ReadBackOutcome::NotRun:
    case ReadBackOutcome::ReadFailed: break;
    }
    return closing_ || stopAsked_;
}

void ReadBackDialog::FinishClose() { worker_.Join(); }
