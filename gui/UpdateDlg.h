// The firmware update dialog: the controls of the layout, passing their
// events to the toolkit-free core (dialogs/UpdateDialog), which picks the
// file, runs the update on a worker and moves the three bars.
#pragma once

#include "dialogs/UpdateDialog.h"
#include "gui/DuxkDialog.h"

#include <QString>
#include <QTimer>

#include <memory>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class CMainFrame;

class CUpdateDlg : public CDuxkDialog, private IUpdateView {
    Q_OBJECT
public:
    static constexpr int kTimerId = UpdateDialog::kTimerId;

    // parent: the main window; the update runs on its frame core's port and
    // reports to it.
    CUpdateDlg(CMainFrame* parent, const QString& title);
    ~CUpdateDlg() override;

    void OnBrowse() { m_core->OnBrowse(); }
    void OnExecute() { m_core->OnExecute(); }
    void OnTimer() { m_core->OnTimer(); }

    // Escape, Cancel and the close box: refused while an update runs.
    void reject() override;
    // Ends the dialog after the closing handshake with the worker; while an
    // update runs this waits for it with the window kept alive.
    void done(int result) override;

    bool UpdateRunning() const { return m_core->UpdateRunning(); }
    const UpdateJob& Job() const { return m_core->Job(); }
    const UpdateDialog& Core() const { return *m_core; }

signals:
    void workerEnded();

protected:
    void OnInitDialog() override;

private:
    // IUpdateView
    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        ShowDialogBox(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return AskDialogFile(question, path); }
    std::string FileText() override;
    void SetFileText(const std::string& text) override;
    void SetBars(int download, int erase, int program) override;
    void EnableExecute(bool enable) override;
    void PostWorkerEnded() override;

    QProgressBar* m_progProgram = nullptr;
    QProgressBar* m_progErase = nullptr;
    QProgressBar* m_progDownload = nullptr;
    QString m_strTitle;
    QLineEdit* m_editFile = nullptr;
    QLabel* m_staticStatus = nullptr;
    QPushButton* m_btnExecute = nullptr;
    QTimer m_timer;
    bool m_closing = false;
    std::unique_ptr<UpdateDialog> m_core;
};
