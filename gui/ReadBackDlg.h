// The flash read-back dialog ("Backup Flash", "Verify Flash"): the controls
// of its layout, passing their events to the toolkit-free core
// (dialogs/ReadBackDialog).
#pragma once

#include "dialogs/ReadBackDialog.h"
#include "gui/DuxkDialog.h"

#include <QTimer>

#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class CMainFrame;

class CReadBackDlg : public CDuxkDialog, private IReadBackView {
    Q_OBJECT
public:
    static constexpr int kTimerId = ReadBackDialog::kTimerId;

    CReadBackDlg(CMainFrame* parent, ReadBackKind kind);
    ~CReadBackDlg() override;

    void OnBrowse() { m_core->OnBrowse(); }
    void OnExecute() { m_core->OnExecute(); }
    void OnTimer() { m_core->OnTimer(); }
    // Escape, Cancel, the close box: while the read runs, it is asked to
    // stop and the dialog ends once it has.
    void reject() override;
    // Enter while the read runs waits for it.
    void done(int result) override;

    const ReadBackDialog& Core() const { return *m_core; }

signals:
    void workerEnded();

protected:
    void OnInitDialog() override;

private:
    void OnWorkerEnded();
    // IReadBackView
    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        ShowDialogBox(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return AskDialogFile(question, path); }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        return AskDialogYesNo(text, caption);
    }
    std::string FileText() override;
    void SetFileText(const std::string& text) override;
    void SetBars(int download, int read) override;
    void EnableExecute(bool enable) override;
    void SetStatusText(const std::string& text) override;
    void PostWorkerEnded() override;

    QLineEdit* m_editFile = nullptr;
    QProgressBar* m_progDownload = nullptr;
    QProgressBar* m_progRead = nullptr;
    QPushButton* m_btnExecute = nullptr;
    QLabel* m_staticStatus = nullptr;
    QTimer m_timer;
    int m_pendingResult = -1;  // a close waiting for the read's end
    bool m_inWait = false;
    std::unique_ptr<ReadBackDialog> m_core;
};
