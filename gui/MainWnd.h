// The desktop application's main window: menu, status bar and the sensor
// commands, on top of the Qt-free main frame core (connection state, sensor
// search, port reopening).
#pragma once

#include "session/FrameUi.h"
#include "session/MainFrame.h"
#include "gui/GuiCall.h"

#include <QMainWindow>

#include <map>
#include <memory>
#include <string>

class QAction;
class QLabel;
class QStatusBar;
class CDUXKUpdateMFCDoc;

// A tooltip that shows text as it is (a tooltip would take text that looks
// like markup for markup).
QString PlainToolTip(const QString& text);

// Framework command ids of the menu and accelerators.
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_FILE_NEW = 57600;
constexpr int ID_FILE_OPEN = 57601;
constexpr int ID_FILE_SAVE = 57603;

class CMainFrame : public QMainWindow, public IFrameUi {
    Q_OBJECT
public:
    // doc: the application's document (kept by the caller); cmdLine: the
    // process command line, read by the search for its switch.
    CMainFrame(CDUXKUpdateMFCDoc* doc, std::string cmdLine);
    ~CMainFrame() override;

    // The port (and rate) named on the command line, before OnCreate: with
    // both the port is opened directly, without a search; with the port
    // alone the search tries only that port.
    void SetPortOption(const std::string& port, const std::string& baud);

    // Window creation: status bar, 300 x 400 pixels, start of the sensor
    // search (or the direct open of the port named).
    bool OnCreate();

    CMainFrameCore& Core() { return *m_core; }

    // IFrameUi; callable from any thread.
    void SetStatusText(const std::string& text) override;
    bool EnableMenuCommands(const int* ids, int count, bool enable) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;

    // Text of the status bar's message pane.
    QString MessageText() const;
    // Text of the main view.
    QString ViewText() const;
    // The menu or accelerator action of a command id (null when none).
    QAction* CommandAction(int id) const;
    QStatusBar* StatusBarWidget() const { return m_wndStatusBar; }

    // Command handlers.
    void OnSensorCommand(int id);
    void OnAppAbout();
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    void UpdateTitle();

    // Stops the search (joining its thread), releases waiting worker requests
    // and closes the sensor port. Idempotent; runs at the latest on destruction.
    void Shutdown();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QAction* AddCommand(QMenu* menu, int id, const QString& text);
    void SetPaneText(const QString& text);
    // The view's text from the connection state. Before acceptance only the
    // search thread writes that state, so it is read only while the thread
    // waits for this window (searchWaiting) or once a sensor is accepted
    // (accepted: the search has filled it in for good).
    void RefreshView(bool searchWaiting, bool accepted);
    void OpenPortDirectly();
    // Reads the markers of interrupted updates: their report for the view and
    // the status bar, and the search's look for the one update's sensor.
    void ReadRecoveryRecords();

    CDUXKUpdateMFCDoc* m_doc;
    std::string m_cmdLine;
    std::string m_portOption, m_baudOption;
    bool m_openedDirectly = false;
    // What the markers of interrupted updates say, a line each.
    QString m_recoveryNotes;
    class CDUXKUpdateMFCView* m_view = nullptr;
    QStatusBar* m_wndStatusBar = nullptr;
    QLabel* m_pane0 = nullptr;
    std::map<int, QAction*> m_commands;
    GuiCallGate m_gate;
    std::unique_ptr<CMainFrameCore> m_core;
    bool m_shutDown = false;
};
