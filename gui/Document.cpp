#include "gui/Document.h"

#include "dialogs/AppOptions.h"
#include "session/MainFrame.h"

#include "gui/MainWnd.h"
#include "gui/MessageBox.h"
#include "serial/DUXKSerial.h"

#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>
#include <QSettings>
#include <QStringList>

namespace {
std::string Native(const QString& path) { return QFile::encodeName(path).toStdString(); }
QString FromNative(const std::string& path) { return QFile::decodeName(QByteArray::fromStdString(path)); }
}  // namespace

bool CDUXKUpdateMFCDoc::OnOpenDocument(const QString& path) { return core_.OnOpenDocument(Native(path)); }

bool CDUXKUpdateMFCDoc::OnSaveDocument(const QString& path) { return core_.OnSaveDocument(Native(path)); }

QString CDUXKUpdateMFCDoc::Title() const { return FromNative(core_.Title()); }

QString CDUXKUpdateMFCDoc::PathName() const { return FromNative(core_.PathName()); }

CDUXKUpdateMFCView::CDUXKUpdateMFCView(QWidget* parent) : QWidget(parent), label_(new QLabel(this)) {
    label_->setObjectName(QStringLiteral("viewText"));
    // Identity and serial number come from the device: never rich text.
    label_->setTextFormat(Qt::PlainText);
    label_->setAlignment(Qt::AlignCenter);
    label_->setWordWrap(true);
    label_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(label_);
}

void CDUXKUpdateMFCView::SetText(const QString& text) { label_->setText(text); }

QString CDUXKUpdateMFCView::Text() const { return label_->text(); }

AppCommandLine ParseAppCommandLine(const QStringList& args) {
    std::vector<std::string> words;
    for (const QString& arg : args) words.push_back(QFile::encodeName(arg).toStdString());
    const AppOptions options = ParseAppArguments(words);
    AppCommandLine cmd;
    cmd.documentPath = FromNative(options.documentPath);
    for (const std::string& trace : options.traceFiles) cmd.traceFiles << FromNative(trace);
    cmd.port = FromNative(options.port);
    cmd.baud = QString::fromStdString(options.baud);
    cmd.help = options.help;
    cmd.version = options.version;
    cmd.error = QString::fromStdString(options.error);
    return cmd;
}

CDUXKUpdateMFCApp::CDUXKUpdateMFCApp(int& argc, char** argv, std::string cmdLine)
    : QApplication(argc, argv), cmdLine_(std::move(cmdLine)) {}

CDUXKUpdateMFCApp::~CDUXKUpdateMFCApp() {
    // The frame stops the search and closes the port before the document goes.
    frame_.reset();
    doc_.reset();
}

bool CDUXKUpdateMFCApp::InitInstance() {
    // The framework's standard settings live under this key; the program
    // keeps nothing of its own there, only the recent-file list (4 entries).
    setOrganizationName(QStringLiteral("Local AppWizard-Generated Applications"));
    setApplicationName(QStringLiteral("DUXKUpdate"));
    // Ties the windows to the desktop entry (its name and icon).
    setDesktopFileName(QStringLiteral("duxkupdate"));
    setWindowIcon(QIcon::fromTheme(QStringLiteral("duxkupdate"), QIcon(QStringLiteral(":/duxkupdate.png"))));
    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("Recent File List"));
        QStringList recent;
        for (int i = 1; i <= 4; ++i) {
            const QString entry = settings.value(QStringLiteral("File%1").arg(i)).toString();
            if (!entry.isEmpty()) recent << entry;
        }
        settings.endGroup();
    }

    // The search itself looks for "noSNcheck" in the raw command line.
    AttachTraceFromEnvironment();
    const AppCommandLine cmd = ParseAppCommandLine(arguments());
    for (const QString& trace : cmd.traceFiles) GetSensorChannel().AttachTrace(QFile::encodeName(trace).constData());
    const QString documentPath = cmd.documentPath;

    doc_ = std::make_unique<CDUXKUpdateMFCDoc>();
    if (!documentPath.isEmpty() && !doc_->OnOpenDocument(documentPath)) {
        DuxkMessageBox(nullptr, QStringLiteral("Cannot open the document %1.").arg(documentPath),
                       QStringLiteral("DUXKUpdate"), BoxIcon::Error);
        return false;
    }
    frame_ = std::make_unique<CMainFrame>(doc_.get(), cmdLine_);
    frame_->SetPortOption(QFile::encodeName(cmd.port).toStdString(), cmd.baud.toStdString());
    if (!frame_->OnCreate()) return false;
    frame_->UpdateTitle();
    frame_->show();
    return true;
}
