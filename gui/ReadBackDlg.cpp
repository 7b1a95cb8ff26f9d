#include "gui/ReadBackDlg.h"

#include "gui/MainWnd.h"

#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

CReadBackDlg::CReadBackDlg(CMainFrame* parent, ReadBackKind kind)
    : CDuxkDialog(parent, 339, 80),
      m_core(std::make_unique<ReadBackDialog>(parent->Core(), static_cast<IReadBackView&>(*this), kind)) {
    QPushButton* ok = AddButton(IDC_DIALOG_OK, QStringLiteral("OK"), 285, 64, 22, 12);
    ok->setDefault(true);
    ok->hide();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    AddStatic(QString::fromLatin1(ReadBackDialog::FileLabel(kind)), true, 7, 9, 90, 8)
        ->setObjectName(QStringLiteral("id%1").arg(IDC_READBACK_FILE_LABEL));
    m_editFile = new QLineEdit(this);
    Place(m_editFile, IDC_READBACK_FILE, 103, 7, 200, 14);
    QPushButton* browse = AddButton(IDC_READBACK_BROWSE, QStringLiteral("..."), 311, 7, 21, 14);
    connect(browse, &QPushButton::clicked, this, &CReadBackDlg::OnBrowse);

    AddStatic(QStringLiteral("Download Transfer-Prg"), true, 7, 25, 90, 8);
    AddStatic(QString::fromLatin1(ReadBackDialog::ReadLabel(kind)), true, 7, 41, 90, 8)
        ->setObjectName(QStringLiteral("id%1").arg(IDC_READBACK_READ_LABEL));
    auto makeBar = [this](int id, int y) {
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        bar->setRange(0, 100);
        Place(bar, id, 103, y, 163, 14);
        return bar;
    };
    m_progDownload = makeBar(IDC_READBACK_DOWNLOAD, 23);
    m_progRead = makeBar(IDC_READBACK_READ, 39);

    m_btnExecute = AddButton(IDC_READBACK_EXECUTE, QStringLiteral("Execute"), 282, 23, 50, 14);
    connect(m_btnExecute, &QPushButton::clicked, this, &CReadBackDlg::OnExecute);
    QPushButton* cancel = AddButton(IDC_DIALOG_CANCEL, QStringLiteral("Cancel"), 282, 41, 50, 14);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    m_staticStatus = AddStatic(QString(), false, 7, 60, 270, 16);
    m_staticStatus->setObjectName(QStringLiteral("id%1").arg(IDC_READBACK_STATUS));
    m_staticStatus->setWordWrap(true);

    m_timer.setInterval(ReadBackDialog::kTimerMs);
    connect(&m_timer, &QTimer::timeout, this, &CReadBackDlg::OnTimer);
    connect(this, &CReadBackDlg::workerEnded, this, &CReadBackDlg::OnWorkerEnded);
    m_editFile->setFocus();
}

CReadBackDlg::~CReadBackDlg() {
    m_timer.stop();
    m_core.reset();
}

void CReadBackDlg::OnInitDialog() {
    setWindowTitle(QString::fromLatin1(ReadBackDialog::Title(m_core->Kind())));
    m_core->OnInitDialog();
    m_timer.start();
}

std::string CReadBackDlg::FileText() { return QFile::encodeName(m_editFile->text()).toStdString(); }

void CReadBackDlg::SetFileText(const std::string& text) {
    m_editFile->setText(QFile::decodeName(QByteArray::fromStdString(text)));
}

void CReadBackDlg::SetBars(int download, int read) {
    m_progDownload->setValue(download);
    m_progRead->setValue(read);
}

void CReadBackDlg::EnableExecute(bool enable) { m_btnExecute->setEnabled(enable); }

void CReadBackDlg::SetStatusText(const std::string& text) {
    m_staticStatus->setText(QString::fromStdString(text));
    m_staticStatus->setToolTip(PlainToolTip(m_staticStatus->text()));
}

void CReadBackDlg::PostWorkerEnded() {
    QMetaObject::invokeMethod(this, &CReadBackDlg::workerEnded, Qt::QueuedConnection);
}

void CReadBackDlg::OnWorkerEnded() {
    const bool end = m_core->OnWorkerEnded();
    if (end && m_pendingResult < 0) m_pendingResult = QDialog::Rejected;
    // A close asked for meanwhile (or a stop) ends the dialog now; a wait in
    // done() ends with it.
    if (m_pendingResult >= 0 && !m_inWait) {
        const int result = m_pendingResult;
        m_pendingResult = -1;
        m_core->FinishClose();
        m_timer.stop();
        QDialog::done(result);
    }
}

void CReadBackDlg::reject() {
    if (m_core->OnCancel()) done(QDialog::Rejected);
}

void CReadBackDlg::done(int result) {
    if (!m_core->BeginClose()) {
        // Enter during the read: wait for it with the window alive (its
        // result box shows meanwhile), then end.
        if (m_inWait) return;
        m_inWait = true;
        QEventLoop loop;
        connect(this, &CReadBackDlg::workerEnded, &loop, &QEventLoop::quit, Qt::QueuedConnection);
        loop.exec();
        m_inWait = false;
    }
    m_pendingResult = -1;
    m_core->FinishClose();
    m_timer.stop();
    QDialog::done(result);
}
