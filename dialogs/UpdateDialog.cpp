#include "dialogs/UpdateDialog.h"

#include "dialogs/FileChecks.h"
#include "session/MainFrame.h"

#include <cmath>
#include <cstdio>

namespace {

constexpr char kTransferPrgName[] = "dux_tra.bin";

template <size_t N>
void CopyText(char (&dest)[N], const char* text) {
    std::snprintf(dest, N, "%s", text);
}

}  // namespace

void FillUpdateJob(UpdateJob& job, CMainFrameCore& frame, const std::string& firmwarePath,
                   const UpdateOptions& choices) {
    CopyText(job.transferPrgName, kTransferPrgName);
    CopyText(job.firmwarePath, firmwarePath.c_str());
    CopyText(job.portName, frame.m_search.szPort);
    CopyText(job.baudText, frame.m_search.szBaud);
    job.firstAddressWord = kLoadAddressWord;
    job.secondAddressWord = kLoadAddressWord;
    job.options = choices;
    // The search found the sensor still in the transfer program of an
    // interrupted update: the update takes it up from there.
    job.options.resume = frame.m_bInUpdateProgram.load() != 0;
    job.options.frame = &frame;
}

double AdvanceEraseProgress(std::atomic<double>& erase) {
    double shown = erase.load();
    if (shown > 0.1) {
        double expected = shown;
        shown += 5.0 / 3.0;
        erase.compare_exchange_strong(expected, shown);
    }
    return shown;
}

int BarPosition(double value) {
    if (!(value > 0)) return 0;
    if (value >= 100) return 100;
    return static_cast<int>(std::trunc(value));
}

UpdateDialog::UpdateDialog(CMainFrameCore& frame, IUpdateView& view) : frame_(frame), view_(view) {}

UpdateDialog::~UpdateDialog() {
    if (!closing_) BeginClose();
    FinishClose();
}

void UpdateDialog::OnInitDialog() {
    shownDownload_ = shownErase_ = shownProgram_ = 0;
    job_.startFlag = 0;
    job_.counter = 0;
    CopyText(job_.transferPrgName, kTransferPrgName);
    CopyText(job_.firmwarePath, "");
    CopyText(job_.portName, "COM2");
    CopyText(job_.baudText, "38400");
    job_.firstAddressWord = kLoadAddressWord;
    job_.secondAddressWord = kLoadAddressWord;
    worker_.Start(
        [this] {
            UpdateWorker(&job_);
            // Looked at only when Execute started an update (ran_).
            const UpdateOutcome outcome = LastUpdateOutcome();
            outcomeStage_ = outcome.stage;
            outcomeCode_ = outcome.code;
        },
        [this] { view_.PostWorkerEnded(); });
}

void UpdateDialog::OnTimer() {
    const bool sensorFound = frame_.m_bSensorFound.load() != 0;
    // The worker serves one update only: once it has ended (it adds 2 to the
    // counter) Execute stays disabled, so no start can be left unserved.
    const bool workerWaiting = job_.counter.load() == 0;
    view_.EnableExecute(sensorFound && job_.startFlag.load() == 0 && shownProgram_ < 99.9 && workerWaiting);

    shownDownload_ = DownloadProgress.load();
    shownErase_ = AdvanceEraseProgress(EraseProgress);
    shownProgram_ = ProgramProgress.load();
    view_.SetBars(BarPosition(shownDownload_), BarPosition(shownErase_), BarPosition(shownProgram_));
}

bool UpdateDialog::OnExecute() {
    if (job_.startFlag.load() != 0) return false;
    if (job_.counter.load() != 0) return false;  // the worker has already ended

    // The same check the update makes before it touches the sensor: an
    // empty, oversized or unreadable file, a directory or a FIFO starts
    // nothing, and the box says what is wrong with it.
    const FirmwareInput input = ReadFirmwareInput(view_.FileText());
    if (!input.Ok()) {
        view_.ShowBox(FirmwareRefusalText(input), kFileErrorCaption, BoxIcon::Error);
        return false;
    }

    UpdateOptions choices;
    // "/fast" on the application's command line, as its other switches.
    choices.fast = CommandLineHasFastSwitch(frame_.m_strCmdLine);
    FillUpdateJob(job_, frame_, input.path, choices);
    view_.EnableExecute(false);
    ran_ = true;
    StartUpdateJob(&job_);
    return true;
}

void UpdateDialog::OnBrowse() {
    std::string path = view_.FileText();
    if (view_.AskFile(FirmwareFileQuestion(path), path)) view_.SetFileText(path);
}

bool UpdateDialog::BeginClose() {
    closing_ = true;
    if (!worker_.Started()) return true;
    // Once: the counter tells the worker that the window goes.
    if (!closeSent_) {
        closeSent_ = true;
        CloseUpdateJob(&job_);
    }
    return worker_.Ended();
}

void UpdateDialog::FinishClose() { worker_.Join(); }

bool UpdateDialog::OnWorkerEnded() { return closing_; }
