#include "gui/MainWnd.h"

#include "gui/AboutDlg.h"
#include "gui/Document.h"
#include "gui/MessageBox.h"
#include "gui/CalDlg.h"
#include "gui/SpecsDlg.h"
#include "serial/DUXKSerial.h"
#include "serial/PortDiagnosis.h"
#include "update/Recovery.h"
#include "update/UpdateDetail.h"
#include "gui/UpdateDlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <cstring>

namespace {
// Listing kinds handed to the information dialog.
constexpr int kListingSpecification = 1;
constexpr int kListingSettings = 2;
constexpr int kListingSelftest = 3;
constexpr int kListingCalData = 4;

const QString kAppTitle = QStringLiteral("DUXKUpdate");
const QString kIdleText = QStringLiteral("Bereit");

// A status bar indicator pane: a sunken label as wide as its text.
QLabel* MakeIndicator(const QString& text, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setAlignment(Qt::AlignCenter);
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(text) + 8);
    return label;
}
}  // namespace

QString PlainToolTip(const QString& text) {
    return text.isEmpty()
               ? QString()
               : QStringLiteral("<p style='white-space:pre'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

CMainFrame::CMainFrame(CDUXKUpdateMFCDoc* doc, std::string cmdLine)
    : m_doc(doc), m_cmdLine(std::move(cmdLine)), m_gate(this), m_core(std::make_unique<CMainFrameCore>(*this)) {
    QMenuBar* bar = menuBar();
    QMenu* file = bar->addMenu(QStringLiteral("&File"));
    AddCommand(file, ID_APP_EXIT, QStringLiteral("E&xit"));
    QMenu* sensor = bar->addMenu(QStringLiteral("&Sensor"));
    AddCommand(sensor, ID_SENSOR_SPECIFICATION, QStringLiteral("Speci&fication"));
    AddCommand(sensor, ID_SENSOR_SETTINGS, QStringLiteral("&Settings"));
    AddCommand(sensor, ID_SENSOR_SELFTEST, QStringLiteral("Self&test"));
    AddCommand(sensor, ID_SENSOR_VIEWCAL, QStringLiteral("&View Calibration Data"));
    AddCommand(sensor, ID_SENSOR_CALDATA, QStringLiteral("Load/Save &Calibration Data"));
    AddCommand(sensor, ID_SENSOR_UPDATE, QStringLiteral("Firmware &Update"));
    QMenu* help = bar->addMenu(QStringLiteral("&?"));
    AddCommand(help, ID_APP_ABOUT, QStringLiteral("&Info..."));

    // A menu uses the message pane while it is open: the sensor entries have
    // no prompt, so the pane is empty then, and the idle text returns when
    // the menu closes.
    for (QMenu* menu : {file, sensor, help}) {
        connect(menu, &QMenu::aboutToShow, this, [this] { SetPaneText(QString()); });
        connect(menu, &QMenu::aboutToHide, this, [this] { SetPaneText(kIdleText); });
    }

    // The standard accelerators. New, open and save act on the (empty)
    // document; the editing and pane commands have no handler.
    struct Accel {
        int id;
        QList<QKeySequence> keys;
    };
    const Accel accels[] = {
        {ID_FILE_NEW, {QKeySequence(Qt::CTRL | Qt::Key_N)}},
        {ID_FILE_OPEN, {QKeySequence(Qt::CTRL | Qt::Key_O)}},
        {ID_FILE_SAVE, {QKeySequence(Qt::CTRL | Qt::Key_S)}},
        {57643, {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}},
        {57635, {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}},
        {57634, {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
        {57637, {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}},
        {57680, {QKeySequence(Qt::Key_F6)}},
        {57681, {QKeySequence(Qt::SHIFT | Qt::Key_F6)}},
    };
    for (const Accel& accel : accels) {
        auto* action = new QAction(this);
        action->setShortcuts(accel.keys);
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
        m_commands[accel.id] = action;
    }
    connect(m_commands[ID_FILE_NEW], &QAction::triggered, this, &CMainFrame::OnFileNew);
    connect(m_commands[ID_FILE_OPEN], &QAction::triggered, this, &CMainFrame::OnFileOpen);
    connect(m_commands[ID_FILE_SAVE], &QAction::triggered, this, &CMainFrame::OnFileSave);

    m_view = new CDUXKUpdateMFCView(this);
    setCentralWidget(m_view);
    UpdateTitle();
}

CMainFrame::~CMainFrame() { Shutdown(); }

QAction* CMainFrame::AddCommand(QMenu* menu, int id, const QString& text) {
    QAction* action = menu->addAction(text);
    m_commands[id] = action;
    switch (id) {
    case ID_APP_EXIT: connect(action, &QAction::triggered, this, &QWidget::close); break;
    case ID_APP_ABOUT: connect(action, &QAction::triggered, this, &CMainFrame::OnAppAbout); break;
    default: connect(action, &QAction::triggered, this, [this, id] { OnSensorCommand(id); }); break;
    }
    return action;
}

QAction* CMainFrame::CommandAction(int id) const {
    auto it = m_commands.find(id);
    return it == m_commands.end() ? nullptr : it->second;
}

void CMainFrame::SetPortOption(const std::string& port, const std::string& baud) {
    m_portOption = port;
    m_baudOption = port.empty() ? std::string() : baud;
}

bool CMainFrame::OnCreate() {
    m_core->m_strCmdLine = m_cmdLine;

    m_wndStatusBar = new QStatusBar(this);
    m_wndStatusBar->setObjectName(QStringLiteral("statusbar"));
    m_wndStatusBar->setSizeGripEnabled(true);
    m_pane0 = new QLabel(m_wndStatusBar);
    m_pane0->setObjectName(QStringLiteral("pane0"));
    // The pane shows serial numbers and port names as they are, never as markup.
    m_pane0->setTextFormat(Qt::PlainText);
    m_pane0->setText(kIdleText);
    m_pane0->setMinimumWidth(1);
    m_wndStatusBar->addWidget(m_pane0, 1);
    // The lock indicators: NUM is always shown. Qt does not tell the state
    // of the lock keys, so caps and scroll lock are always shown greyed.
    QLabel* caps = MakeIndicator(QStringLiteral("UF"), m_wndStatusBar);
    QLabel* num = MakeIndicator(QStringLiteral("NUM"), m_wndStatusBar);
    QLabel* scroll = MakeIndicator(QStringLiteral("RF"), m_wndStatusBar);
    caps->setObjectName(QStringLiteral("indicatorCaps"));
    num->setObjectName(QStringLiteral("indicatorNum"));
    scroll->setObjectName(QStringLiteral("indicatorScroll"));
    caps->setEnabled(false);
    scroll->setEnabled(false);
    m_wndStatusBar->addPermanentWidget(caps);
    m_wndStatusBar->addPermanentWidget(num);
    m_wndStatusBar->addPermanentWidget(scroll);
    setStatusBar(m_wndStatusBar);

    // The window manager places the window.
    resize(300, 400);

    ReadRecoveryRecords();
    if (!m_baudOption.empty()) {
        OpenPortDirectly();
        return true;
    }
    if (!m_portOption.empty())
        std::snprintf(m_core->m_search.szOnlyPort, sizeof m_core->m_search.szOnlyPort, "%s", m_portOption.c_str());
    RefreshView(false, false);
    m_core->StartSearch();
    return true;
}

void CMainFrame::ReadRecoveryRecords() {
    const RecoveryPlan plan = PlanRecovery(RecoveryMode::Desktop, m_portOption);
    QStringList notes;
    for (const std::string& note : plan.notes) {
        QString line = QString::fromLocal8Bit(note.c_str());
        if (!line.isEmpty()) line[0] = line[0].toUpper();
        notes << line;
    }
    m_recoveryNotes = notes.join(QLatin1Char('\n'));
    if (!notes.isEmpty()) SetPaneText(notes.last());
    InstallUpdateProgramProbe(*m_core, plan, RecoveryMode::Desktop,
                              "choose Sensor > Firmware Update to finish the interrupted update");
}

void CMainFrame::OpenPortDirectly() {
    SearchState& search = m_core->m_search;
    std::snprintf(search.szPort, sizeof search.szPort, "%s", m_portOption.c_str());
    std::snprintf(search.szBaud, sizeof search.szBaud, "%s", m_baudOption.c_str());
    m_openedDirectly = true;
    if (m_core->ReopenSensorPort()) {
        m_core->m_bSensorFound = 1;
        SetPaneText(QStringLiteral("Sensor port %1 opened at %2 baud")
                        .arg(QString::fromLocal8Bit(search.szPort), QString::fromLatin1(search.szBaud)));
        RefreshView(false, true);
        return;
    }
    CDUXKSerial& channel = GetSensorChannel();
    const uint32_t code = channel.LastError();
    channel.Close();
    m_core->EnableSensorCommands(false);
    const QString port = QString::fromLocal8Bit(search.szPort);
    QString text = QStringLiteral("Cannot open %1 at %2 baud (error code %3)")
                       .arg(port, QString::fromLatin1(search.szBaud))
                       .arg(code);
    const std::string why = DescribePortOpenFailure(m_portOption, code);
    if (!why.empty()) text += QStringLiteral("\n") + QString::fromLocal8Bit(why.c_str());
    SetPaneText(QStringLiteral("Cannot open %1").arg(port));
    m_view->SetText(text);
    // Once the window is up.
    QTimer::singleShot(0, this, [text] { DuxkMessageBox(nullptr, text, kAppTitle, BoxIcon::Error); });
}

void CMainFrame::RefreshView(bool searchWaiting, bool accepted) {
    if (!m_view) return;
    const SearchState& search = m_core->m_search;
    if (accepted) {
        const QString port = QString::fromLocal8Bit(search.szPort);
        const QString baud = QString::fromLatin1(search.szBaud);
        if (m_openedDirectly) {
            m_view->SetText(QStringLiteral("Sensor port opened directly\n\n%1, %2 baud\n\n"
                                           "(identity and serial number not asked)")
                                .arg(port, baud));
            return;
        }
        if (m_core->m_bInUpdateProgram.load()) {
            m_view->SetText(QStringLiteral("Sensor found in its update program\n\nAn update was interrupted.\n"
                                           "Sensor > Firmware Update finishes it.\n\n%1, %2 baud")
                                .arg(port, baud));
            return;
        }
        // The identity reads "<model> <firmware version>".
        const QString identity = QString::fromLatin1(search.szIdentity).trimmed();
        const qsizetype space = identity.lastIndexOf(QLatin1Char(' '));
        const QString model = space > 0 ? identity.left(space) : identity;
        const QString version = space > 0 ? identity.mid(space + 1) : QString();
        const QString serial = QString::fromLatin1(search.szSerial);
        QStringList lines{QStringLiteral("Sensor found"), QString()};
        lines << (model.isEmpty() ? QStringLiteral("(no identity)") : model);
        lines << QStringLiteral("Firmware %1").arg(version.isEmpty() ? QStringLiteral("unknown") : version);
        lines << (serial.isEmpty() ? QStringLiteral("No serial number reported")
                                   : QStringLiteral("Serial number %1").arg(serial));
        lines << QStringLiteral("%1, %2 baud").arg(port, baud);
        if (!m_recoveryNotes.isEmpty()) lines << QString() << m_recoveryNotes;
        m_view->SetText(lines.join(QLatin1Char('\n')));
        return;
    }
    const QString ports =
        search.szOnlyPort[0] ? QString::fromLocal8Bit(search.szOnlyPort) : QStringLiteral("COM1..COM7");
    QString text = QStringLiteral("Searching %1 \u2026").arg(ports);
    if (searchWaiting && search.szPort[0] && std::strcmp(search.szPort, "????") != 0 && search.szBaud[0]) {
        text += QStringLiteral("\n\nNow trying %1 at %2 baud")
                    .arg(QString::fromLocal8Bit(search.szPort), QString::fromLatin1(search.szBaud));
    }
    if (!m_recoveryNotes.isEmpty()) text += QStringLiteral("\n\n") + m_recoveryNotes;
    m_view->SetText(text);
}

QString CMainFrame::ViewText() const { return m_view ? m_view->Text() : QString(); }

void CMainFrame::SetPaneText(const QString& text) {
    if (!m_pane0) return;
    m_pane0->setText(text);
    // The pane may be too narrow for the whole text. A tooltip takes any
    // text that looks like markup for markup: the text goes in escaped.
    m_pane0->setToolTip(PlainToolTip(text));
    // Draw at once: a command handler may block the window thread right
    // after setting a text (the self-test's wait, for example).
    if (m_pane0->isVisible()) m_pane0->repaint();
}

QString CMainFrame::MessageText() const { return m_pane0 ? m_pane0->text() : QString(); }

void CMainFrame::SetStatusText(const std::string& text) {
    const QString qtext = QString::fromLocal8Bit(text.c_str());
    // Before acceptance the only other thread that shows texts is the search.
    const bool fromWorker = QThread::currentThread() != thread();
    m_gate.Call([this, qtext, fromWorker] {
        SetPaneText(qtext);
        const bool accepted = m_core->m_bSensorFound.load(std::memory_order_acquire) != 0;
        if (fromWorker || accepted) RefreshView(fromWorker, accepted);
    });
}

bool CMainFrame::EnableMenuCommands(const int* ids, int count, bool enable) {
    bool result = false;
    const bool fromWorker = QThread::currentThread() != thread();
    m_gate.Call([&] {
        // The search enables the commands as it accepts the sensor, with the
        // connection state complete; it waits for this window meanwhile.
        if (enable && fromWorker) RefreshView(true, true);
        if (menuBar()->actions().isEmpty()) return;
        for (int i = 0; i < count; ++i) {
            if (QAction* action = CommandAction(ids[i])) action->setEnabled(enable);
        }
        menuBar()->update();
        result = true;
    });
    return result;
}

void CMainFrame::ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    const QString qtext = QString::fromLocal8Bit(text.c_str());
    const QString qcaption = QString::fromLocal8Bit(caption.c_str());
    // Boxes asked for by the core have no owner, so that a dialog that is
    // open meanwhile stays responsive.
    m_gate.Call([qtext, qcaption, icon] { DuxkMessageBox(nullptr, qtext, qcaption, icon); });
}

void CMainFrame::OnSensorCommand(int id) {
    if (!m_core->CheckSensorFound()) return;
    const bool inUpdateProgram = m_core->m_bInUpdateProgram.load() != 0;
    if (inUpdateProgram && id != ID_SENSOR_UPDATE) {
        SetPaneText(
            QStringLiteral("The sensor is still in its update program: "
                           "finish the interrupted update with Firmware Update"));
        return;
    }
    if (id == ID_SENSOR_UPDATE) GetSensorChannel().Close();
    switch (id) {
    case ID_SENSOR_SPECIFICATION: {
        CSpecs dlg(this, QStringLiteral("Specification"), kListingSpecification);
        dlg.exec();
        break;
    }
    case ID_SENSOR_SETTINGS: {
        CSpecs dlg(this, QStringLiteral("Settings"), kListingSettings);
        dlg.exec();
        break;
    }
    case ID_SENSOR_SELFTEST: {
        CSpecs dlg(this, QStringLiteral("Selftest"), kListingSelftest);
        dlg.exec();
        break;
    }
    case ID_SENSOR_VIEWCAL: {
        CSpecs dlg(this, QStringLiteral("Calibration Data"), kListingCalData);
        dlg.exec();
        break;
    }
    case ID_SENSOR_CALDATA: {
        CCal dlg(this, QStringLiteral("Calibration Data"));
        dlg.exec();
        break;
    }
    case ID_SENSOR_UPDATE: {
        {
            CUpdateDlg dlg(this, QStringLiteral("Firmware Update"));
            dlg.exec();
        }
        // The interrupted update is finished: the sensor runs its new
        // firmware and is looked for as at the start.
        if (inUpdateProgram && LastUpdateOutcome().stage == 7) {
            m_core->StopSearch();
            ReadRecoveryRecords();
            m_core->RestartSearch();
            RefreshView(false, false);
            break;
        }
        m_core->ReopenSensorPort();
        break;
    }
    default: break;
    }
}

void CMainFrame::OnAppAbout() {
    CAboutDlg dlg(this);
    dlg.exec();
}

void CMainFrame::UpdateTitle() { setWindowTitle(m_doc->Title() + QStringLiteral(" - ") + kAppTitle); }

void CMainFrame::OnFileNew() {
    m_doc->OnNewDocument();
    UpdateTitle();
}

void CMainFrame::OnFileOpen() {
    const QString path = QFileDialog::getOpenFileName(this, QString(), QString(), QStringLiteral("All Files (*)"));
    if (path.isEmpty()) return;
    if (!m_doc->OnOpenDocument(path)) {
        DuxkMessageBox(this, QStringLiteral("Cannot open the document %1.").arg(path), kAppTitle, BoxIcon::Error);
        return;
    }
    UpdateTitle();
}

void CMainFrame::OnFileSave() {
    QString path = m_doc->PathName();
    if (path.isEmpty()) {
        path = QFileDialog::getSaveFileName(this, QString(), m_doc->Title(), QStringLiteral("All Files (*)"));
        if (path.isEmpty()) return;
    }
    if (!m_doc->OnSaveDocument(path)) {
        DuxkMessageBox(this, QStringLiteral("Cannot save the document %1.").arg(path), kAppTitle, BoxIcon::Error);
        return;
    }
    UpdateTitle();
}

void CMainFrame::Shutdown() {
    if (m_shutDown) return;
    m_shutDown = true;
    // Release a search thread that waits for the window before joining it.
    m_gate.Close();
    m_core->StopSearch();
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.IsOpen()) channel.Close();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    Shutdown();
    QMainWindow::closeEvent(event);
}
