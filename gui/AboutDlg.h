// The About box of the application.
#pragma once

#include "gui/DuxkDialog.h"

class CAboutDlg : public CDuxkDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent);
};
