#include "gui/MessageBox.h"

#include <QMessageBox>

#include <mutex>

namespace {
std::mutex g_hookMutex;
MessageBoxHook g_hook;

QMessageBox::Icon ToQtIcon(BoxIcon icon) {
    switch (icon) {
    case BoxIcon::Information: return QMessageBox::Information;
    case BoxIcon::Error: return QMessageBox::Critical;
    case BoxIcon::Warning: return QMessageBox::Warning;
    case BoxIcon::None: break;
    }
    return QMessageBox::NoIcon;
}
}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard<std::mutex> lock(g_hookMutex);
    g_hook = std::move(hook);
}

void DuxkMessageBox(QWidget* owner, const QString& text, const QString& caption, BoxIcon icon) {
    MessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) {
        hook(owner, text, caption, icon);
        return;
    }
    QMessageBox box(ToQtIcon(icon), caption, QString(), QMessageBox::Ok, owner);
    // Box texts carry file names and what the sensor sent: never markup.
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.exec();
}

bool DuxkQuestionBox(QWidget* owner, const QString& text, const QString& caption) {
    MessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lock(g_hookMutex);
        hook = g_hook;
    }
    if (hook) {
        hook(owner, text, caption, BoxIcon::Warning);
        return true;
    }
    QMessageBox box(QMessageBox::Warning, caption, QString(), QMessageBox::Yes | QMessageBox::No, owner);
    box.setTextFormat(Qt::PlainText);
    box.setText(text);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}
