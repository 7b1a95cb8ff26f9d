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

AppCommandLine ParseAppCommandLine(const QStringList& args) {
    AppCommandLine cmd;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        if (arg == QStringLiteral("--trace")) {
            if (i + 1 < args.size()) cmd.traceFiles << args[++i];
        } else if (arg.startsWith(QStringLiteral("--trace="))) {
            cmd.traceFiles << arg.mid(8);
        } else if (arg.startsWith(QLatin1Char('-')) ||
                   (arg.startsWith(QLatin1Char('/')) && arg.indexOf(QLatin1Char('/'), 1) < 0 && !QFileInfo::exists(arg))) {
            // A flag; those the application does not know are ignored. A word
            // with '/' in it past the first character is an absolute path here.
            continue;
        } else if (cmd.documentPath.isEmpty()) {
            cmd.documentPath = arg;
        }
    }
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
    if (!frame_->OnCreate()) return false;
    frame_->UpdateTitle();
    frame_->show();
    StartScreenshotTourIfRequested(frame_.get());
    return true;
}
