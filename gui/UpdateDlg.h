// The firmware update dialog: picks the firmware file, runs the update on a
// worker thread of its own and shows the three phases in progress bars.
#pragma once

#include "gui/DuxkDialog.h"
#include "update/Update.h"

#include <QString>
#include <QTimer>

#include <thread>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class CMainFrame;
class CMainFrameCore;

class CUpdateDlg : public CDuxkDialog {
    Q_OBJECT
public:
    static constexpr int kTimerId = 5060;
    // Longest firmware path the job record holds (bytes, without the NUL).
    static constexpr int kMaxPath = sizeof(UpdateJob::firmwarePath) - 1;

    // parent: the main window; the update runs on its frame core's port and
    // reports to it.
    CUpdateDlg(CMainFrame* parent, const QString& title);
    ~CUpdateDlg() override;

    void OnBrowse();
    void OnExecute();
    void OnTimer();

    // Escape, Cancel and the close box: refused while an update runs.
    void reject() override;
    // Ends the dialog after the closing handshake with the worker; while an
    // update runs this waits for it with the window kept alive.
    void done(int result) override;

    bool UpdateRunning() const { return m_job.startFlag.load() != 0; }
    const UpdateJob& Job() const { return m_job; }

protected:
    void OnInitDialog() override;

private:
    void UpdateData(bool fromControls);
    void CloseHandshake();

    QProgressBar* m_progProgram = nullptr;
    QProgressBar* m_progErase = nullptr;
    QProgressBar* m_progDownload = nullptr;
    CMainFrameCore& m_frame;
    QString m_strFirmwareFile;
    QString m_strStatus;
    QString m_strTitle;
    UpdateJob m_job;
    double m_dShownDownload = 0;
    double m_dShownErase = 0;
    double m_dShownProgram = 0;
    int m_nTimer = 0;

    QLineEdit* m_editFile = nullptr;
    QLabel* m_staticStatus = nullptr;
    QPushButton* m_btnExecute = nullptr;
    QTimer m_timer;
    std::thread m_worker;
    bool m_closing = false;
};
