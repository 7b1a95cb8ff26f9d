// The calibration dialog: saves the sensor's calibration data into a file and
// loads such a file back into the sensor, step by step from its timer.
#pragma once

#include "gui/DuxkDialog.h"

#include <QString>
#include <QTimer>

#include <memory>

class QLineEdit;
class QProgressBar;
class CalTransfer;
class CMainFrame;
class CMainFrameCore;

class CCal : public CDuxkDialog {
    Q_OBJECT
public:
    static constexpr int kTimerId = 5062;

    // parent: the main window, whose frame core the transfer works with.
    CCal(CMainFrame* parent, const QString& caption);
    ~CCal() override;

    void OnBrowse();
    void OnSave();
    void OnLoad();
    void OnTimer();
    QString FileName() const { return m_strFileName; }
    const CalTransfer& Transfer() const { return *m_core; }

protected:
    void OnInitDialog() override;
    void done(int result) override;

private:
    void OnDestroy();

    CMainFrameCore& m_frame;
    QString m_strFileName;
    QString m_strCaption;
    int m_nTimer = 0;

    QLineEdit* m_edit = nullptr;
    QProgressBar* m_progress = nullptr;
    QTimer m_timer;
    class Sink;
    std::unique_ptr<Sink> m_sink;
    std::unique_ptr<CalTransfer> m_core;
};
