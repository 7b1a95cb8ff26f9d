#include "dialogs/CalDialog.h"

#include "serial/DUXKSerial.h"
#include "session/MainFrame.h"

// The transfer's progress goes to the dialog's bar and its boxes are owned
// by the dialog; status texts go to the main window.
class CalDialog::Sink : public CalTransferSink {
public:
    Sink(ICalView& view, IFrameUi& window) : CalTransferSink(&window), view_(view) {}
    void SetProgress(int position) override { view_.SetProgress(position); }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        view_.ShowBox(text, caption, icon);
    }

private:
    ICalView& view_;
};

CalDialog::CalDialog(CMainFrameCore& frame, ICalView& view)
    : frame_(frame),
      view_(view),
      sink_(std::make_unique<Sink>(view, frame.Ui())),
      transfer_(std::make_unique<CalTransfer>(frame, sink_.get())) {}

CalDialog::~CalDialog() { OnDestroy(); }

void CalDialog::OnInitDialog() {
    view_.SetFileText(CalTransfer::DefaultFileName(frame_));
    view_.SetProgress(0);
    if (!GetSensorChannel().IsOpen()) frame_.ReopenSensorPort();
}

void CalDialog::OnBrowse() {
    std::string path = view_.FileText();
    if (view_.AskFile(CalibrationFileQuestion(path), path)) view_.SetFileText(path);
    // A save that is still collecting writes to the name shown now.
    transfer_->SetFileName(view_.FileText());
}

void CalDialog::OnSave() { transfer_->OnSave(view_.FileText()); }

void CalDialog::OnLoad() { transfer_->OnLoad(view_.FileText()); }

void CalDialog::OnTimer() { transfer_->Tick(); }

void CalDialog::OnDestroy() {
    // A load cut off by closing the dialog: where the sensor's calibration
    // as it was before is kept.
    if (transfer_->LoadUnderWay()) frame_.Ui().SetStatusText(transfer_->RestoreNote());
    transfer_->Stop();
}
