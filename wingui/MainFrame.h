// The Windows application's main window: menu, accelerators, status bar with
// the message pane and the three key indicators, and the view that shows the
// connection. What the commands do is the toolkit-free layer's
// (dialogs/FrameController); this window draws and passes events on.
#pragma once

#include "dialogs/Document.h"
#include "dialogs/FrameController.h"
#include "session/FrameUi.h"
#include "session/MainFrame.h"
#include "wingui/CallGate.h"

#include <windows.h>

#include <memory>
#include <string>

// Window classes a test program finds the windows by.
constexpr const wchar_t* kFrameClassName = L"DUXKUpdateFrame";
constexpr const wchar_t* kViewClassName = L"DUXKUpdateView";

class MainFrame : public IFrameUi, private IMainWindow {
public:
    // cmdLine: the process command line (UTF-8), read by the search for its
    // switches.
    explicit MainFrame(std::string cmdLine);
    ~MainFrame() override;

    static bool RegisterClasses(HINSTANCE instance);
    // The port and rate named on the command line (before Create).
    void SetPortOption(const std::string& port, const std::string& baud) { controller_.SetPortOption(port, baud); }
    // Creates the window (300 x 400 pixels), its status bar and view, shows
    // it and starts the search (or the direct open of the port named).
    bool Create(int showCommand);
    HWND Hwnd() const { return hwnd_; }
    DocumentCore& Document() { return doc_; }
    void UpdateTitle();
    // The lock-key indicators follow the keyboard.
    void UpdateIndicators();

    // IFrameUi; callable from any thread.
    void SetStatusText(const std::string& text) override;
    bool EnableMenuCommands(const int* ids, int count, bool enable) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;

private:
    static LRESULT CALLBACK FrameProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    static LRESULT CALLBACK ViewProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void OnCreate();
    void OnCommand(int id);
    void OnSensorCommand(int id);
    void OnFileOpen();
    void OnFileSave();
    void Layout();
    void SetPaneText(const std::string& text);
    void RefreshView(bool searchWaiting, bool accepted);
    bool OnWindowThread() const { return GetCurrentThreadId() == thread_; }

    // IMainWindow
    bool CallOnWindowThread(const std::function<void()>& fn) override { return gate_.Call(fn); }
    void RefreshView() override;

    std::string cmdLine_;
    HWND hwnd_ = nullptr;
    HWND status_ = nullptr;
    HWND view_ = nullptr;
    HFONT font_ = nullptr;
    DWORD thread_ = 0;
    bool closePending_ = false;
    CallGate gate_;
    DocumentCore doc_;
    CMainFrameCore core_;
    FrameController controller_;
};
