#include "gui/dev/ScreenshotTour.h"

#include "gui/MainWnd.h"
#include "gui/UpdateDlg.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace {

QString g_dir;
QString g_firmware;

// Runs the event loop (blocking between events) until pred holds or the time is up.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!pred()) {
        if (clock.elapsed() > timeoutMs) return false;
        QEventLoop loop;
        QTimer::singleShot(20, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

void Pause(int ms) {
    WaitUntil([] { return false; }, ms);
}

void Save(QWidget* widget, const char* name) {
    if (!widget) return;
    const QString path = g_dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    const bool ok = widget->grab().save(path);
    std::fprintf(stderr, "screenshot %s: %s\n", qPrintable(path), ok ? "saved" : "FAILED");
}

// Runs a command that opens a modal dialog; inside, `inside` gets the dialog
// once it is up and must end it.
void WithModal(const std::function<void()>& open, const std::function<void(QDialog*)>& inside) {
    QTimer::singleShot(0, [inside] {
        QDialog* dlg = nullptr;
        WaitUntil(
            [&] {
                dlg = qobject_cast<QDialog*>(QApplication::activeModalWidget());
                return dlg != nullptr;
            },
            20000);
        if (!dlg) return;
        inside(dlg);
    });
    open();
}

void Tour(CMainFrame* frame) {
    // The search shows its first text after a second.
    WaitUntil([&] { return frame->MessageText().startsWith(QStringLiteral("Looking for")); }, 10000);
    Pause(300);
    Save(frame, "main-searching");
    WaitUntil([&] { return frame->Core().m_bSensorFound.load() != 0; }, 120000);
    Pause(300);
    Save(frame, "main-found");

    WithModal([&] { frame->OnAppAbout(); },
              [](QDialog* dlg) {
                  Pause(200);
                  Save(dlg, "about");
                  dlg->accept();
              });

    struct Listing {
        int id;
        const char* name;
    };
    for (const Listing& l :
         {Listing{ID_SENSOR_SPECIFICATION, "info-listing"}, Listing{ID_SENSOR_SELFTEST, "selftest"}}) {
        WithModal([&] { frame->OnSensorCommand(l.id); },
                  [&](QDialog* dlg) {
                      Pause(2500);
                      Save(dlg, l.name);
                      dlg->reject();
                  });
    }

    WithModal([&] { frame->OnSensorCommand(ID_SENSOR_CALDATA); },
              [&](QDialog* dlg) {
                  Pause(300);
                  Save(dlg, "calibration");
                  dlg->reject();
              });

    WithModal([&] { frame->OnSensorCommand(ID_SENSOR_UPDATE); },
              [&](QDialog* dlg) {
                  auto* update = qobject_cast<CUpdateDlg*>(dlg);
                  Pause(300);
                  if (!update || g_firmware.isEmpty()) {
                      Save(dlg, "update");
                      dlg->reject();
                      return;
                  }
                  update->findChild<QLineEdit*>(QStringLiteral("id1000"))->setText(g_firmware);
                  WaitUntil([&] { return update->findChild<QPushButton*>(QStringLiteral("id1005"))->isEnabled(); },
                            3000);
                  update->OnExecute();
                  auto* program = update->findChild<QProgressBar*>(QStringLiteral("id1004"));
                  WaitUntil([&] { return program->value() >= 30 || !update->UpdateRunning(); }, 120000);
                  Save(dlg, "update");
                  // The driver's result box comes from the worker thread and
                  // runs its own loop, so it is watched by a periodic timer
                  // (which fires inside that loop) rather than by a wait.
                  auto* watch = new QTimer(update);
                  watch->setInterval(100);
                  QObject::connect(watch, &QTimer::timeout, [watch] {
                      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                      if (!box || !box->isVisible()) return;
                      watch->stop();
                      Save(box, "update-result");
                      box->accept();
                  });
                  watch->start();
                  WaitUntil([&] { return !update->UpdateRunning(); }, 200000);
                  Pause(500);
                  update->reject();
              });

    Pause(500);
    frame->close();
}

}  // namespace

void StartScreenshotTour(CMainFrame* frame, const QString& dir, const QString& firmware) {
    g_dir = dir;
    g_firmware = firmware;
    QTimer::singleShot(0, frame, [frame] { Tour(frame); });
}
