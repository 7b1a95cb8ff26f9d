#include "gui/CalDlg.h"

#include "gui/MainWnd.h"
#include "gui/MessageBox.h"
#include "calibration/CalTransfer.h"
#include "serial/DUXKSerial.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

// The transfer's progress goes to the dialog's bar and its boxes are owned
// by the dialog; status texts go to the main window.
class CCal::Sink : public CalTransferSink {
public:
    Sink(CCal* dlg, IFrameUi& window) : CalTransferSink(&window), dlg_(dlg) {}
    void SetProgress(int position) override {
        dlg_->m_progress->setValue(std::clamp(position, dlg_->m_progress->minimum(), dlg_->m_progress->maximum()));
    }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        DuxkMessageBox(dlg_, QString::fromLocal8Bit(text.c_str()), QString::fromLocal8Bit(caption.c_str()), icon);
    }

private:
    CCal* dlg_;
};

namespace {
std::string ToNative(const QString& name) { return QFile::encodeName(name).toStdString(); }
QString FromNative(const std::string& name) { return QFile::decodeName(QByteArray::fromStdString(name)); }
}  // namespace

CCal::CCal(CMainFrame* parent, const QString& caption)
    : CDuxkDialog(parent, 282, 86),
      m_frame(parent->Core()),
      m_strCaption(caption),
      m_sink(std::make_unique<Sink>(this, m_frame.Ui())),
      m_core(std::make_unique<CalTransfer>(m_frame, m_sink.get())) {
    QPushButton* ok = AddButton(1, QStringLiteral("OK"), 7, 37, 32, 14);
    ok->setDefault(true);
    ok->hide();
    QPushButton* cancel = AddButton(2, QStringLiteral("Done"), 7, 52, 32, 14);
    cancel->hide();
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    AddStatic(QStringLiteral("Filename"), true, 7, 9, 36, 8);
    m_edit = new QLineEdit(this);
    Place(m_edit, 1009, 49, 7, 200, 14);
    QPushButton* browse = AddButton(1010, QStringLiteral("..."), 255, 7, 20, 14);
    QPushButton* save = AddButton(1011, QStringLiteral("Save Cal-Data to selected File"), 49, 27, 200, 14);
    QPushButton* load = AddButton(1012, QStringLiteral("Load Cal-Data from selected File"), 49, 46, 200, 14);
    connect(browse, &QPushButton::clicked, this, &CCal::OnBrowse);
    connect(save, &QPushButton::clicked, this, &CCal::OnSave);
    connect(load, &QPushButton::clicked, this, &CCal::OnLoad);

    m_progress = new QProgressBar(this);
    m_progress->setTextVisible(false);
    Place(m_progress, 1013, 49, 68, 201, 11);

    m_timer.setInterval(100);
    connect(&m_timer, &QTimer::timeout, this, &CCal::OnTimer);
}

CCal::~CCal() { OnDestroy(); }

void CCal::OnInitDialog() {
    m_strFileName = FromNative(CalTransfer::DefaultFileName(m_frame));
    m_edit->setText(m_strFileName);
    setWindowTitle(m_strCaption);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    if (!GetSensorChannel().IsOpen()) m_frame.ReopenSensorPort();
    m_timer.start();
    m_nTimer = kTimerId;
}

void CCal::OnBrowse() {
    m_strFileName = m_edit->text();
    QFileDialog dlg(this);
    dlg.setAcceptMode(QFileDialog::AcceptOpen);
    dlg.setFileMode(QFileDialog::AnyFile);
    dlg.setNameFilters({QStringLiteral("Calibration Files (*.cal)"), QStringLiteral("All Files (*)")});
    dlg.setDefaultSuffix(QStringLiteral("cal"));
    if (!m_strFileName.isEmpty()) dlg.selectFile(m_strFileName);
    if (dlg.exec() == QDialog::Accepted && !dlg.selectedFiles().isEmpty()) {
        m_strFileName = QFileInfo(dlg.selectedFiles().first()).absoluteFilePath();
    }
    m_edit->setText(m_strFileName);
    // A save that is still collecting writes to the name chosen here.
    m_core->SetFileName(ToNative(m_strFileName));
}

void CCal::OnSave() {
    m_strFileName = m_edit->text();
    m_core->OnSave(ToNative(m_strFileName));
}

void CCal::OnLoad() {
    m_strFileName = m_edit->text();
    m_core->OnLoad(ToNative(m_strFileName));
}

void CCal::OnTimer() { m_core->Tick(); }

void CCal::done(int result) {
    OnDestroy();
    QDialog::done(result);
}

void CCal::OnDestroy() {
    if (m_nTimer != 0) {
        m_timer.stop();
        m_nTimer = 0;
    }
    // A load cut off by closing the dialog: where the sensor's calibration
    // as it was before is kept.
    if (m_core->LoadUnderWay()) m_frame.Ui().SetStatusText(m_core->RestoreNote());
    m_core->Stop();
}
