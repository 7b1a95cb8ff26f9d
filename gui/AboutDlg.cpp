#include "gui/AboutDlg.h"

#include <QPushButton>

CAboutDlg::CAboutDlg(QWidget* parent) : CDuxkDialog(parent, 235, 55) {
    setWindowTitle(QStringLiteral("About DUXKUpdate"));
    AddStatic(QStringLiteral("DUXKUpdate Version 2.71"), false, 40, 10, 119, 8);
    QPushButton* ok = AddButton(1, QStringLiteral("OK"), 178, 7, 50, 14);
    ok->setDefault(true);
    ok->setFocus();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}
