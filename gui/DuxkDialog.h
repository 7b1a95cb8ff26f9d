// Base of the application's dialogs: a fixed-size modal dialog laid out in
// dialog units of its font, with the keyboard behaviour of a classic dialog
// (Enter presses the focused push button or else confirms the dialog even
// though its OK button is hidden; Escape cancels) and an initialisation hook
// that runs once, just before the dialog first appears.
#pragma once

#include "dialogs/DialogView.h"

#include <QDialog>
#include <QRect>

#include <string>

class QLabel;
class QPushButton;

class CDuxkDialog : public QDialog {
    Q_OBJECT
public:
    // The dialog's client area in dialog units.
    CDuxkDialog(QWidget* parent, int widthDu, int heightDu);

    // Dialog units to pixels, from the dialog font's average character width
    // (x) and height (y).
    QRect DuRect(int x, int y, int w, int h) const;
    int DuX(int du) const;
    int DuY(int du) const;

    // Control helpers: a widget placed at a rectangle in dialog units, named
    // "id<number>" when it has an id (so tests and scripts can find it).
    void Place(QWidget* widget, int id, int x, int y, int w, int h);
    QPushButton* AddButton(int id, const QString& text, int x, int y, int w, int h);
    // A static text. One wider than its rectangle at the dialog's font is
    // not cut: a right-aligned one grows to the left, any other to the
    // right, as far as the dialog allows.
    QLabel* AddStatic(const QString& text, bool rightAligned, int x, int y, int w, int h);

    // The dialog views' common part: a box owned by the dialog, the file
    // chooser, and a Yes/No question.
    void ShowDialogBox(const std::string& text, const std::string& caption, BoxIcon icon);
    bool AskDialogFile(const FileQuestion& question, std::string& path);
    bool AskDialogYesNo(const std::string& text, const std::string& caption);

protected:
    // Runs once before the first show (the dialog's initialisation).
    virtual void OnInitDialog() {}
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int baseX_ = 6;
    int baseY_ = 13;
    bool initialised_ = false;
};
