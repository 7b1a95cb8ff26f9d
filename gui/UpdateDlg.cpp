#include "gui/UpdateDlg.h"

#include "gui/MainWnd.h"
#include "gui/MessageBox.h"
#include "update/UpdateDetail.h"

#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {
constexpr char kTransferPrgName[] = "dux_tra.bin";

template <size_t N>
void CopyText(char (&dest)[N], const char* text) {
    std::snprintf(dest, N, "%s", text);
}

// A bar shows a percentage truncated toward zero; values past its range
// (100.01 marks a finished phase) show as a full or empty bar.
void SetBar(QProgressBar* bar, double value) {
    bar->setValue(std::clamp(static_cast<int>(value), bar->minimum(), bar->maximum()));
}
}  // namespace

CUpdateDlg::CUpdateDlg(CMainFrame* parent, const QString& title)
    : CDuxkDialog(parent, 339, 101), m_frame(parent->Core()), m_strTitle(title) {
    QPushButton* ok = AddButton(1, QStringLiteral("OK"), 285, 28, 22, 12);
    ok->setDefault(true);
    ok->hide();
    QPushButton* cancel = AddButton(2, QStringLiteral("Cancel"), 310, 27, 22, 14);
    cancel->hide();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    AddStatic(QStringLiteral("Firmware File"), true, 7, 9, 90, 8);
    AddStatic(QStringLiteral("Download Transfer-Prg"), true, 7, 25, 90, 8);
    AddStatic(QStringLiteral("Erase Flash Memory"), true, 7, 41, 90, 8);
    AddStatic(QStringLiteral("Program Flash Memory"), true, 7, 57, 90, 8);
    AddStatic(QStringLiteral("with selected Firmware File"), true, 7, 66, 90, 8);

    m_editFile = new QLineEdit(this);
    Place(m_editFile, 1000, 103, 7, 200, 14);
    QPushButton* browse = AddButton(1001, QStringLiteral("..."), 311, 7, 21, 14);
    connect(browse, &QPushButton::clicked, this, &CUpdateDlg::OnBrowse);

    auto makeBar = [this](int id, int y) {
        auto* bar = new QProgressBar(this);
        bar->setTextVisible(false);
        Place(bar, id, 103, y, 163, 14);
        return bar;
    };
    m_progDownload = makeBar(1002, 23);
    m_progErase = makeBar(1003, 39);
    m_progProgram = makeBar(1004, 55);

    m_staticStatus = AddStatic(QString(), false, 103, 76, 229, 16);
    m_staticStatus->setObjectName(QStringLiteral("id1006"));
    m_btnExecute = AddButton(1005, QStringLiteral("Execute"), 282, 52, 50, 14);
    connect(m_btnExecute, &QPushButton::clicked, this, &CUpdateDlg::OnExecute);

    m_timer.setInterval(100);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &CUpdateDlg::OnTimer);
    m_editFile->setFocus();
}

CUpdateDlg::~CUpdateDlg() {
    // A dialog destroyed without having been closed still ends its worker
    // before the job record goes away.
    if (!m_closing) CloseHandshake();
    if (m_worker.joinable()) m_worker.join();
}

void CUpdateDlg::OnInitDialog() {
    setWindowTitle(m_strTitle);
    m_dShownDownload = m_dShownErase = m_dShownProgram = 0;
    m_job.startFlag = 0;
    m_job.counter = 0;
    CopyText(m_job.transferPrgName, kTransferPrgName);
    CopyText(m_job.firmwarePath, "");
    CopyText(m_job.portName, "COM2");
    CopyText(m_job.baudText, "38400");
    m_job.firstAddressWord = kLoadAddressWord;
    m_job.secondAddressWord = kLoadAddressWord;
    m_nTimer = 0;
    for (QProgressBar* bar : {m_progDownload, m_progErase, m_progProgram}) bar->setRange(0, 100);
    m_timer.start();
    m_nTimer = kTimerId;
    m_worker = std::thread([this] { UpdateWorker(&m_job); });
}

void CUpdateDlg::UpdateData(bool fromControls) {
    if (fromControls) {
        m_strFirmwareFile = m_editFile->text();
        m_strStatus = m_staticStatus->text();
    } else {
        m_editFile->setText(m_strFirmwareFile);
        m_staticStatus->setText(m_strStatus);
    }
}

void CUpdateDlg::OnTimer() {
    const bool sensorFound = m_frame.m_bSensorFound.load() != 0;
    // The worker serves one update only: once it has ended (it adds 2 to the
    // counter) Execute stays disabled, so no start can be left unserved.
    const bool workerWaiting = m_job.counter.load() == 0;
    m_btnExecute->setEnabled(sensorFound && m_job.startFlag.load() == 0 && m_dShownProgram < 99.9 && workerWaiting);

    m_dShownDownload = DownloadProgress.load();
    m_dShownErase = EraseProgress.load();
    m_dShownProgram = ProgramProgress.load();

    // While the erase runs its bar moves on by itself (full after about six
    // seconds). The sum is written back only if the worker has not changed
    // the value meanwhile, so its end mark or reset is never overwritten.
    if (m_dShownErase > 0.1) {
        double expected = m_dShownErase;
        m_dShownErase += 5.0 / 3.0;
        EraseProgress.compare_exchange_strong(expected, m_dShownErase);
    }

    SetBar(m_progDownload, m_dShownDownload);
    SetBar(m_progErase, m_dShownErase);
    SetBar(m_progProgram, m_dShownProgram);
}

void CUpdateDlg::OnExecute() {
    if (m_job.startFlag.load() != 0) return;
    if (m_job.counter.load() != 0) return;  // the worker has already ended
    UpdateData(true);

    const QString fileError = QStringLiteral("File Error");
    const QString noFile = QStringLiteral("Please enter the name of an existing file");
    const QByteArray path = QFile::encodeName(m_strFirmwareFile);
    if (m_strFirmwareFile.isEmpty()) {
        DuxkMessageBox(this, noFile, fileError, BoxIcon::Error);
        return;
    }
    if (path.size() > kMaxPath) {
        DuxkMessageBox(this, QStringLiteral("The file name is too long (at most %1 bytes)").arg(kMaxPath), fileError,
                       BoxIcon::Error);
        return;
    }
    // The same check the update makes before it touches the sensor: an
    // empty, oversized or unreadable file, a directory or a FIFO starts
    // nothing, and the box says what is wrong with it.
    {
        std::vector<uint8_t> image;
        std::string why;
        const FirmwareFileState state = ReadFirmwareFile(path.constData(), image, &why);
        if (state != FirmwareFileState::Ok) {
            const QString reason = QString::fromLocal8Bit(why.c_str());
            DuxkMessageBox(this, state == FirmwareFileState::CannotOpen ? noFile + QLatin1Char('\n') + reason : reason,
                           fileError, BoxIcon::Error);
            return;
        }
    }

    CopyText(m_job.transferPrgName, kTransferPrgName);
    CopyText(m_job.firmwarePath, path.constData());
    CopyText(m_job.portName, m_frame.m_search.szPort);
    CopyText(m_job.baudText, m_frame.m_search.szBaud);
    // The search found the sensor still in the transfer program of an
    // interrupted update: the update takes it up from there.
    m_job.options.resume = m_frame.m_bInUpdateProgram.load() != 0;
    m_job.options.frame = &m_frame;
    m_job.firstAddressWord = kLoadAddressWord;
    m_job.secondAddressWord = kLoadAddressWord;
    // "/fast" on the application's command line, as its other switches.
    m_job.options.fast = CommandLineHasFastSwitch(m_frame.m_strCmdLine);
    m_btnExecute->setEnabled(false);
    m_job.startFlag = 1;
}

void CUpdateDlg::OnBrowse() {
    UpdateData(true);
    QFileDialog dlg(this);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setNameFilters({QStringLiteral("Firmware Files (*.bin)"), QStringLiteral("All Files (*)")});
    dlg.setDefaultSuffix(QStringLiteral("bin"));
    if (!m_strFirmwareFile.isEmpty()) dlg.selectFile(m_strFirmwareFile);
    if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty()) {
        m_strFirmwareFile = QFileInfo(dlg.selectedFiles().first()).absoluteFilePath();
    }
    UpdateData(false);
}

void CUpdateDlg::reject() {
    if (m_job.startFlag.load() != 0) return;
    done(QDialog::Rejected);
}

void CUpdateDlg::done(int result) {
    if (m_closing) return;
    m_closing = true;
    CloseHandshake();
    QDialog::done(result);
}

void CUpdateDlg::CloseHandshake() {
    m_closing = true;
    if (m_worker.joinable()) {
        m_job.counter.fetch_add(1);
        // The worker adds 2 when it ends. While an update runs that may take
        // a while, and the worker may need the window thread for its boxes,
        // so the wait keeps the event loop, and with it the timer that moves
        // the bars, running, looking at the counter every 20 ms.
        if (m_job.counter.load() < 2) {
            QEventLoop loop;
            QTimer poll;
            poll.setInterval(20);
            connect(&poll, &QTimer::timeout, &loop, [this, &loop] {
                if (m_job.counter.load() >= 2) loop.quit();
            });
            poll.start();
            loop.exec();
        }
        m_worker.join();
    }
    if (m_nTimer != 0) {
        m_timer.stop();
        m_nTimer = 0;
    }
}
