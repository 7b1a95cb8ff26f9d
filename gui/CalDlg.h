// The calibration dialog: the controls of the layout, passing their events
// to the toolkit-free core (dialogs/CalDialog), which saves the sensor's
// calibration data into a file and loads such a file back, step by step
// from the timer.
#pragma once

#include "dialogs/CalDialog.h"
#include "gui/DuxkDialog.h"

#include <QString>
#include <QTimer>

#include <memory>

class QLineEdit;
class QProgressBar;
class CMainFrame;

class CCal : public CDuxkDialog, private ICalView {
    Q_OBJECT
public:
    static constexpr int kTimerId = CalDialog::kTimerId;

    // parent: the main window, whose frame core the transfer works with.
    CCal(CMainFrame* parent, const QString& caption);
    ~CCal() override;

    void OnBrowse() { m_core->OnBrowse(); }
    void OnSave() { m_core->OnSave(); }
    void OnLoad() { m_core->OnLoad(); }
    void OnTimer() { m_core->OnTimer(); }
    QString FileName() const;
    const CalTransfer& Transfer() const { return m_core->Transfer(); }
    bool SensorChanged() const { return m_core->SensorChanged(); }

protected:
    void OnInitDialog() override;
    void done(int result) override;

private:
    void OnDestroy();
    // ICalView
    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        ShowDialogBox(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return AskDialogFile(question, path); }
    std::string FileText() override;
    void SetFileText(const std::string& text) override;
    void SetProgress(int position) override;

    QString m_strCaption;
    QLineEdit* m_edit = nullptr;
    QProgressBar* m_progress = nullptr;
    QTimer m_timer;
    std::unique_ptr<CalDialog> m_core;
};
