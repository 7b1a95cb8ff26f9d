// Base of the Windows application's dialogs: a modal dialog on a template of
// the resource script, its messages passed to virtual handlers, and the
// services every dialog view gives its core (boxes owned by the dialog, the
// common file dialogs, control texts and bars). Static texts that the
// dialog's font makes wider than their rectangle are not cut: a
// right-aligned one grows to the left, any other to the right, inside the
// dialog.
#pragma once

#include "dialogs/DialogView.h"

#include <windows.h>

#include <string>

// Posted by a dialog view on its worker's thread when the work has ended.
constexpr UINT WM_APP_WORKER_ENDED = WM_APP + 2;

// A modal message box with an OK button (owner may be null).
void ShowBoxW(HWND owner, const std::string& text, const std::string& caption, BoxIcon icon);
// The common open or save dialog; true with the full path when confirmed.
bool AskFileName(HWND owner, const FileQuestion& question, std::string& path);

class WinDialog {
public:
    virtual ~WinDialog() = default;
    // Runs the dialog modally on the template, owned by owner; the result
    // the dialog ended with (IDOK, IDCANCEL), -1 when it could not be shown.
    INT_PTR Run(HWND owner, int templateId);
    HWND Hwnd() const { return hwnd_; }

protected:
    virtual void OnInit() {}
    virtual void OnCommand(int /*id*/, int /*code*/) {}
    virtual void OnTimer(UINT_PTR /*id*/) {}
    // Enter (the default button) and Escape, Cancel or the close box. The
    // defaults end the dialog with IDOK and IDCANCEL.
    virtual void OnOk() { End(IDOK); }
    virtual void OnCancel() { End(IDCANCEL); }
    // Any other message; TRUE when handled.
    virtual INT_PTR OnMessage(UINT /*msg*/, WPARAM /*wp*/, LPARAM /*lp*/) { return FALSE; }
    virtual void OnDestroy() {}

    void End(int result);
    std::string ItemText(int id) const;
    void SetItemText(int id, const std::string& text);
    void SetBar(int id, int position);
    void EnableItem(int id, bool enable);
    void SetCaption(const std::string& text);

    // The dialog view services.
    void DialogMessage(const std::string& text, const std::string& caption, BoxIcon icon) {
        ShowBoxW(hwnd_, text, caption, icon);
    }
    bool DialogFile(const FileQuestion& question, std::string& path) { return AskFileName(hwnd_, question, path); }
    bool DialogYesNo(const std::string& text, const std::string& caption);

    HWND hwnd_ = nullptr;

private:
    static INT_PTR CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    void FitStaticTexts();
    void CenterOnOwner();
};
