#include "app/gui/Document.h"

#include "app/gui/MainWnd.h"
#include "app/gui/MessageBox.h"
#include "app/gui/ScreenshotTour.h"
#include "serial/DUXKSerial.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

void CDUXKUpdateMFCDoc::SetPath(const QString& path) {
    path_ = QFileInfo(path).absoluteFilePath();
    title_ = QFileInfo(path).fileName();
}

void CDUXKUpdateMFCDoc::OnNewDocument() {
    path_.clear();
    title_ = UntitledTitle();
}

bool CDUXKUpdateMFCDoc::OnOpenDocument(const QString& path) {
    QFile file(path);
    if (QFileInfo(path).isDir() || !file.open(QIODevice::ReadOnly)) return false;
    SetPath(path);
    return true;
}

bool CDUXKUpdateMFCDoc::OnSaveDocument(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    file.close();
    SetPath(path);
    return true;
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

    // Command line: "--trace FILE" attaches the channel's trace; other words
    // that begin with '/' or '-' are flags (the search itself looks for
    // "noSNcheck" in the raw line); the first other word names a document.
    AttachTraceFromEnvironment();
    QString documentPath;
    const QStringList args = arguments();
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QStringLiteral("--trace") && i + 1 < args.size()) {
            GetSensorChannel().AttachTrace(QFile::encodeName(args[++i]).constData());
        } else if (arg.startsWith(QStringLiteral("--trace="))) {
            GetSensorChannel().AttachTrace(QFile::encodeName(arg.mid(8)).constData());
        } else if (arg.startsWith(QLatin1Char('/')) || arg.startsWith(QLatin1Char('-'))) {
            continue;
        } else if (documentPath.isEmpty()) {
            documentPath = arg;
        }
    }

    doc_ = std::make_unique<CDUXKUpdateMFCDoc>();
    if (!documentPath.isEmpty() && !doc_->OnOpenDocument(documentPath)) {
        DuxkMessageBox(nullptr, QStringLiteral("Cannot open the document %1.").arg(documentPath),
                       QStringLiteral("DUXKUpdate"), BoxIcon::Error);
        return false;
    }
    frame_ = std::make_unique<CMainFrame>(doc_.get(), cmdLine_);
    if (!frame_->OnCreate()) return false;
    frame_->UpdateTitle();
    frame_->show();
    StartScreenshotTourIfRequested(frame_.get());
    return true;
}
