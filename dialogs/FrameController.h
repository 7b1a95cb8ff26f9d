// The main window's behaviour, without a toolkit: the sensor commands and
// which dialog each opens, what the main view says about the connection,
// the port named at start, and what follows a dialog (the port back, a new
// search after an interrupted update was finished, the sensor's identity
// asked again after an update or a calibration load). The Qt and Win32 main
// windows create the menu, status bar and view and call in here.
#pragma once

#include "dialogs/ReadBackDialog.h"
#include "dialogs/Worker.h"
#include "session/MainFrame.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The read-back commands of the Sensor menu, after the six and a separator.
constexpr int ID_SENSOR_BACKUP = 32777;
constexpr int ID_SENSOR_VERIFY = 32778;
// The framework's commands of the menu and the accelerators.
constexpr int ID_APP_EXIT = 57665;
constexpr int ID_APP_ABOUT = 57664;
constexpr int ID_FILE_NEW = 57600;
constexpr int ID_FILE_OPEN = 57601;
constexpr int ID_FILE_SAVE = 57603;
// The About box's template.
constexpr int IDD_ABOUTBOX = 100;

// What a sensor command opens.
enum class CommandDialog { None, Listing, Calibration, Update, ReadBack };
struct SensorCommand {
    int id;
    CommandDialog dialog;
    const char* title;  // the dialog's caption
    int32_t listingKind;
    ReadBackKind readBack;
};
// The command of a menu id; null for ids that are no sensor command.
const SensorCommand* FindSensorCommand(int id);

// The commands whose state a window sets when the core asks it to enable or
// grey `ids`: those ids and, with Specification, the two read-back commands,
// which may be used exactly when the listings may.
std::vector<int> MenuCommandsToSet(const int* ids, int count);

// What the controller needs of the main window beyond IFrameUi.
class IMainWindow {
public:
    virtual ~IMainWindow() = default;
    // Runs fn on the window's thread and waits for it (at once when called
    // there); false, fn not run, when the window is going away.
    virtual bool CallOnWindowThread(const std::function<void()>& fn) = 0;
    // Shows ViewText anew (window thread).
    virtual void RefreshView() = 0;
};

class FrameController {
public:
    FrameController(CMainFrameCore& core, IMainWindow& window);
    ~FrameController();
    FrameController(const FrameController&) = delete;
    FrameController& operator=(const FrameController&) = delete;

    // The main view's text. searchWaiting: the search thread waits for the
    // window meanwhile (only then may its state be read before acceptance);
    // accepted: a sensor has been accepted.
    std::string ViewText(bool searchWaiting, bool accepted) const;

    // The port named on the command line, before the start: with the rate
    // the port is opened directly (no search), with the port alone only it
    // is searched.
    void SetPortOption(const std::string& port, const std::string& baud);
    struct StartResult {
        bool failed = false;
        std::string paneText;  // for the status bar's message pane ("" leaves it)
        std::string boxText;   // an error box to show once the window is up
    };
    // Starts the search, or opens the port named directly.
    StartResult Start();
    bool OpenedDirectly() const { return openedDirectly_; }

    // A sensor command chosen: true when its dialog is to be opened (with
    // the port closed first for the update and the read-back, which open it
    // themselves). Otherwise the status line says why not.
    bool BeforeSensorCommand(int id);
    // The dialog has ended. updateSucceeded: an update ran and succeeded;
    // sensorChanged: the sensor now holds something new (an update, a
    // calibration load), so its identity and serial number are asked again.
    void AfterSensorCommand(int id, bool updateSucceeded, bool sensorChanged);

    // The identity and serial number are being asked again (the sensor
    // commands are greyed meanwhile).
    bool Refreshing() const { return refreshing_.load(); }
    // Waits for a refresh to end (tests, shutdown); true when none runs.
    bool WaitRefreshEnd(uint32_t timeoutMs);

    // The window goes: the search and a refresh stop and are joined, the
    // port is closed. Idempotent.
    void Shutdown();

private:
    // Reads the markers of interrupted updates: their report for the view and
    // the status bar, and the search's look for the one update's sensor.
    void ReadRecoveryRecords();
    void StartRefresh();
    void RunRefresh();

    CMainFrameCore& core_;
    IMainWindow& window_;
    std::string portOption_, baudOption_;
    bool openedDirectly_ = false;
    // What the markers of interrupted updates say, a line each, and the last.
    std::string recoveryNotes_, lastRecoveryNote_;
    bool shutDown_ = false;
    std::atomic<bool> refreshing_{false};
    std::unique_ptr<Worker> refresh_;
    // The refresh's own search state (its answers are copied into the
    // frame's on the window thread) and stop request.
    std::unique_ptr<SearchState> probe_;
};
