// Ids of the Windows application's own resources and framework windows
// (the dialogs' and commands' ids are the toolkit-free layer's).
#pragma once

constexpr int IDR_MAINFRAME = 128;
// The status bar and the view, with the framework's ids.
constexpr int AFX_IDW_STATUS_BAR = 0xE801;
constexpr int AFX_IDW_PANE_FIRST = 0xE900;
