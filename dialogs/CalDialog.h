// The calibration dialog, without a toolkit: the default file name, the
// file chooser, the Save and Load buttons and the 100 ms tick, over the
// calibration transfer (calibration/CalTransfer). Status texts go to the
// main window, boxes and the progress bar to the dialog.
#pragma once

#include "calibration/CalTransfer.h"
#include "dialogs/DialogView.h"

#include <memory>
#include <string>

class CMainFrameCore;

constexpr int IDD_CALIBRATION = 132;
constexpr int IDC_CAL_FILE = 1009;
constexpr int IDC_CAL_BROWSE = 1010;
constexpr int IDC_CAL_SAVE = 1011;
constexpr int IDC_CAL_LOAD = 1012;
constexpr int IDC_CAL_PROGRESS = 1013;

class ICalView : public IDialogView {
public:
    virtual std::string FileText() = 0;
    virtual void SetFileText(const std::string& text) = 0;
    virtual void SetProgress(int position) = 0;
};

class CalDialog {
public:
    static constexpr int kTimerId = 5062;
    static constexpr int kTimerMs = 100;

    CalDialog(CMainFrameCore& frame, ICalView& view);
    ~CalDialog();
    CalDialog(const CalDialog&) = delete;
    CalDialog& operator=(const CalDialog&) = delete;

    // The default name (current directory and serial number), the port
    // reopened when it is closed; the window then starts its timer.
    void OnInitDialog();
    void OnBrowse();
    void OnSave();
    void OnLoad();
    void OnTimer();
    // The window goes: the transfer stops at once.
    void OnDestroy();

    // A load has put the file's records into the sensor in this opening.
    bool SensorChanged() const { return transfer_->LoadsDone() > 0; }
    const CalTransfer& Transfer() const { return *transfer_; }

private:
    class Sink;
    CMainFrameCore& frame_;
    ICalView& view_;
    std::unique_ptr<Sink> sink_;
    std::unique_ptr<CalTransfer> transfer_;
};
