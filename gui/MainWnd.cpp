#include "gui/MainWnd.h"

#include "gui/AboutDlg.h"
#include "gui/Document.h"
#include "gui/MessageBox.h"
#include "gui/CalDlg.h"
#include "gui/ReadBackDlg.h"
#include "gui/SpecsDlg.h"
#include "serial/DUXKSerial.h"
#include "update/Recovery.h"
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
    : m_doc(doc),
      m_cmdLine(std::move(cmdLine)),
      m_gate(this),
      m_core(std::make_unique<CMainFrameCore>(*this)),
      m_controller(std::make_unique<FrameController>(*m_core, static_cast<IMainWindow&>(*this))) {
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
    sensor->addSeparator();
    AddCommand(sensor, ID_SENSOR_BACKUP, QStringLiteral("&Backup Flash..."));
    AddCommand(sensor, ID_SENSOR_VERIFY, QStringLiteral("Ve&rify Flash..."));
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
    m_controller->SetPortOption(port, baud);
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

    const FrameController::StartResult start = m_controller->Start();
    if (!start.paneText.empty()) SetPaneText(QString::fromStdString(start.paneText));
    // Before acceptance the view reads only what the search will not change.
    RefreshView(false, m_controller->OpenedDirectly() && !start.failed);
    if (start.failed) {
        m_view->SetText(QString::fromStdString(start.boxText));
        // Once the window is up.
        const QString text = QString::fromStdString(start.boxText);
        QTimer::singleShot(0, this, [text] { DuxkMessageBox(nullptr, text, kAppTitle, BoxIcon::Error); });
    }
    return true;
}

void CMainFrame::RefreshView(bool searchWaiting, bool accepted) {
    if (!m_view) return;
    m_view->SetText(QString::fromStdString(m_controller->ViewText(searchWaiting, accepted)));
}

void CMainFrame::RefreshView() { RefreshView(false, m_core->m_bSensorFound.load(std::memory_order_acquire) != 0); }

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
        for (int id : MenuCommandsToSet(ids, count)) {
            if (QAction* action = CommandAction(id)) action->setEnabled(enable);
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
    const SensorCommand* command = FindSensorCommand(id);
    if (!command || !m_controller->BeforeSensorCommand(id)) return;
    const QString title = QString::fromLatin1(command->title);
    bool updateSucceeded = false, sensorChanged = false;
    switch (command->dialog) {
    case CommandDialog::Listing: {
        CSpecs dlg(this, title, command->listingKind);
        dlg.exec();
        break;
    }
    case CommandDialog::Calibration: {
        CCal dlg(this, title);
        dlg.exec();
        sensorChanged = dlg.SensorChanged();
        break;
    }
    case CommandDialog::Update: {
        CUpdateDlg dlg(this, title);
        dlg.exec();
        updateSucceeded = sensorChanged = dlg.Core().Succeeded();
        break;
    }
    case CommandDialog::ReadBack: {
        CReadBackDlg dlg(this, command->readBack);
        dlg.exec();
        break;
    }
    case CommandDialog::None: break;
    }
    m_controller->AfterSensorCommand(id, updateSucceeded, sensorChanged);
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
    // Release a search thread (or a refresh) that waits for the window
    // before joining it.
    m_gate.Close();
    m_controller->Shutdown();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    Shutdown();
    QMainWindow::closeEvent(event);
}
