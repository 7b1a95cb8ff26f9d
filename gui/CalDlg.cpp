#include "gui/CalDlg.h"

#include "gui/MainWnd.h"

#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

CCal::CCal(CMainFrame* parent, const QString& caption)
    : CDuxkDialog(parent, 282, 86),
      m_strCaption(caption),
      m_core(std::make_unique<CalDialog>(parent->Core(), static_cast<ICalView&>(*this))) {
    QPushButton* ok = AddButton(IDC_DIALOG_OK, QStringLiteral("OK"), 7, 37, 32, 14);
    ok->setDefault(true);
    ok->hide();
    QPushButton* cancel = AddButton(IDC_DIALOG_CANCEL, QStringLiteral("Done"), 7, 52, 32, 14);
    cancel->hide();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    AddStatic(QStringLiteral("Filename"), true, 7, 9, 36, 8);
    m_edit = new QLineEdit(this);
    Place(m_edit, IDC_CAL_FILE, 49, 7, 200, 14);
    QPushButton* browse = AddButton(IDC_CAL_BROWSE, QStringLiteral("..."), 255, 7, 20, 14);
    QPushButton* save = AddButton(IDC_CAL_SAVE, QStringLiteral("Save Cal-Data to selected File"), 49, 27, 200, 14);
    QPushButton* load = AddButton(IDC_CAL_LOAD, QStringLiteral("Load Cal-Data from selected File"), 49, 46, 200, 14);
    connect(browse, &QPushButton::clicked, this, &CCal::OnBrowse);
    connect(save, &QPushButton::clicked, this, &CCal::OnSave);
    connect(load, &QPushButton::clicked, this, &CCal::OnLoad);

    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    m_progress->setRange(0, 100);
    Place(m_progress, IDC_CAL_PROGRESS, 49, 68, 201, 11);

    m_timer.setInterval(CalDialog::kTimerMs);
    connect(&m_timer, &QTimer::timeout, this, &CCal::OnTimer);
}

CCal::~CCal() { OnDestroy(); }

void CCal::OnInitDialog() {
    setWindowTitle(m_strCaption);
    m_core->OnInitDialog();
    m_timer.start();
}

QString CCal::FileName() const { return m_edit->text(); }

std::string CCal::FileText() { return QFile::encodeName(m_edit->text()).toStdString(); }

void CCal::SetFileText(const std::string& text) { m_edit->setText(QFile::decodeName(QByteArray::fromStdString(text))); }

void CCal::SetProgress(int position) {
    m_progress->setValue(std::clamp(position, m_progress->minimum(), m_progress->maximum()));
}

void CCal::done(int result) {
    OnDestroy();
    QDialog::done(result);
}

void CCal::OnDestroy() {
    m_timer.stop();
    m_core->OnDestroy();
}
