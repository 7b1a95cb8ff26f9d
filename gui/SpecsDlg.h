// The information dialog: one of the sensor's four listings (specification,
// settings, self-test, calibration data) in a fixed-pitch text field.
#pragma once

#include "gui/DuxkDialog.h"

#include <QFont>
#include <QString>
#include <QTimer>

#include <memory>

class QPlainTextEdit;
class QPushButton;
class ListingCollector;
class CMainFrame;
class CMainFrameCore;

class CSpecs : public CDuxkDialog {
    Q_OBJECT
public:
    static constexpr int kTimerId = 5061;

    // parent: the main window, whose frame core the listing works with.
    CSpecs(CMainFrame* parent, const QString& caption, int mode);
    ~CSpecs() override;

    void SendListingRequest();
    // Shrinks the text field (it scrolls) so that the dialog and its title
    // bar fit a screen area of this height; done for the parent's screen on
    // construction.
    void FitToScreenHeight(int available);
    void OnTimer();
    QString Text() const { return m_strText; }

protected:
    void OnInitDialog() override;
    void done(int result) override;

private:
    void OnDestroy();

    QString m_strText;
    CMainFrameCore& m_frame;
    QString m_strCaption;
    int m_nMode;
    int m_nTimer = 0;
    std::unique_ptr<QFont> m_pFont;

    QPlainTextEdit* m_edit = nullptr;
    QTimer m_timer;
    std::unique_ptr<ListingCollector> m_core;
};
