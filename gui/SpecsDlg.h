// The information dialog: one of the sensor's four listings (specification,
// settings, self-test, calibration data) in a fixed-pitch text field, fed by
// the toolkit-free core (dialogs/ListingDialog).
#pragma once

#include "dialogs/ListingDialog.h"
#include "gui/DuxkDialog.h"

#include <QFont>
#include <QString>
#include <QTimer>

#include <memory>

class QPlainTextEdit;
class QPushButton;
class CMainFrame;

class CSpecs : public CDuxkDialog, private IListingView {
    Q_OBJECT
public:
    static constexpr int kTimerId = ListingDialog::kTimerId;

    // parent: the main window, whose frame core the listing works with.
    CSpecs(CMainFrame* parent, const QString& caption, int mode);
    ~CSpecs() override;

    void SendListingRequest() { m_core->SendListingRequest(); }
    // Shrinks the text field (it scrolls) so that the dialog and its title
    // bar fit a screen area of this height; done for the parent's screen on
    // construction.
    void FitToScreenHeight(int available);
    void OnTimer() { m_core->OnTimer(); }
    QString Text() const { return m_strText; }

protected:
    void OnInitDialog() override;
    void done(int result) override;

private:
    // IListingView
    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        ShowDialogBox(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return AskDialogFile(question, path); }
    void SetListingText(const std::string& text) override;

    QString m_strText;
    QString m_strCaption;
    std::unique_ptr<QFont> m_pFont;
    QPlainTextEdit* m_edit = nullptr;
    QTimer m_timer;
    std::unique_ptr<ListingDialog> m_core;
};
