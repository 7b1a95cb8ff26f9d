#include "gui/Document.h"

#include "session/MainFrame.h"

#include "gui/MainWnd.h"
#include "gui/MessageBox.h"
#include "serial/DUXKSerial.h"
#include "serial/PortDiagnosis.h"

#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>
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

namespace {
const QStringList kRates = {QStringLiteral("38400"), QStringLiteral("19200"), QStringLiteral("9600"),
                            QStringLiteral("4800")};

// The value of an option given as "--name VALUE", "--name=VALUE" or
// "/name:VALUE" (the switch in any case). True when args[i] is that option;
// i then points at its last word.
bool TakeValue(const QStringList& args, qsizetype& i, const QString& name, QString* value, QString* error) {
    const QString& arg = args[i];
    const QString dashed = QStringLiteral("--") + name;
    const QString slashed = QLatin1Char('/') + name + QLatin1Char(':');
    if (arg == dashed) {
        if (i + 1 >= args.size()) {
            *error = QStringLiteral("%1 needs a value").arg(dashed);
            return true;
        }
        *value = args[++i];
    } else if (arg.startsWith(dashed + QLatin1Char('='))) {
        *value = arg.mid(dashed.size() + 1);
    } else if (arg.startsWith(slashed, Qt::CaseInsensitive)) {
        *value = arg.mid(slashed.size());
    } else {
        return false;
    }
    if (value->isEmpty() && error->isEmpty()) *error = QStringLiteral("%1 needs a value").arg(dashed);
    return true;
}
}  // namespace

AppCommandLine ParseAppCommandLine(const QStringList& args) {
    AppCommandLine cmd;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& arg = args[i];
        QString trace;
        if (TakeValue(args, i, QStringLiteral("trace"), &trace, &cmd.error)) {
            if (!trace.isEmpty()) cmd.traceFiles << trace;
        } else if (TakeValue(args, i, QStringLiteral("port"), &cmd.port, &cmd.error) ||
                   TakeValue(args, i, QStringLiteral("baud"), &cmd.baud, &cmd.error)) {
            continue;
        } else if (arg == QStringLiteral("--help") || arg == QStringLiteral("-h") || arg == QStringLiteral("/?")) {
            cmd.help = true;
        } else if (arg == QStringLiteral("--version")) {
            cmd.version = true;
        } else if (arg.startsWith(QLatin1Char('-')) ||
                   (arg.startsWith(QLatin1Char('/')) && arg.indexOf(QLatin1Char('/'), 1) < 0 &&
                    !QFileInfo::exists(arg))) {
            // A flag; those the application does not know are ignored. A word
            // with '/' in it past the first character is an absolute path here.
            continue;
        } else if (cmd.documentPath.isEmpty()) {
            cmd.documentPath = arg;
        }
    }
    // The port is carried whole or not at all: a cut path names another device.
    if (cmd.error.isEmpty() && static_cast<size_t>(QFile::encodeName(cmd.port).size()) >= kPortNameSize)
        cmd.error = QStringLiteral("--port: the name is too long (at most %1 bytes)").arg(kPortNameSize - 1);
    // A COMn past the last port number names no port: said now, instead of a
    // search that can only fail.
    if (cmd.error.isEmpty()) {
        const std::string range = ComPortRangeProblem(QFile::encodeName(cmd.port).toStdString());
        if (!range.empty()) cmd.error = QStringLiteral("--port: ") + QString::fromStdString(range);
    }
    if (cmd.error.isEmpty() && !cmd.baud.isEmpty()) {
        if (cmd.port.isEmpty())
            cmd.error = QStringLiteral("--baud needs --port");
        else if (!kRates.contains(cmd.baud))
            cmd.error = QStringLiteral("--baud %1: not one of %2").arg(cmd.baud, kRates.join(QStringLiteral(", ")));
    }
    return cmd;
}

QString AppUsageText() {
    return QStringLiteral(
        "Usage: duxkupdate [OPTIONS] [DOCUMENT]\n"
        "\n"
        "Service application for DUX-Kxx sensors on a serial line: finds the sensor, shows\n"
        "its specification, settings, self-test and calibration listings, saves and loads\n"
        "its calibration data and updates its firmware.\n"
        "\n"
        "Without options the program searches the port it last found a sensor on, then\n"
        "COM1..COM7, each at 38400, 19200, 9600 and 4800 baud, until a sensor answers.\n"
        "\n"
        "Options (either form):\n"
        "  --port NAME, /port:NAME   search only this port (COM1..COM7 or a device path\n"
        "                            such as /dev/ttyUSB0), at its four rates\n"
        "  --baud RATE, /baud:RATE   with --port: open the port at RATE directly, without\n"
        "                            a search (38400, 19200, 9600 or 4800)\n"
        "  /noSNcheck                accept a sensor that reports no serial number\n"
        "  /fast                     update firmware in fast mode: the same bytes on the\n"
        "                            line, without the host's own idle pauses\n"
        "  --trace FILE              append a timestamped trace of the line to FILE\n"
        "                            (also DUXK_TRACE=FILE)\n"
        "  --help                    show this text and exit\n"
        "  --version                 show the version and exit\n"
        "\n"
        "DOCUMENT is opened as the (empty) document at start.\n"
        "\n"
        "Ports: COM1..COM7 are the serial devices present (USB adapters first) unless a\n"
        "port map says otherwise; 'duxk ports' shows and edits it.\n"
        "\n"
        "Examples:\n"
        "  duxkupdate\n"
        "  duxkupdate --port /dev/ttyUSB0\n"
        "  duxkupdate /port:COM3 /baud:19200\n");
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
