#include "gui/UpdateDlg.h"

#include "gui/MainWnd.h"

#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

CUpdateDlg::CUpdateDlg(CMainFrame* parent, const QString& title)
    : CDuxkDialog(parent, 339, 101),
      m_strTitle(title),
      m_core(std::make_unique<UpdateDialog>(parent->Core(), static_cast<IUpdateView&>(*this))) {
    QPushButton* ok = AddButton(IDC_DIALOG_OK, QStringLiteral("OK"), 285, 28, 22, 12);
    ok->setDefault(true);
    ok->hide();
    QPushButton* cancel = AddButton(IDC_DIALOG_CANCEL, QStringLiteral("Cancel"), 310, 27, 22, 14);
    cancel->hide();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    AddStatic(QStringLiteral("Firmware File"), true, 7, 9, 90, 8);
    AddStatic(QStringLiteral("Download Transfer-Prg"), true, 7, 25, 90, 8);
    AddStatic(QStringLiteral("Erase Flash Memory"), true, 7, 41, 90, 8);
    AddStatic(QStringLiteral("Program Flash Memory"), true, 7, 57, 90, 8);
    AddStatic(QStringLiteral("with selected Firmware File"), true, 7, 66, 90, 8);

    m_editFile = new QLineEdit(this);
    Place(m_editFile, IDC_UPDATE_FILE, 103, 7, 200, 14);
    QPushButton* browse = AddButton(IDC_UPDATE_BROWSE, QStringLiteral("..."), 311, 7, 21, 14);
    connect(browse, &QPushButton::clicked, this, &CUpdateDlg::OnBrowse);

    auto makeBar = [this](int id, int y) {
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        Place(bar, id, 103, y, 163, 14);
        return bar;
    };
    m_progDownload = makeBar(IDC_UPDATE_DOWNLOAD, 23);
    m_progErase = makeBar(IDC_UPDATE_ERASE, 39);
    m_progProgram = makeBar(IDC_UPDATE_PROGRAM, 55);

    m_staticStatus = AddStatic(QString(), false, 103, 76, 229, 16);
    m_staticStatus->setObjectName(QStringLiteral("id1006"));
    m_btnExecute = AddButton(IDC_UPDATE_EXECUTE, QStringLiteral("Execute"), 282, 52, 50, 14);
    connect(m_btnExecute, &QPushButton::clicked, this, &CUpdateDlg::OnExecute);

    m_timer.setInterval(UpdateDialog::kTimerMs);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CUpdateDlg::OnTimer);
    m_editFile->setFocus();
}

CUpdateDlg::~CUpdateDlg() {
    // A dialog destroyed without having been closed still ends its worker
    // before the job record goes away (the core's destructor).
    m_timer.stop();
    m_core.reset();
}

void CUpdateDlg::OnInitDialog() {
    setWindowTitle(m_strTitle);
    for (QProgressBar* bar : {m_progDownload, m_progErase, m_progProgram}) bar->setRange(0, 100);
    m_core->OnInitDialog();
    m_timer.start();
}

std::string CUpdateDlg::FileText() { return QFile::encodeName(m_editFile->text()).toStdString(); }

void CUpdateDlg::SetFileText(const std::string& text) {
    m_editFile->setText(QFile::decodeName(QByteArray::fromStdString(text)));
}

void CUpdateDlg::SetBars(int download, int erase, int program) {
    m_progDownload->setValue(download);
    m_progErase->setValue(erase);
    m_progProgram->setValue(program);
}

void CUpdateDlg::EnableExecute(bool enable) { m_btnExecute->setEnabled(enable); }

void CUpdateDlg::PostWorkerEnded() {
    // On the worker's thread: a queued call reaches the window's thread.
    QMetaObject::invokeMethod(this, &CUpdateDlg::workerEnded, Qt::QueuedConnection);
}

void CUpdateDlg::reject() {
    if (!m_core->CanCancel()) return;
    done(QDialog::Rejected);
}

void CUpdateDlg::done(int result) {
    if (m_closing) return;
    m_closing = true;
    if (!m_core->BeginClose()) {
        // The update still runs. The worker may need the window's thread for
        // its boxes, and the timer keeps moving the bars: the event loop
        // runs until the worker says it has ended.
        QEventLoop loop;
        connect(this, &CUpdateDlg::workerEnded, &loop, &QEventLoop::quit);
        if (!m_core->WorkerEnded()) loop.exec();
    }
    m_core->FinishClose();
    m_timer.stop();
    QDialog::done(result);
}
