// The desktop application's windows, offscreen, against the virtual sensor:
// the main window's search and commands, the cross-thread requests while the
// window goes away, and the three dialogs.

#include "session/MainFrame.h"
#include "gui/Document.h"
#include "gui/MainWnd.h"
#include "gui/MessageBox.h"
#include "gui/AboutDlg.h"
#include "gui/CalDlg.h"
#include "gui/ReadBackDlg.h"
#include "gui/SpecsDlg.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "tests/session/TestSupport.h"
#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"
#include "gui/UpdateDlg.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>
#include <utility>
#include <vector>
#include <functional>
#include <mutex>
#include <sstream>

extern char** environ;

using namespace testsupport;

namespace {

const int kSensorCommands[] = {ID_SENSOR_SPECIFICATION, ID_SENSOR_SETTINGS, ID_SENSOR_SELFTEST, ID_SENSOR_VIEWCAL,
                               ID_SENSOR_CALDATA,       ID_SENSOR_UPDATE,   ID_SENSOR_BACKUP,   ID_SENSOR_VERIFY};

// Runs the event loop (blocking between events) until pred holds or the time is up.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > timeoutMs) return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Answers every message box at once and keeps what it was asked.
class BoxRecorder {
public:
    BoxRecorder() {
        SetMessageBoxHook([this](QWidget* owner, const QString& text, const QString& caption, BoxIcon icon) {
            std::lock_guard<std::mutex> lock(m_);
            boxes_.push_back(caption + QStringLiteral(": ") + text);
            icons_.push_back(icon);
            owners_.push_back(owner);
        });
    }
    ~BoxRecorder() { SetMessageBoxHook(nullptr); }
    QStringList Boxes() const {
        std::lock_guard<std::mutex> lock(m_);
        return boxes_;
    }
    bool Has(const QString& part) const {
        for (const QString& box : Boxes())
            if (box.contains(part)) return true;
        return false;
    }
    // Icon and owner of the last box shown.
    BoxIcon LastIcon() const {
        std::lock_guard<std::mutex> lock(m_);
        return icons_.empty() ? BoxIcon::None : icons_.back();
    }
    QWidget* LastOwner() const {
        std::lock_guard<std::mutex> lock(m_);
        return owners_.empty() ? nullptr : owners_.back();
    }

private:
    mutable std::mutex m_;
    QStringList boxes_;
    std::vector<BoxIcon> icons_;
    std::vector<QWidget*> owners_;
};

bool AllCommandsEnabled(CMainFrame& frame, bool enabled) {
    for (int id : kSensorCommands)
        if (frame.CommandAction(id)->isEnabled() != enabled) return false;
    return true;
}

// A main window whose search has accepted the virtual sensor on COM2.
struct FoundSensor {
    TempEnv env;
    SimProcess sim{2, 38400, {"--serial", "K52GUI001", "--erase-ms", "100"}};
    CDUXKUpdateMFCDoc doc;
    std::unique_ptr<CMainFrame> frame;

    FoundSensor() {
        ResetReplyState();
        if (!sim.Ready()) return;
        frame = std::make_unique<CMainFrame>(&doc, "duxkupdate");
        frame->OnCreate();
        frame->show();
        WaitUntil([&] { return frame->Core().m_bSensorFound.load() != 0; }, 60000);
    }
    bool Found() const { return frame && frame->Core().m_bSensorFound.load() != 0; }
};

TEST(MainWindowTest, CommandsGreyedWhileSearchingAndEnabledOnAcceptance) {
    TempEnv env;
    ResetReplyState();
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    ASSERT_TRUE(frame.OnCreate());
    frame.show();
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("Unbenannt - DUXKUpdate"));
    EXPECT_EQ(frame.size(), QSize(300, 400));
    EXPECT_FALSE(frame.testAttribute(Qt::WA_Moved)) << "the window manager places the window";
    EXPECT_EQ(frame.findChild<QLabel*>(QStringLiteral("indicatorNum"))->text(), QStringLiteral("NUM"));

    // Before acceptance every sensor command only says so.
    frame.OnSensorCommand(ID_SENSOR_UPDATE);
    EXPECT_EQ(frame.MessageText(), QStringLiteral("No Sensor!"));

    // No sensor anywhere: the search keeps running with the commands greyed.
    ASSERT_TRUE(WaitUntil([&] { return AllCommandsEnabled(frame, false); }, 5000));
    ASSERT_TRUE(WaitUntil([&] { return frame.MessageText() == QStringLiteral("Looking for sensor..."); }, 5000));
    frame.OnSensorCommand(ID_SENSOR_SPECIFICATION);
    EXPECT_EQ(frame.MessageText(), QStringLiteral("No Sensor!"));
    EXPECT_TRUE(frame.Core().SearchRunning());

    // A sensor appears on COM4: the next pass finds it and enables the commands.
    SimProcess sim(4, 19200, {"--serial", "K52GUI002"});
    ASSERT_TRUE(sim.Ready());
    ASSERT_TRUE(WaitUntil([&] { return frame.Core().m_bSensorFound.load() != 0; }, 90000));
    EXPECT_TRUE(WaitUntil([&] { return AllCommandsEnabled(frame, true); }, 2000));
    EXPECT_EQ(frame.MessageText(), QStringLiteral("Found Sensor 'K52GUI002' at COM4, 19200 baud"));
    EXPECT_EQ(frame.findChild<QLabel*>(QStringLiteral("pane0"))->toolTip(), PlainToolTip(frame.MessageText()));
    EXPECT_TRUE(frame.CommandAction(ID_APP_EXIT)->isEnabled());

    // An open menu takes the message pane (no prompts for these entries);
    // closing it leaves the idle text.
    QMenu* sensorMenu = frame.CommandAction(ID_SENSOR_UPDATE)->associatedObjects().isEmpty()
                            ? nullptr
                            : qobject_cast<QMenu*>(frame.CommandAction(ID_SENSOR_UPDATE)->associatedObjects().first());
    ASSERT_NE(sensorMenu, nullptr);
    sensorMenu->popup(QPoint(0, 0));
    EXPECT_TRUE(WaitUntil([&] { return frame.MessageText().isEmpty(); }, 2000));
    sensorMenu->hide();
    EXPECT_TRUE(WaitUntil([&] { return frame.MessageText() == QStringLiteral("Bereit"); }, 2000));

    // Closing the window closes the channel.
    frame.close();
    EXPECT_FALSE(GetSensorChannel().IsOpen());
}

TEST(MainWindowTest, CommandLineFlagsTraceAndDocument) {
    const AppCommandLine cmd =
        ParseAppCommandLine({QStringLiteral("duxkupdate"), QStringLiteral("/noSNcheck"), QStringLiteral("-NOSNCHECK"),
                             QStringLiteral("--trace"), QStringLiteral("t.log"), QStringLiteral("/tmp/first.dat"),
                             QStringLiteral("second.dat")});
    EXPECT_EQ(cmd.traceFiles, QStringList{QStringLiteral("t.log")});
    EXPECT_EQ(cmd.documentPath, QStringLiteral("/tmp/first.dat"));
    EXPECT_TRUE(ParseAppCommandLine({QStringLiteral("duxkupdate"), QStringLiteral("--trace")}).documentPath.isEmpty());

    // The port and rate in both switch styles; the port's word is no document.
    auto parse = [](QStringList words) {
        words.prepend(QStringLiteral("duxkupdate"));
        return ParseAppCommandLine(words);
    };
    AppCommandLine port =
        parse({QStringLiteral("--port"), QStringLiteral("/dev/ttyUSB0"), QStringLiteral("--baud=19200")});
    EXPECT_EQ(port.port, QStringLiteral("/dev/ttyUSB0"));
    EXPECT_EQ(port.baud, QStringLiteral("19200"));
    EXPECT_TRUE(port.documentPath.isEmpty());
    EXPECT_TRUE(port.error.isEmpty());
    port = parse({QStringLiteral("/PORT:COM3"), QStringLiteral("/baud:4800"), QStringLiteral("doc.dux")});
    EXPECT_EQ(port.port, QStringLiteral("COM3"));
    EXPECT_EQ(port.baud, QStringLiteral("4800"));
    EXPECT_EQ(port.documentPath, QStringLiteral("doc.dux"));
    EXPECT_TRUE(parse({QStringLiteral("--help")}).help);
    EXPECT_TRUE(parse({QStringLiteral("--version")}).version);
    for (const QStringList& bad :
         {QStringList{QStringLiteral("--baud"), QStringLiteral("9600")},
          QStringList{QStringLiteral("--port"), QStringLiteral("COM1"), QStringLiteral("/baud:1234")},
          QStringList{QStringLiteral("--port")}, QStringList{QStringLiteral("/port:")},
          QStringList{QStringLiteral("--port"), QString(5000, QLatin1Char('p'))},
          QStringList{QStringLiteral("/port:COM999999999")}, QStringList{QStringLiteral("--port=com257")}})
        EXPECT_FALSE(parse(bad).error.isEmpty()) << bad.join(' ').toStdString();
    EXPECT_EQ(parse({QStringLiteral("/port:COM2000000")}).error,
              QStringLiteral("--port: COM2000000 is not a port name: COM ports are numbered from COM1 to COM256"));
    EXPECT_TRUE(parse({QStringLiteral("/port:COM256")}).error.isEmpty());

    // The empty document: open reads nothing, save writes an empty file, new
    // goes back to the untitled title; the caption follows.
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    const QString path = QString::fromStdString(env.temp + "/doc.dux");
    EXPECT_FALSE(doc.OnOpenDocument(path));
    std::ofstream(path.toStdString()) << "content";
    ASSERT_TRUE(doc.OnOpenDocument(path));
    frame.UpdateTitle();
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("doc.dux - DUXKUpdate"));
    ASSERT_TRUE(doc.OnSaveDocument(path));
    EXPECT_EQ(QFileInfo(path).size(), 0);
    frame.OnFileNew();
    EXPECT_EQ(frame.windowTitle(), QStringLiteral("Unbenannt - DUXKUpdate"));
}

TEST(MainWindowTest, PortSwitchSearchesOnlyThatPortAndTheViewShowsTheSearchAndTheSensor) {
    TempEnv env;
    ResetReplyState();
    // A sensor on COM2 would be found first by a full search.
    SimProcess other(2, 38400, {"--serial", "K52GUIOTHER"});
    SimProcess sim(5, 19200, {"--serial", "K52GUI005"});
    ASSERT_TRUE(other.Ready() && sim.Ready());
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate --port COM5");
    frame.SetPortOption("COM5", "");
    ASSERT_TRUE(frame.OnCreate());
    frame.show();
    EXPECT_EQ(frame.ViewText(), QStringLiteral("Searching COM5 \u2026"));
    QStringList seen;
    ASSERT_TRUE(WaitUntil(
        [&] {
            if (seen.isEmpty() || seen.back() != frame.ViewText()) seen << frame.ViewText();
            return frame.Core().m_bSensorFound.load() != 0;
        },
        90000));
    EXPECT_TRUE(seen.contains(QStringLiteral("Searching COM5 \u2026\n\nNow trying COM5 at 38400 baud")))
        << seen.join('|').toStdString();
    EXPECT_EQ(frame.ViewText().toStdString(),
              "Sensor found\n\nDUX-K52\nFirmware V3.00\nSerial number K52GUI005\nCOM5, 19200 baud");
    EXPECT_EQ(frame.MessageText(), QStringLiteral("Found Sensor 'K52GUI005' at COM5, 19200 baud"));
    frame.close();
}

TEST(MainWindowTest, PortAndBaudOpenDirectlyOrReportWhyNot) {
    TempEnv env;
    ResetReplyState();
    SimProcess sim(3, 9600, {"--serial", "K52GUI003"});
    ASSERT_TRUE(sim.Ready());
    {
        CDUXKUpdateMFCDoc doc;
        CMainFrame frame(&doc, "duxkupdate");
        frame.SetPortOption("COM3", "9600");
        ASSERT_TRUE(frame.OnCreate());
        // No search: the port is open and the commands usable at once.
        EXPECT_FALSE(frame.Core().SearchRunning());
        EXPECT_NE(frame.Core().m_bSensorFound.load(), 0);
        EXPECT_TRUE(GetSensorChannel().IsOpen());
        EXPECT_TRUE(AllCommandsEnabled(frame, true));
        EXPECT_TRUE(frame.ViewText().contains(QStringLiteral("COM3, 9600 baud"))) << frame.ViewText().toStdString();
        // The listing comes at the rate given.
        CSpecs dlg(&frame, QStringLiteral("Specification"), 1);
        dlg.show();
        EXPECT_TRUE(WaitUntil([&] { return dlg.Text().count(QStringLiteral("\r\n")) > 2; }, 15000));
        dlg.reject();
        frame.close();
    }
    BoxRecorder boxes;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    frame.SetPortOption("COM6", "38400");
    ASSERT_TRUE(frame.OnCreate());
    frame.show();
    EXPECT_TRUE(WaitUntil([&] { return !boxes.Boxes().isEmpty(); }, 2000));
    EXPECT_TRUE(boxes.Has(QStringLiteral("DUXKUpdate: Cannot open COM6 at 38400 baud (error code 2)")))
        << boxes.Boxes().join('\n').toStdString();
    EXPECT_EQ(boxes.LastIcon(), BoxIcon::Error);
    EXPECT_FALSE(frame.Core().SearchRunning());
    EXPECT_EQ(frame.Core().m_bSensorFound.load(), 0);
    EXPECT_TRUE(AllCommandsEnabled(frame, false));
    EXPECT_FALSE(GetSensorChannel().IsOpen());
}

TEST(MainWindowTest, ClosingDuringTheSearchStopsItPromptly) {
    TempEnv env;
    ResetReplyState();
    CDUXKUpdateMFCDoc doc;
    auto frame = std::make_unique<CMainFrame>(&doc, "duxkupdate");
    frame->OnCreate();
    frame->show();
    ASSERT_TRUE(WaitUntil([&] { return frame->MessageText() == QStringLiteral("Looking for sensor..."); }, 5000));
    QElapsedTimer clock;
    clock.start();
    frame->close();
    EXPECT_FALSE(frame->Core().SearchRunning());
    frame.reset();
    // A hang would last for ever; a generous bound tells it from a slow machine.
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST(MainWindowTest, WorkerRequestsAreReleasedWhenTheWindowGoesAway) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    auto frame = std::make_unique<CMainFrame>(&doc, "duxkupdate");
    BoxRecorder boxes;
    // A worker asks for a box and a status text while the window thread is
    // not running its loop; the window is destroyed before it gets to them.
    std::atomic<int> returned{0};
    std::thread worker([&] {
        frame->ShowMessageBox("from worker", "DUXKUpdate", BoxIcon::Error);
        ++returned;
        frame->SetStatusText("late");
        ++returned;
    });
    QThread::msleep(100);
    EXPECT_EQ(returned.load(), 0) << "the caller waits for the window thread";
    frame->Shutdown();
    worker.join();
    EXPECT_EQ(returned.load(), 2);
    EXPECT_TRUE(boxes.Boxes().isEmpty());
    frame.reset();
}

TEST(MainWindowTest, WorkerBoxIsShownOnTheWindowThreadAndWaitedFor) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    std::atomic<bool> onGuiThread{false};
    SetMessageBoxHook([&](QWidget* owner, const QString&, const QString&, BoxIcon) {
        onGuiThread = QThread::currentThread() == qApp->thread() && owner == nullptr;
    });
    std::atomic<bool> done{false};
    std::thread worker([&] {
        frame.ShowMessageBox("text", "caption", BoxIcon::Information);
        done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 5000));
    worker.join();
    SetMessageBoxHook(nullptr);
    EXPECT_TRUE(onGuiThread.load());
}

TEST(DialogTest, InformationDialogShowsTheListingFromItsPackMarker) {
    FoundSensor s;
    ASSERT_TRUE(s.Found());
    CSpecs dlg(s.frame.get(), QStringLiteral("Specification"), 1);
    dlg.show();
    EXPECT_EQ(dlg.windowTitle(), QStringLiteral("Specification"));
    ASSERT_TRUE(WaitUntil([&] { return dlg.Text().count(QStringLiteral("\r\n")) > 3; }, 10000));
    WaitUntil([] { return false; }, 600);  // let the rest of the listing arrive
    const QString text = dlg.Text();
    const QString first = text.left(text.indexOf(QStringLiteral("\r\n")));
    EXPECT_TRUE(first.contains(QStringLiteral("pack "), Qt::CaseInsensitive)) << text.toStdString();
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    EXPECT_EQ(dlg.findChild<QWidget*>(QStringLiteral("id1008"))->property("plainText").toString(), shown);
    dlg.reject();
}

TEST(DialogTest, CalibrationSaveWritesTheFile) {
    FoundSensor s;
    ASSERT_TRUE(s.Found());
    CCal dlg(s.frame.get(), QStringLiteral("Calibration Data"));
    dlg.show();
    auto* edit = dlg.findChild<QLineEdit*>(QStringLiteral("id1009"));
    EXPECT_TRUE(edit->text().endsWith(QStringLiteral("K52GUI001.cal"))) << edit->text().toStdString();

    const QString path = QString::fromStdString(s.env.temp + "/saved.cal");
    edit->setText(path);
    dlg.findChild<QPushButton*>(QStringLiteral("id1011"))->click();
    EXPECT_FALSE(QFileInfo::exists(path)) << "the file appears with the whole listing only";
    ASSERT_TRUE(WaitUntil([&] { return s.frame->MessageText() == QStringLiteral("Done."); }, 20000));
    std::ifstream in(path.toStdString(), std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string data = content.str();
    EXPECT_NE(data.find(" pack "), std::string::npos) << data;
    EXPECT_NE(data.find("\r\n"), std::string::npos);
    EXPECT_EQ(data.find("\r\r"), std::string::npos);
    dlg.reject();
}

// A small application image the virtual sensor accepts: "DKFW", length,
// sum of the bytes after the header, then the version marker.
std::string WriteFirmware(const std::string& dir, uint32_t size) {
    std::vector<uint8_t> image(size, 0);
    std::memcpy(image.data(), "DKFW", 4);
    for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<uint8_t>(size >> (8 * i));
    const char marker[] = "VER=3.11";
    std::memcpy(image.data() + 12, marker, sizeof marker - 1);
    for (uint32_t i = 12 + sizeof marker; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7);
    uint32_t sum = 0;
    for (uint32_t i = 12; i < size; ++i) sum += image[i];
    for (int i = 0; i < 4; ++i) image[8 + i] = static_cast<uint8_t>(sum >> (8 * i));
    const std::string path = dir + "/small.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), size);
    return path;
}

TEST(DialogTest, UpdateRunsWithFullBarsRefusesEscapeAndClosesAfter) {
    FoundSensor s;
    ASSERT_TRUE(s.Found());
    BoxRecorder boxes;
    GetSensorChannel().Close();  // as the menu command does before the dialog
    auto dlg = std::make_unique<CUpdateDlg>(s.frame.get(), QStringLiteral("Firmware Update"));
    dlg->show();
    auto* execute = dlg->findChild<QPushButton*>(QStringLiteral("id1005"));
    auto* edit = dlg->findChild<QLineEdit*>(QStringLiteral("id1000"));
    EXPECT_FALSE(dlg->findChild<QPushButton*>(QStringLiteral("id1"))->isVisible());
    ASSERT_TRUE(WaitUntil([&] { return execute->isEnabled(); }, 2000));

    // Nothing chosen yet: the file error, and the dialog keeps waiting.
    execute->click();
    EXPECT_TRUE(boxes.Has(QStringLiteral("File Error: Please enter the name of an existing file")));
    EXPECT_FALSE(dlg->UpdateRunning());

    edit->setText(QString::fromStdString(WriteFirmware(s.env.temp, 2048)));
    execute->click();
    ASSERT_TRUE(dlg->UpdateRunning());
    EXPECT_FALSE(dlg->Job().options.fast);
    EXPECT_FALSE(execute->isEnabled());

    int maxBar[3] = {0, 0, 0};
    const char* bars[3] = {"id1002", "id1003", "id1004"};
    bool escapeTried = false;
    const bool ended = WaitUntil(
        [&] {
            for (int i = 0; i < 3; ++i)
                maxBar[i] = std::max(maxBar[i], dlg->findChild<QProgressBar*>(bars[i])->value());
            if (!escapeTried && maxBar[0] > 0) {
                escapeTried = true;
                QTest::keyClick(dlg.get(), Qt::Key_Escape);
                dlg->reject();
                EXPECT_TRUE(dlg->isVisible()) << "Escape is refused while the update runs";
            }
            return !dlg->UpdateRunning();
        },
        180000);
    ASSERT_TRUE(ended);
    EXPECT_TRUE(escapeTried);
    EXPECT_TRUE(boxes.Has(QStringLiteral("Firmware transferred successfully")))
        << boxes.Boxes().join('\n').toStdString();
    EXPECT_EQ(maxBar[0], 100);
    EXPECT_EQ(maxBar[1], 100);
    EXPECT_EQ(maxBar[2], 100);

    // One update per opening: Execute stays off, and Escape now closes.
    WaitUntil([] { return false; }, 300);
    EXPECT_FALSE(execute->isEnabled());
    QTest::keyClick(dlg.get(), Qt::Key_Escape);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_EQ(dlg->result(), QDialog::Rejected);
    dlg.reset();
    s.frame->Core().ReopenSensorPort();
    EXPECT_TRUE(GetSensorChannel().IsOpen());
}

TEST(DialogTest, FastSwitchOnTheCommandLineRunsTheUpdateFast) {
    FoundSensor s;
    ASSERT_TRUE(s.Found());
    BoxRecorder boxes;
    GetSensorChannel().Close();
    s.frame->Core().m_strCmdLine = "duxkupdate /noSNcheck /FAST";  // any case, as the other switches
    CUpdateDlg dlg(s.frame.get(), QStringLiteral("Firmware Update"));
    dlg.show();
    auto* execute = dlg.findChild<QPushButton*>(QStringLiteral("id1005"));
    ASSERT_TRUE(WaitUntil([&] { return execute->isEnabled(); }, 2000));
    dlg.findChild<QLineEdit*>(QStringLiteral("id1000"))
        ->setText(QString::fromStdString(WriteFirmware(s.env.temp, 512)));
    execute->click();
    ASSERT_TRUE(dlg.UpdateRunning());
    EXPECT_TRUE(dlg.Job().options.fast);
    QTest::keyClick(&dlg, Qt::Key_Return);  // ends the dialog once the update is over
    EXPECT_FALSE(dlg.UpdateRunning());
    EXPECT_TRUE(boxes.Has(QStringLiteral("Firmware transferred successfully")))
        << boxes.Boxes().join('\n').toStdString();
}

TEST(DialogTest, EnterDuringAnUpdateWaitsForItWithTheWindowAlive) {
    FoundSensor s;
    ASSERT_TRUE(s.Found());
    BoxRecorder boxes;
    GetSensorChannel().Close();
    CUpdateDlg dlg(s.frame.get(), QStringLiteral("Firmware Update"));
    dlg.show();
    auto* execute = dlg.findChild<QPushButton*>(QStringLiteral("id1005"));
    ASSERT_TRUE(WaitUntil([&] { return execute->isEnabled(); }, 2000));
    dlg.findChild<QLineEdit*>(QStringLiteral("id1000"))
        ->setText(QString::fromStdString(WriteFirmware(s.env.temp, 512)));
    execute->click();
    ASSERT_TRUE(dlg.UpdateRunning());
    ASSERT_TRUE(WaitUntil([&] { return dlg.findChild<QProgressBar*>(QStringLiteral("id1002"))->value() > 0; }, 30000));
    // Enter ends the dialog, but only once the update is over. The driver's
    // result box, asked for from the worker, must get through meanwhile, or
    // this would never return; and the bars go on following the update.
    int programWhileWaiting = 0;
    QTimer watch;
    watch.setInterval(50);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        programWhileWaiting =
            std::max(programWhileWaiting, dlg.findChild<QProgressBar*>(QStringLiteral("id1004"))->value());
    });
    watch.start();
    ASSERT_EQ(dlg.findChild<QProgressBar*>(QStringLiteral("id1004"))->value(), 0);
    QTest::keyClick(&dlg, Qt::Key_Return);
    watch.stop();
    EXPECT_EQ(programWhileWaiting, 100);
    EXPECT_FALSE(dlg.UpdateRunning());
    EXPECT_GE(dlg.Job().counter.load(), 2);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(boxes.Has(QStringLiteral("Firmware transferred successfully")))
        << boxes.Boxes().join('\n').toStdString();
}

TEST(DialogTest, FileErrorBoxesLookAlikeInBothDialogs) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    frame.Core().m_bSensorFound = 1;  // the transfers act only with a sensor
    BoxRecorder boxes;
    // The same missing file in both: the same box, reason included.
    const QString missing = QString::fromStdString(env.temp + "/missing.cal");
    CUpdateDlg update(&frame, QStringLiteral("Firmware Update"));
    update.show();
    update.findChild<QLineEdit*>(QStringLiteral("id1000"))->setText(missing);
    update.OnExecute();
    ASSERT_TRUE(boxes.Has(QStringLiteral("File Error: Please enter the name of an existing file\n") + missing +
                          QStringLiteral(": no such file or directory")));
    const BoxIcon updateIcon = boxes.LastIcon();
    EXPECT_EQ(boxes.LastOwner(), &update);
    update.reject();

    CCal cal(&frame, QStringLiteral("Calibration Data"));
    cal.show();
    cal.findChild<QLineEdit*>(QStringLiteral("id1009"))->setText(missing);
    cal.findChild<QPushButton*>(QStringLiteral("id1012"))->click();
    ASSERT_EQ(boxes.Boxes().size(), 2);
    EXPECT_EQ(boxes.Boxes()[1], boxes.Boxes()[0]);
    EXPECT_EQ(boxes.LastIcon(), updateIcon);
    EXPECT_EQ(boxes.LastIcon(), BoxIcon::Error);
    EXPECT_EQ(boxes.LastOwner(), &cal);
    cal.reject();
}

TEST(DialogTest, InformationDialogFitsTheScreen) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    CSpecs dlg(&frame, QStringLiteral("Specification"), 1);
    auto* edit = dlg.findChild<QWidget*>(QStringLiteral("id1008"));
    auto* close = dlg.findChild<QPushButton*>(QStringLiteral("id2"));
    auto* again = dlg.findChild<QPushButton*>(QStringLiteral("id1007"));
    // The font's real height sets the dialog units; with the fonts of today
    // 423 units are taller than a 1366 x 768 screen less a 32-pixel panel.
    const int available = 768 - 32;
    dlg.FitToScreenHeight(available);
    EXPECT_LE(dlg.height() + 30, available) << dlg.height();
    EXPECT_GE(edit->height(), 10 * edit->fontMetrics().height());
    EXPECT_LE(close->geometry().bottom(), dlg.height());
    EXPECT_GT(close->geometry().top(), edit->geometry().bottom());
    EXPECT_EQ(again->y(), close->y());
    // A screen with room keeps the whole layout.
    dlg.FitToScreenHeight(4000);
    EXPECT_EQ(dlg.height(), dlg.DuY(423));
    EXPECT_GT(close->geometry().top(), edit->geometry().bottom());
}

TEST(MainWindowTest, SensorLeftInItsUpdateProgramIsOfferedOnlyTheUpdateThenFoundAgain) {
    TempEnv env;
    SimProcess sim(2, 38400, {"--serial", "K52GUI003", "--watchdog", "0", "--startup", "0.3"});
    ASSERT_TRUE(sim.Ready());
    ResetReplyState();
    const std::string fw = WriteFirmware(env.temp, 2048);

    // An update stopped while programming leaves the sensor in the transfer
    // program, and its marker behind.
    DownloadProgress = EraseProgress = ProgramProgress = 0.0;
    auto first = std::async(std::launch::async, [&] {
        return UpdateFirmware("dux_tra.bin", fw.c_str(), "COM2", "38400", kLoadAddressWord, kLoadAddressWord);
    });
    for (int i = 0; i < 1200 && ProgramProgress.load() <= 0.0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    RequestUpdateStop();
    first.get();
    ClearUpdateStop();
    ASSERT_EQ(LastUpdateOutcome().code, kUpdateStopped);

    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    ASSERT_TRUE(frame.OnCreate());
    // Reported from the start in the main view.
    EXPECT_TRUE(frame.ViewText().contains(QStringLiteral("An update of the sensor on COM2 was interrupted at ")))
        << frame.ViewText().toStdString();
    frame.show();
    ASSERT_TRUE(WaitUntil([&] { return frame.Core().m_bSensorFound.load() != 0; }, 60000));
    EXPECT_TRUE(frame.Core().m_bInUpdateProgram.load());
    EXPECT_TRUE(
        frame.MessageText().startsWith(QStringLiteral("Sensor found in its update program at COM2, 38400 baud")))
        << frame.MessageText().toStdString();
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (int id : kSensorCommands)
                if (frame.CommandAction(id)->isEnabled() != (id == ID_SENSOR_UPDATE)) return false;
            return true;
        },
        2000));
    frame.OnSensorCommand(ID_SENSOR_SETTINGS);
    EXPECT_TRUE(frame.MessageText().contains(QStringLiteral("still in its update program")));

    // The update command takes the program up and finishes the update.
    BoxRecorder boxes;
    bool resumed = false;
    QTimer::singleShot(0, [&] {
        CUpdateDlg* dlg = nullptr;
        WaitUntil([&] { return (dlg = qobject_cast<CUpdateDlg*>(QApplication::activeModalWidget())) != nullptr; },
                  5000);
        ASSERT_NE(dlg, nullptr);
        auto* execute = dlg->findChild<QPushButton*>(QStringLiteral("id1005"));
        dlg->findChild<QLineEdit*>(QStringLiteral("id1000"))->setText(QString::fromStdString(fw));
        WaitUntil([&] { return execute->isEnabled(); }, 2000);
        execute->click();
        resumed = dlg->Job().options.resume;
        WaitUntil([&] { return !dlg->UpdateRunning(); }, 180000);
        dlg->reject();
    });
    frame.OnSensorCommand(ID_SENSOR_UPDATE);
    EXPECT_TRUE(resumed);
    EXPECT_TRUE(boxes.Has(QStringLiteral("Firmware transferred successfully")))
        << boxes.Boxes().join('\n').toStdString();

    // The sensor runs its new firmware and is looked for as at the start.
    ASSERT_TRUE(WaitUntil([&] { return frame.Core().m_bSensorFound.load() != 0; }, 60000));
    EXPECT_FALSE(frame.Core().m_bInUpdateProgram.load());
    EXPECT_TRUE(WaitUntil([&] { return AllCommandsEnabled(frame, true); }, 2000));
    EXPECT_EQ(frame.MessageText(), QStringLiteral("Found Sensor 'K52GUI003' at COM2, 38400 baud"));
    EXPECT_TRUE(ReadUpdateMarkers().empty()) << "the finished update's marker is gone";
    frame.close();
}

TEST(DialogTest, UpdateDialogClosedWithoutAnUpdateEndsItsWorker) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    BoxRecorder boxes;
    CUpdateDlg dlg(&frame, QStringLiteral("Firmware Update"));
    dlg.show();
    // No sensor: Execute stays disabled.
    WaitUntil([] { return false; }, 250);
    EXPECT_FALSE(dlg.findChild<QPushButton*>(QStringLiteral("id1005"))->isEnabled());
    // A path longer than the job record holds is refused with a box.
    dlg.findChild<QLineEdit*>(QStringLiteral("id1000"))->setText(QString(5000, QLatin1Char('a')));
    dlg.OnExecute();
    EXPECT_TRUE(boxes.Has(QStringLiteral("too long")));
    EXPECT_FALSE(dlg.UpdateRunning());
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_GE(dlg.Job().counter.load(), 2) << "the worker has ended and added its 2";
}

TEST(DialogTest, UpdateDialogRefusesUnusableFilesAndStartsNothing) {
    // An empty file would have the sensor erased before the programming
    // step failed; a FIFO would block the window. Each gets the file error
    // with its reason, and no update starts.
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    BoxRecorder boxes;
    const std::string empty = env.temp + "/empty.bin", big = env.temp + "/big.bin", fifo = env.temp + "/fifo.bin";
    std::ofstream(empty).close();
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 0x1C001);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {
        {empty, empty + ": the file is empty"},
        {env.temp, env.temp + ": is a directory"},
        {fifo, fifo + ": not a regular file"},
        {big, big + ": too large: 114689 bytes"},
        {env.temp + "/none.bin", "Please enter the name of an existing file\n" + env.temp + "/none.bin: no such file"},
    };
    CUpdateDlg dlg(&frame, QStringLiteral("Firmware Update"));
    dlg.show();
    auto* edit = dlg.findChild<QLineEdit*>(QStringLiteral("id1000"));
    for (const auto& [path, reason] : cases) {
        edit->setText(QString::fromStdString(path));
        dlg.OnExecute();
        EXPECT_FALSE(dlg.UpdateRunning()) << path;
        EXPECT_TRUE(boxes.Has(QStringLiteral("File Error: ") + QString::fromStdString(reason)))
            << boxes.Boxes().join('\n').toStdString();
    }
    EXPECT_EQ(boxes.Boxes().size(), std::size(cases));
    EXPECT_EQ(dlg.Job().counter.load(), 0) << "the worker still waits for a start";
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
}

TEST(MainWindowTest, SensorAndFileTextsAreShownAsPlainText) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    frame.OnCreate();
    const std::string markup = "Found Sensor '<img src=\"http://x/\"><b>K52</b>' at COM1, 38400 baud";
    frame.SetStatusText(markup);
    auto* pane = frame.findChild<QLabel*>(QStringLiteral("pane0"));
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->textFormat(), Qt::PlainText);
    EXPECT_EQ(pane->text().toStdString(), markup);
    QTextDocument tip;
    tip.setHtml(pane->toolTip());
    EXPECT_EQ(tip.toPlainText().toStdString(), markup) << "the tooltip shows the text, not markup";

    CUpdateDlg dlg(&frame, QStringLiteral("Firmware Update"));
    for (QLabel* label : dlg.findChildren<QLabel*>()) EXPECT_EQ(label->textFormat(), Qt::PlainText);

    // A real box (no hook): looked at from inside its own event loop.
    Qt::TextFormat format = Qt::AutoText;
    QString shown;
    QTimer::singleShot(50, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        format = box->textFormat();
        shown = box->text();
        box->accept();
    });
    DuxkMessageBox(nullptr, QStringLiteral("<h1>fw.bin</h1>: the file is empty"), QStringLiteral("File Error"),
                   BoxIcon::None);
    EXPECT_EQ(format, Qt::PlainText);
    EXPECT_EQ(shown, QStringLiteral("<h1>fw.bin</h1>: the file is empty"));
}

TEST(MainWindowTest, SensorMenuEndsWithTheFlashReadBackCommands) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    QAction* update = frame.CommandAction(ID_SENSOR_UPDATE);
    auto* menu = qobject_cast<QMenu*>(update->associatedObjects().first());
    ASSERT_NE(menu, nullptr);
    QStringList entries;
    for (QAction* action : menu->actions()) entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(entries.join(QLatin1Char('|')).toStdString(),
              "Speci&fication|&Settings|Self&test|&View Calibration Data|Load/Save &Calibration Data|Firmware "
              "&Update|-|&Backup Flash...|Ve&rify Flash...");
    EXPECT_EQ(frame.CommandAction(ID_SENSOR_BACKUP), menu->actions()[7]);
    EXPECT_EQ(frame.CommandAction(ID_SENSOR_VERIFY), menu->actions()[8]);
    // They follow the listings: greyed with them, and while only the update may run.
    frame.Core().EnableSensorCommands(false);
    EXPECT_TRUE(AllCommandsEnabled(frame, false));
    frame.Core().EnableSensorCommands(true);
    EXPECT_TRUE(AllCommandsEnabled(frame, true));
    frame.Core().EnableUpdateCommandOnly();
    EXPECT_FALSE(frame.CommandAction(ID_SENSOR_BACKUP)->isEnabled());
    EXPECT_FALSE(frame.CommandAction(ID_SENSOR_VERIFY)->isEnabled());
    EXPECT_TRUE(frame.CommandAction(ID_SENSOR_UPDATE)->isEnabled());
}

TEST(DialogTest, EveryTextOfEveryDialogIsShownWhole) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    std::vector<std::unique_ptr<QDialog>> dialogs;
    dialogs.push_back(std::make_unique<CUpdateDlg>(&frame, QStringLiteral("Firmware Update")));
    dialogs.push_back(std::make_unique<CCal>(&frame, QStringLiteral("Calibration Data")));
    dialogs.push_back(std::make_unique<CSpecs>(&frame, QStringLiteral("Specification"), 1));
    dialogs.push_back(std::make_unique<CAboutDlg>(&frame));
    dialogs.push_back(std::make_unique<CReadBackDlg>(&frame, ReadBackKind::Backup));
    dialogs.push_back(std::make_unique<CReadBackDlg>(&frame, ReadBackKind::Verify));
    int labels = 0;
    for (const auto& dlg : dialogs) {
        for (QLabel* label : dlg->findChildren<QLabel*>()) {
            if (label->text().isEmpty()) continue;
            ++labels;
            const int needed = label->fontMetrics().horizontalAdvance(label->text());
            EXPECT_LE(needed, label->width()) << label->text().toStdString();
            // Grown, if at all, inside the dialog.
            EXPECT_GE(label->x(), 0) << label->text().toStdString();
            EXPECT_LE(label->geometry().right(), dlg->width()) << label->text().toStdString();
        }
        for (QPushButton* button : dlg->findChildren<QPushButton*>()) {
            if (button->isHidden()) continue;
            EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), button->width())
                << button->text().toStdString();
        }
    }
    EXPECT_EQ(labels, 5 + 1 + 1 + 3 + 3) << "the dialogs' static texts";
}

TEST(DialogTest, AfterAnUpdateTheViewShowsTheNewFirmwareAndVerifyMatchesIt) {
    FoundSensor s;
    ASSERT_TRUE(s.Found());
    EXPECT_TRUE(s.frame->ViewText().contains(QStringLiteral("Firmware V3.00"))) << s.frame->ViewText().toStdString();
    BoxRecorder boxes;
    const QString fw = QString::fromStdString(WriteFirmware(s.env.temp, 512));
    s.frame->Core().m_strCmdLine = "duxkupdate /fast";
    // The menu command, with its dialog driven from inside its modal run.
    QTimer::singleShot(0, [&] {
        CUpdateDlg* dlg = nullptr;
        WaitUntil([&] { return (dlg = qobject_cast<CUpdateDlg*>(QApplication::activeModalWidget())) != nullptr; },
                  5000);
        ASSERT_NE(dlg, nullptr);
        dlg->findChild<QLineEdit*>(QStringLiteral("id1000"))->setText(fw);
        auto* execute = dlg->findChild<QPushButton*>(QStringLiteral("id1005"));
        WaitUntil([&] { return execute->isEnabled(); }, 2000);
        execute->click();
        WaitUntil([&] { return !dlg->UpdateRunning(); }, 180000);
        dlg->reject();
    });
    s.frame->OnSensorCommand(ID_SENSOR_UPDATE);
    EXPECT_TRUE(boxes.Has(QStringLiteral("Firmware transferred successfully")))
        << boxes.Boxes().join('\n').toStdString();
    // The identity is asked again with the commands greyed meanwhile.
    EXPECT_TRUE(s.frame->Controller().Refreshing());
    EXPECT_FALSE(s.frame->CommandAction(ID_SENSOR_SPECIFICATION)->isEnabled());
    ASSERT_TRUE(WaitUntil([&] { return !s.frame->Controller().Refreshing(); }, 30000));
    EXPECT_TRUE(AllCommandsEnabled(*s.frame, true));
    EXPECT_EQ(s.frame->ViewText().toStdString(),
              "Sensor found\n\nDUX-K52\nFirmware V3.11\nSerial number K52GUI001\nCOM2, 38400 baud");

    // Verify Flash compares the flash with the same file: the same result as duxk verify.
    QTimer::singleShot(0, [&] {
        CReadBackDlg* dlg = nullptr;
        WaitUntil([&] { return (dlg = qobject_cast<CReadBackDlg*>(QApplication::activeModalWidget())) != nullptr; },
                  5000);
        ASSERT_NE(dlg, nullptr);
        EXPECT_EQ(dlg->windowTitle(), QStringLiteral("Verify Flash"));
        dlg->findChild<QLineEdit*>(QStringLiteral("id1000"))->setText(fw);
        auto* execute = dlg->findChild<QPushButton*>(QStringLiteral("id1005"));
        WaitUntil([&] { return execute->isEnabled(); }, 2000);
        execute->click();
        EXPECT_TRUE(dlg->Core().Running());
        WaitUntil([&] { return !dlg->Core().Running(); }, 180000);
        dlg->reject();
    });
    s.frame->OnSensorCommand(ID_SENSOR_VERIFY);
    EXPECT_TRUE(
        boxes.Has(QStringLiteral("Verify Flash: Flash matches ") + fw + QStringLiteral(" (512 bytes from 0x80000)")))
        << boxes.Boxes().join('\n').toStdString();
    EXPECT_TRUE(GetSensorChannel().IsOpen()) << "the port is back with the main window";
}

TEST(DialogTest, BackupRefusesUnusableFilesAndAsksBeforeReplacingOne) {
    TempEnv env;
    CDUXKUpdateMFCDoc doc;
    CMainFrame frame(&doc, "duxkupdate");
    frame.Core().m_bSensorFound = 1;
    std::strcpy(frame.Core().m_search.szPort, "COM6");  // nothing there: a read fails at its open
    std::strcpy(frame.Core().m_search.szBaud, "38400");
    BoxRecorder boxes;
    CReadBackDlg dlg(&frame, ReadBackKind::Backup);
    dlg.show();
    auto* edit = dlg.findChild<QLineEdit*>(QStringLiteral("id1000"));
    const std::string existing = env.temp + "/old.bin";
    std::ofstream(existing) << "old";
    const std::pair<std::string, QString> refusals[] = {
        {"", QStringLiteral("File Error: Please enter a filename")},
        {env.temp, QStringLiteral("File Error: ") + QString::fromStdString(env.temp)},
        {env.temp + "/none/x.bin", QStringLiteral("File Error: ") + QString::fromStdString(env.temp + "/none/x.bin: ")},
    };
    for (const auto& [path, box] : refusals) {
        edit->setText(QString::fromStdString(path));
        dlg.OnExecute();
        EXPECT_FALSE(dlg.Core().Running()) << path;
        EXPECT_TRUE(boxes.Boxes().last().startsWith(box)) << boxes.Boxes().last().toStdString();
    }
    // An existing file: asked first (the hook answers yes), then the read
    // starts and fails at the port, leaving the file as it was.
    edit->setText(QString::fromStdString(existing));
    dlg.OnExecute();
    EXPECT_TRUE(boxes.Has(QStringLiteral("Backup Flash: ") + QString::fromStdString(existing) +
                          QStringLiteral(" already exists.\nDo you want to replace it?")));
    ASSERT_TRUE(WaitUntil([&] { return !dlg.Core().Running(); }, 20000));
    EXPECT_TRUE(boxes.Has(QStringLiteral("DUXKUpdate: Unable to open COM-port")))
        << boxes.Boxes().join('\n').toStdString();
    std::ifstream in(existing);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "old");
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
}

// Runs a program of the build with extra environment; its pid.
pid_t SpawnWithEnvironment(const std::string& program, const std::vector<std::string>& args,
                           const std::vector<std::string>& env) {
    // Everything the child needs is built before the fork.
    std::vector<std::string> environment(env);
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& own : env) replaced = replaced || own.rfind(name + "=", 0) == 0;
        if (!replaced) environment.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    return pid;
}

std::vector<std::string> FilesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(ShippedAppTest, NoHiddenAutomationThroughTheEnvironment) {
    // The screenshot tour used to start when DUXK_SCREENSHOTS named a
    // directory, pressing Execute by itself. The shipped program ignores it.
    TempEnv env;
    const std::string shots = env.temp + "/shots";
    std::filesystem::create_directory(shots);
    const char* bin = getenv("DUXK_BIN_DIR");
    const pid_t pid = SpawnWithEnvironment(
        std::string(bin ? bin : "bin") + "/duxkupdate", {},
        {"QT_QPA_PLATFORM=offscreen", "DUXK_SCREENSHOTS=" + shots, "DUXK_SCREENSHOT_FIRMWARE=" + env.temp + "/fw.bin"});
    ASSERT_GT(pid, 0);
    // The tour saved its first picture a second after the start.
    WaitUntil([] { return false; }, 6000);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "still running, on its own";
    kill(pid, SIGTERM);
    waitpid(pid, &status, 0);
    EXPECT_TRUE(FilesIn(shots).empty());
}

TEST(ShippedAppTest, ScreenshotTourIsADevelopmentProgramOfItsOwn) {
    TempEnv env;
    SimProcess sim(1, 38400, {"--serial", "K52DOC001"});
    ASSERT_TRUE(sim.Ready());
    const std::string shots = env.temp + "/shots";
    std::filesystem::create_directory(shots);
    const char* build = getenv("DUXK_BUILD_DIR");
    const pid_t pid = SpawnWithEnvironment(std::string(build ? build : ".") + "/dev/duxkupdate-screenshots", {shots},
                                           {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_GT(pid, 0);
    int status = -1;
    WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 120000);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Without a firmware file the update dialog is pictured idle.
    EXPECT_EQ(FilesIn(shots),
              (std::vector<std::string>{"about.png", "calibration.png", "info-listing.png", "main-found.png",
                                        "main-searching.png", "selftest.png", "update.png"}));
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
