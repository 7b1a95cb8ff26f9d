// The Windows application's dialogs: each creates nothing but what its
// template holds and passes its events to its toolkit-free core.
#pragma once

#include "dialogs/CalDialog.h"
#include "dialogs/ListingDialog.h"
#include "dialogs/ReadBackDialog.h"
#include "dialogs/UpdateDialog.h"
#include "wingui/WinDialog.h"

#include <string>

class CMainFrameCore;

class AboutDlg : public WinDialog {};

class UpdateDlg : public WinDialog, private IUpdateView {
public:
    UpdateDlg(CMainFrameCore& frame, std::string title);
    const UpdateDialog& Core() const { return core_; }

private:
    void OnInit() override;
    void OnCommand(int id, int code) override;
    void OnTimer(UINT_PTR id) override;
    void OnOk() override { Close(IDOK); }
    void OnCancel() override;
    INT_PTR OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;
    void Close(int result);
    void Finish();

    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        DialogMessage(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return DialogFile(question, path); }
    std::string FileText() override { return ItemText(IDC_UPDATE_FILE); }
    void SetFileText(const std::string& text) override { SetItemText(IDC_UPDATE_FILE, text); }
    void SetBars(int download, int erase, int program) override;
    void EnableExecute(bool enable) override { EnableItem(IDC_UPDATE_EXECUTE, enable); }
    void PostWorkerEnded() override;

    std::string title_;
    int pendingResult_ = -1;
    UpdateDialog core_;
};

class ReadBackDlg : public WinDialog, private IReadBackView {
public:
    ReadBackDlg(CMainFrameCore& frame, ReadBackKind kind);

private:
    void OnInit() override;
    void OnCommand(int id, int code) override;
    void OnTimer(UINT_PTR) override { core_.OnTimer(); }
    void OnOk() override;
    void OnCancel() override;
    INT_PTR OnMessage(UINT msg, WPARAM wp, LPARAM lp) override;
    void Finish(int result);

    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        DialogMessage(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return DialogFile(question, path); }
    bool AskYesNo(const std::string& text, const std::string& caption) override { return DialogYesNo(text, caption); }
    std::string FileText() override { return ItemText(IDC_READBACK_FILE); }
    void SetFileText(const std::string& text) override { SetItemText(IDC_READBACK_FILE, text); }
    void SetBars(int download, int read) override;
    void EnableExecute(bool enable) override { EnableItem(IDC_READBACK_EXECUTE, enable); }
    void SetStatusText(const std::string& text) override { SetItemText(IDC_READBACK_STATUS, text); }
    void PostWorkerEnded() override;

    int pendingResult_ = -1;
    ReadBackDialog core_;
};

class CalDlg : public WinDialog, private ICalView {
public:
    CalDlg(CMainFrameCore& frame, std::string title);
    bool SensorChanged() const { return core_.SensorChanged(); }

private:
    void OnInit() override;
    void OnCommand(int id, int code) override;
    void OnTimer(UINT_PTR) override { core_.OnTimer(); }
    void OnDestroy() override;

    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        DialogMessage(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return DialogFile(question, path); }
    std::string FileText() override { return ItemText(IDC_CAL_FILE); }
    void SetFileText(const std::string& text) override { SetItemText(IDC_CAL_FILE, text); }
    void SetProgress(int position) override { SetBar(IDC_CAL_PROGRESS, position); }

    std::string title_;
    CalDialog core_;
};

class ListingDlg : public WinDialog, private IListingView {
public:
    ListingDlg(CMainFrameCore& frame, int32_t kind, std::string title);
    ~ListingDlg() override;

private:
    void OnInit() override;
    void OnCommand(int id, int code) override;
    void OnTimer(UINT_PTR) override { core_.OnTimer(); }
    void OnDestroy() override;
    void FitToWorkArea();

    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        DialogMessage(text, caption, icon);
    }
    bool AskFile(const FileQuestion& question, std::string& path) override { return DialogFile(question, path); }
    void SetListingText(const std::string& text) override;

    std::string title_;
    HFONT font_ = nullptr;
    ListingDialog core_;
};
