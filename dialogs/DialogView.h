// What the toolkit-free dialog cores need of a dialog's window, whatever
// draws it (Qt on Linux, Win32 on Windows). A core decides what happens;
// its window only shows what it is told and passes the user's actions on.
// Every call comes on the window's thread unless it says otherwise.
#pragma once

#include "session/FrameUi.h"

#include <string>
#include <utility>
#include <vector>

// Results with which a dialog's modal run ends.
constexpr int kDialogOk = 1;
constexpr int kDialogCancel = 2;

// Ids of the hidden OK and Cancel buttons every dialog keeps.
constexpr int IDC_DIALOG_OK = 1;
constexpr int IDC_DIALOG_CANCEL = 2;

// A question to the platform's file chooser.
struct FileQuestion {
    // A save dialog (which asks before it names an existing file), else an
    // open dialog.
    bool save = false;
    // The name shown first (a full path, a bare name or empty).
    std::string initialPath;
    // Appended to a name typed without an extension ("bin", "cal").
    std::string defaultExtension;
    // Description and pattern pairs, in the order offered:
    // {"Firmware Files (*.bin)", "*.bin"}, {"All Files (*.*)", "*.*"}.
    std::vector<std::pair<std::string, std::string>> filters;
};

class IDialogView {
public:
    virtual ~IDialogView() = default;
    // A modal message box with an OK button, owned by the dialog; returns
    // once the user has confirmed it.
    virtual void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
    // Runs the file chooser owned by the dialog; true, with the full path
    // chosen, when the user confirmed.
    virtual bool AskFile(const FileQuestion& question, std::string& path) = 0;
};

// The filters of the two kinds of file the dialogs ask for.
FileQuestion FirmwareFileQuestion(const std::string& initialPath, bool save = false);
FileQuestion CalibrationFileQuestion(const std::string& initialPath);
