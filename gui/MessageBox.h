// Message boxes of the desktop application. Every box goes through
// DuxkMessageBox, so that tests can install a hook that answers the boxes
// instead of a user (and records what was asked).
#pragma once

#include "session/FrameUi.h"

#include <QString>

#include <functional>

class QWidget;

// Called instead of showing a box while installed; the box counts as
// confirmed when the hook returns.
using MessageBoxHook = std::function<void(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon)>;
void SetMessageBoxHook(MessageBoxHook hook);

// A modal box with an OK button, owned by owner (none when null). Runs on the
// window thread and returns when the box has been confirmed.
void DuxkMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon);
// A question with Yes and No buttons (No the default); true for Yes. While a
// hook is installed the hook gets it (with a warning icon) and it counts as
// answered Yes.
bool DuxkQuestionBox(QWidget* owner, const QString& text, const QString& caption);
