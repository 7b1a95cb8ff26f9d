// duxkupdate.exe: the desktop service application for DUX-Kxx sensors on
// Windows, a native Win32 front end over the same toolkit-free layer as the
// Qt application.
#include "dialogs/AppOptions.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"
#include "wingui/Ids.h"
#include "wingui/MainFrame.h"
#include "wingui/Text.h"
#include "wingui/WinDialog.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#ifndef DUXK_VERSION
#define DUXK_VERSION "unknown"
#endif

namespace {

// Help, the version and usage errors go where the user can read them: to
// the standard output or error the program was given (a pipe, a file, the
// console it was started from), else into a message box.
void Report(const std::string& text, bool error) {
    HANDLE out = GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    const DWORD type = out && out != INVALID_HANDLE_VALUE ? GetFileType(out) : FILE_TYPE_UNKNOWN;
    if (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) {
        DWORD written = 0;
        WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        HANDLE console = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
        if (console != INVALID_HANDLE_VALUE) {
            std::wstring wide = Wide(text);
            DWORD written = 0;
            WriteConsoleW(console, wide.c_str(), static_cast<DWORD>(wide.size()), &written, nullptr);
            CloseHandle(console);
            FreeConsole();
            return;
        }
        FreeConsole();
    }
    ShowBoxW(nullptr, text, "DUXKUpdate", error ? BoxIcon::Error : BoxIcon::Information);
}

std::vector<std::string> Arguments() {
    std::vector<std::string> args;
    int count = 0;
    if (LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count)) {
        for (int i = 0; i < count; ++i) args.push_back(Utf8(argv[i]));
        LocalFree(argv);
    }
    return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const std::vector<std::string> args = Arguments();
    const AppOptions options = ParseAppArguments(args);
    if (options.help) {
        Report(AppUsageText(), false);
        return 0;
    }
    if (options.version) {
        Report(std::string("duxkupdate ") + DUXK_VERSION + "\n", false);
        return 0;
    }
    if (!options.error.empty()) {
        Report("duxkupdate: " + options.error + "\nTry 'duxkupdate --help' for more information.\n", true);
        return 2;
    }

    // The protocol's waits are milliseconds long.
    platform::PrepareProcess();
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_BAR_CLASSES | ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    if (!MainFrame::RegisterClasses(instance)) return 1;

    AttachTraceFromEnvironment();
    for (const std::string& trace : options.traceFiles) {
        std::string why;
        if (!GetSensorChannel().AttachTrace(trace.c_str(), &why))
            ShowBoxW(nullptr, "Cannot write the trace file " + why, "DUXKUpdate", BoxIcon::Error);
    }

    // The search looks for its switches (/noSNcheck) in the raw command line.
    MainFrame frame(Utf8(GetCommandLineW()));
    if (!options.documentPath.empty() && !frame.Document().OnOpenDocument(options.documentPath)) {
        ShowBoxW(nullptr, "Cannot open the document " + options.documentPath + ".", "DUXKUpdate", BoxIcon::Error);
        return 1;
    }
    frame.SetPortOption(options.port, options.baud);
    if (!frame.Create(showCommand)) return 1;
    frame.UpdateTitle();

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME));
    MSG msg;
    // Blocks between messages: an idle window uses no processor time.
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (frame.Hwnd() && TranslateAcceleratorW(frame.Hwnd(), accelerators, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        if (msg.message == WM_KEYUP || msg.message == WM_SYSKEYUP) frame.UpdateIndicators();
    }
    return static_cast<int>(msg.wParam);
}
