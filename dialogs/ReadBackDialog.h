// The flash read-back dialogs, without a toolkit: "Backup Flash" saves the
// whole flash into a file, "Verify Flash" compares it with a firmware file.
// Each checks its file first, reads on a worker of its own with two bars
// (the transfer-program download and the read), can be stopped (the reads
// end after the telegram in flight and the sensor is restarted) and ends
// with the result that duxk backup / duxk verify print.
#pragma once

#include "dialogs/DialogView.h"
#include "dialogs/Worker.h"
#include "update/ReadBack.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

class CMainFrameCore;

// Template and control ids of the read-back dialog. The file field, its
// button, the download bar, Execute and the status line have the ids of the
// update dialog's.
constexpr int IDD_READBACK = 133;
constexpr int IDC_READBACK_FILE = 1000;
constexpr int IDC_READBACK_BROWSE = 1001;
constexpr int IDC_READBACK_DOWNLOAD = 1002;
constexpr int IDC_READBACK_EXECUTE = 1005;
constexpr int IDC_READBACK_STATUS = 1006;
constexpr int IDC_READBACK_READ = 1014;
constexpr int IDC_READBACK_READ_LABEL = 1015;
constexpr int IDC_READBACK_FILE_LABEL = 1016;

enum class ReadBackKind { Backup, Verify };

// How a read-back ended.
enum class ReadBackOutcome {
    NotRun,
    ReadFailed,   // the read did not complete (its box has been shown)
    WriteFailed,  // backup: the flash was read, the file could not be written
    Saved,        // backup: the file holds the whole flash
    Matches,      // verify: the flash equals the file
    Differs,      // verify: the flash differs
};

struct ReadBackResult {
    ReadBackKind kind = ReadBackKind::Backup;
    ReadBackOutcome outcome = ReadBackOutcome::NotRun;
    std::string file;
    size_t bytes = 0;            // bytes compared (verify)
    FlashDifference difference;  // verify
    std::string writeError;      // backup: why the file could not be written
};

// One read-back, as the dialog's worker (and a console's) runs it: the whole
// flash read and written into result.file (backup), or as many bytes as the
// image holds read and compared with it (verify), through the transfer
// program on the frame's port and rate; progress goes to `progress`. The
// port is handed back to the frame at the end; failures of the read have
// been shown in the frame's boxes. fast: the link's fast echoes.
ReadBackResult PerformReadBack(ReadBackKind kind, CMainFrameCore& frame, const std::string& file,
                               const std::vector<uint8_t>& image, std::atomic<double>& progress, bool fast);

// The result in the words of duxk backup / duxk verify (their standard
// output, or the text after "duxk: " for a file that could not be written);
// empty when the read failed or did not run.
std::string ReadBackMessage(const ReadBackResult& result);

class IReadBackView : public IDialogView {
public:
    virtual std::string FileText() = 0;
    virtual void SetFileText(const std::string& text) = 0;
    virtual void SetBars(int download, int read) = 0;
    virtual void EnableExecute(bool enable) = 0;
    // The status line under the bars.
    virtual void SetStatusText(const std::string& text) = 0;
    // A question with Yes and No buttons, owned by the dialog; true for Yes.
    virtual bool AskYesNo(const std::string& text, const std::string& caption) = 0;
    // As for the update dialog: called on the worker's thread when the read
    // has ended; the window calls ReadBackDialog::OnWorkerEnded on its own.
    virtual void PostWorkerEnded() = 0;
};

class ReadBackDialog {
public:
    static constexpr int kTimerId = 5063;
    static constexpr int kTimerMs = 100;

    ReadBackDialog(CMainFrameCore& frame, IReadBackView& view, ReadBackKind kind);
    ~ReadBackDialog();
    ReadBackDialog(const ReadBackDialog&) = delete;
    ReadBackDialog& operator=(const ReadBackDialog&) = delete;

    // "Backup Flash" / "Verify Flash": the caption and the result boxes'.
    static const char* Title(ReadBackKind kind);
    // "Backup File" / "Firmware File", and the read bar's label.
    static const char* FileLabel(ReadBackKind kind);
    static const char* ReadLabel(ReadBackKind kind);

    void OnInitDialog();
    void OnTimer();
    // Checks the file (refusals in "File Error" boxes; a backup over an
    // existing file asks first unless the save dialog asked already) and
    // starts the read. False when nothing started.
    bool OnExecute();
    // "...": a save dialog for the backup, an open dialog for the firmware.
    void OnBrowse();
    // Escape, Cancel, the close box. While the read runs it is asked to stop
    // (false: the dialog stays until the worker has ended); otherwise true.
    bool OnCancel();
    // Enter while the read runs: the dialog waits for it (as the update's).
    // True when the window may go at once; otherwise, after
    // PostWorkerEnded, OnWorkerEnded says so.
    bool BeginClose();
    // On the window thread after PostWorkerEnded: shows the result, and
    // returns true when the dialog is to end now (a close or a stop was
    // asked for meanwhile).
    bool OnWorkerEnded();
    void FinishClose();

    bool Running() const { return running_; }
    ReadBackKind Kind() const { return kind_; }
    const ReadBackResult& Result() const { return result_; }

private:
    CMainFrameCore& frame_;
    IReadBackView& view_;
    ReadBackKind kind_;
    std::atomic<double>& progress_;
    Worker worker_;
    bool running_ = false;
    bool closing_ = false;
    bool stopAsked_ = false;
    // The name the save dialog confirmed (it asked before naming an
    // existing file).
    std::string confirmedPath_;
    std::vector<uint8_t> image_;  // verify: the firmware file, read once
    // Written by the worker, read after its end.
    ReadBackResult result_;
};
