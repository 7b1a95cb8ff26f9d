// What the Qt-free core needs of a front end's main window: the status bar's
// message pane, the menu's enabling and message boxes. The desktop frame and
// the command-line tool each implement it.
#pragma once

#include <string>

enum class BoxIcon { None, Information, Error, Warning };

class IFrameUi {
public:
    virtual ~IFrameUi() = default;
    // Shows text in the status bar's message pane (pane 0). May be called
    // from any thread; returns once the text has been handed to the window.
    virtual void SetStatusText(const std::string& text) = 0;
    // Enables (true) or greys (false) the menu commands with the given ids,
    // in order, then redraws the menu bar. False, changing nothing, when
    // there is no menu or it has no items.
    virtual bool EnableMenuCommands(const int* ids, int count, bool enable) = 0;
    // A modal message box with an OK button. May be called from any thread;
    // blocks the caller until the user has confirmed it.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) = 0;
};
