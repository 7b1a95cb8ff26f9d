// The firmware update dialog, without a toolkit: the job it fills, its
// worker, its 100 ms tick (the Execute rule and the three bars), the file
// check, the refusal to be cancelled while an update runs and the closing
// handshake with the worker. The Qt and Win32 dialogs create the controls
// and pass their events here.
#pragma once

#include "dialogs/DialogView.h"
#include "dialogs/Worker.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <atomic>
#include <string>

class CMainFrameCore;

// Control ids of the update dialog (template 130).
constexpr int IDD_UPDATE = 130;
constexpr int IDC_UPDATE_FILE = 1000;
constexpr int IDC_UPDATE_BROWSE = 1001;
constexpr int IDC_UPDATE_DOWNLOAD = 1002;
constexpr int IDC_UPDATE_ERASE = 1003;
constexpr int IDC_UPDATE_PROGRAM = 1004;
constexpr int IDC_UPDATE_EXECUTE = 1005;
constexpr int IDC_UPDATE_STATUS = 1006;

// Fills an update job as the update dialog does (and as the command line
// should): the built-in transfer program, the firmware path, the frame's port
// and rate, the two load-address words, a resumed update when the search
// found the sensor still in the transfer program, and the frame to report
// to; fast, verify and backup come from `choices`.
void FillUpdateJob(UpdateJob& job, CMainFrameCore& frame, const std::string& firmwarePath,
                   const UpdateOptions& choices);

// The erase bar's own pace, one 100 ms tick's worth: while an erase runs
// (its value above 0.1) the value moves on by 5/3, so that the bar is full
// after about six seconds whatever the sensor reports. The sum is written
// back only when the worker has not changed the value meanwhile, so its end
// mark (100.01) or reset is never overwritten. Returns the value to show.
double AdvanceEraseProgress(std::atomic<double>& erase);

// The bar position of a progress value: truncated toward zero, held in 0..100.
int BarPosition(double value);

// What the update dialog's window does for its core.
class IUpdateView : public IDialogView {
public:
    virtual std::string FileText() = 0;
    virtual void SetFileText(const std::string& text) = 0;
    virtual void SetBars(int download, int erase, int program) = 0;
    virtual void EnableExecute(bool enable) = 0;
    // Called on the worker's thread once the update (or the worker's wait)
    // has ended: the window posts itself a wake-up and, on its own thread,
    // calls UpdateDialog::OnWorkerEnded.
    virtual void PostWorkerEnded() = 0;
};

class UpdateDialog {
public:
    static constexpr int kTimerId = 5060;
    static constexpr int kTimerMs = 100;

    UpdateDialog(CMainFrameCore& frame, IUpdateView& view);
    // A dialog destroyed without having been closed still ends its worker.
    ~UpdateDialog();
    UpdateDialog(const UpdateDialog&) = delete;
    UpdateDialog& operator=(const UpdateDialog&) = delete;

    // Initialisation: the job's defaults, and the worker started (it waits
    // for Execute or the close). The window starts its 100 ms timer.
    void OnInitDialog();
    // The 100 ms tick.
    void OnTimer();
    // Execute: checks the file (a "File Error" box when it is unusable),
    // fills the job and starts the update. False when nothing started.
    bool OnExecute();
    // "...": the file chooser for firmware files.
    void OnBrowse();
    // Escape, Cancel, the close box: refused while an update runs.
    bool CanCancel() const { return !UpdateRunning(); }

    // Closing handshake. BeginClose tells the worker that the window goes;
    // true when the worker has ended and the window may go at once.
    // Otherwise an update is still running: the window stays (its timer
    // keeps moving the bars) until PostWorkerEnded, then calls FinishClose.
    bool BeginClose();
    void FinishClose();
    // On the window thread after PostWorkerEnded: true when a close waits
    // for it (the window then calls FinishClose and ends its modal run).
    bool OnWorkerEnded();

    bool UpdateRunning() const { return job_.startFlag.load() != 0; }
    bool WorkerEnded() const { return worker_.Ended(); }
    bool Closing() const { return closing_; }
    const UpdateJob& Job() const { return job_; }
    // Whether an update ran in this opening and succeeded.
    // Read once the worker has ended.
    bool Ran() const { return ran_.load(); }
    bool Succeeded() const { return ran_.load() && outcomeStage_.load() == 7; }
    UpdateOutcome Outcome() const { return UpdateOutcome{outcomeStage_.load(), outcomeCode_.load()}; }

private:
    CMainFrameCore& frame_;
    IUpdateView& view_;
    UpdateJob job_;
    Worker worker_;
    double shownDownload_ = 0, shownErase_ = 0, shownProgram_ = 0;
    bool closing_ = false;
    bool closeSent_ = false;
    // Written by the worker when its update has returned.
    std::atomic<bool> ran_{false};
    std::atomic<int> outcomeStage_{0}, outcomeCode_{0};
};
