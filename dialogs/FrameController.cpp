#include "dialogs/FrameController.h"

#include "info/Listing.h"
#include "serial/DUXKSerial.h"
#include "serial/PortDiagnosis.h"
#include "update/Recovery.h"

#include <cstdio>
#include <cctype>
#include <cstring>

namespace {

const SensorCommand kCommands[] = {
    {ID_SENSOR_SPECIFICATION, CommandDialog::Listing, "Specification", LISTING_SPECIFICATION, ReadBackKind::Backup},
    {ID_SENSOR_SETTINGS, CommandDialog::Listing, "Settings", LISTING_SETTINGS, ReadBackKind::Backup},
    {ID_SENSOR_SELFTEST, CommandDialog::Listing, "Selftest", LISTING_SELFTEST, ReadBackKind::Backup},
    {ID_SENSOR_VIEWCAL, CommandDialog::Listing, "Calibration Data", LISTING_CALDATA, ReadBackKind::Backup},
    {ID_SENSOR_CALDATA, CommandDialog::Calibration, "Calibration Data", 0, ReadBackKind::Backup},
    {ID_SENSOR_UPDATE, CommandDialog::Update, "Firmware Update", 0, ReadBackKind::Backup},
    {ID_SENSOR_BACKUP, CommandDialog::ReadBack, "Backup Flash", 0, ReadBackKind::Backup},
    {ID_SENSOR_VERIFY, CommandDialog::ReadBack, "Verify Flash", 0, ReadBackKind::Verify},
};

const char kInUpdateProgramText[] =
    "The sensor is still in its update program: finish the interrupted update with Firmware Update";

std::string Trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos) return {};
    const size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// The identity is asked up to this often: a sensor that has just restarted
// answers "boot_" for a while.
constexpr int kIdentityAttempts = 3;

}  // namespace

const SensorCommand* FindSensorCommand(int id) {
    for (const SensorCommand& c : kCommands)
        if (c.id == id) return &c;
    return nullptr;
}

std::vector<int> MenuCommandsToSet(const int* ids, int count) {
    std::vector<int> all(ids, ids + count);
    for (int i = 0; i < count; ++i) {
        if (ids[i] == ID_SENSOR_SPECIFICATION) {
            all.push_back(ID_SENSOR_BACKUP);
            all.push_back(ID_SENSOR_VERIFY);
        }
    }
    return all;
}

FrameController::FrameController(CMainFrameCore& core, IMainWindow& window) : core_(core), window_(window) {}

FrameController::~FrameController() { Shutdown(); }

void FrameController::SetPortOption(const std::string& port, const std::string& baud) {
    portOption_ = port;
    baudOption_ = port.empty() ? std::string() : baud;
}

std::string FrameController::ViewText(bool searchWaiting, bool accepted) const {
    const SearchState& search = core_.m_search;
    if (accepted) {
        const std::string port = search.szPort, baud = search.szBaud;
        if (openedDirectly_)
            return "Sensor port opened directly\n\n" + port + ", " + baud +
                   " baud\n\n(identity and serial number not asked)";
        if (core_.m_bInUpdateProgram.load())
            return "Sensor found in its update program\n\nAn update was interrupted.\n"
                   "Sensor > Firmware Update finishes it.\n\n" +
                   port + ", " + baud + " baud";
        // The identity reads "<model> <firmware version>".
        const std::string identity = Trimmed(search.szIdentity);
        const size_t space = identity.rfind(' ');
        const bool split = space != std::string::npos && space > 0;
        const std::string model = split ? identity.substr(0, space) : identity;
        const std::string version = split ? identity.substr(space + 1) : std::string();
        const std::string serial = search.szSerial;
        // Appended piece by piece (GCC 12 warns wrongly about overlapping
        // copies in the chained form at -O3).
        std::string text = "Sensor found\n\n";
        text.append(model.empty() ? std::string("(no identity)") : model);
        text.append("\nFirmware ").append(version.empty() ? std::string("unknown") : version);
        if (serial.empty())
            text.append("\nNo serial number reported");
        else
            text.append("\nSerial number ").append(serial);
        text.append("\n").append(port).append(", ").append(baud).append(" baud");
        if (!recoveryNotes_.empty()) text.append("\n\n").append(recoveryNotes_);
        return text;
    }
    const std::string ports = search.szOnlyPort[0] ? std::string(search.szOnlyPort) : std::string("COM1..COM7");
    std::string text = "Searching " + ports + " \xE2\x80\xA6";
    if (searchWaiting && search.szPort[0] && std::strcmp(search.szPort, "????") != 0 && search.szBaud[0])
        text += "\n\nNow trying " + std::string(search.szPort) + " at " + search.szBaud + " baud";
    if (!recoveryNotes_.empty()) text += "\n\n" + recoveryNotes_;
    return text;
}

void FrameController::ReadRecoveryRecords() {
    const RecoveryPlan plan = PlanRecovery(RecoveryMode::Desktop, portOption_);
    recoveryNotes_.clear();
    lastRecoveryNote_.clear();
    for (std::string line : plan.notes) {
        if (line.empty()) continue;
        line[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(line[0])));
        if (!recoveryNotes_.empty()) recoveryNotes_ += "\n";
        recoveryNotes_ += line;
        lastRecoveryNote_ = line;
    }
    InstallUpdateProgramProbe(core_, plan, RecoveryMode::Desktop,
                              "choose Sensor > Firmware Update to finish the interrupted update");
}

FrameController::StartResult FrameController::Start() {
    StartResult result;
    ReadRecoveryRecords();
    result.paneText = lastRecoveryNote_;
    if (baudOption_.empty()) {
        if (!portOption_.empty())
            std::snprintf(core_.m_search.szOnlyPort, sizeof core_.m_search.szOnlyPort, "%s", portOption_.c_str());
        core_.StartSearch();
        return result;
    }
    SearchState& search = core_.m_search;
    std::snprintf(search.szPort, sizeof search.szPort, "%s", portOption_.c_str());
    std::snprintf(search.szBaud, sizeof search.szBaud, "%s", baudOption_.c_str());
    openedDirectly_ = true;
    if (core_.ReopenSensorPort()) {
        core_.m_bSensorFound = 1;
        result.paneText = "Sensor port " + portOption_ + " opened at " + baudOption_ + " baud";
        return result;
    }
    CDUXKSerial& channel = GetSensorChannel();
    const uint32_t code = channel.LastError();
    channel.Close();
    core_.EnableSensorCommands(false);
    result.failed = true;
    result.boxText =
        "Cannot open " + portOption_ + " at " + baudOption_ + " baud (error code " + std::to_string(code) + ")";
    const std::string why = DescribePortOpenFailure(portOption_, code);
    if (!why.empty()) result.boxText += "\n" + why;
    result.paneText = "Cannot open " + portOption_;
    return result;
}

bool FrameController::BeforeSensorCommand(int id) {
    const SensorCommand* command = FindSensorCommand(id);
    if (!command) return false;
    if (refreshing_.load()) return false;  // its commands are greyed meanwhile
    if (!core_.CheckSensorFound()) return false;
    if (core_.m_bInUpdateProgram.load() != 0 && id != ID_SENSOR_UPDATE) {
        core_.Ui().SetStatusText(kInUpdateProgramText);
        return false;
    }
    // The update and the read-back open and close the port themselves.
    if (command->dialog == CommandDialog::Update || command->dialog == CommandDialog::ReadBack)
        GetSensorChannel().Close();
    return true;
}

void FrameController::AfterSensorCommand(int id, bool updateSucceeded, bool sensorChanged) {
    const SensorCommand* command = FindSensorCommand(id);
    if (!command) return;
    if (command->dialog == CommandDialog::Update || command->dialog == CommandDialog::ReadBack) {
        // The interrupted update is finished: the sensor runs its new
        // firmware and is looked for as at the start.
        if (id == ID_SENSOR_UPDATE && core_.m_bInUpdateProgram.load() != 0 && updateSucceeded) {
            core_.StopSearch();
            ReadRecoveryRecords();
            core_.RestartSearch();
            window_.RefreshView();
            return;
        }
        core_.ReopenSensorPort();
    }
    if (sensorChanged && !openedDirectly_ && !shutDown_) StartRefresh();
}

void FrameController::StartRefresh() {
    if (refresh_) refresh_->Join();
    refresh_ = std::make_unique<Worker>();
    probe_ = std::make_unique<SearchState>();
    probe_->pChannel = &GetSensorChannel();
    probe_->pStatusBar = &core_.Ui();
    refreshing_ = true;
    // The channel is the refresh's until it ends: no command meanwhile.
    core_.EnableSensorCommands(false);
    core_.Ui().SetStatusText("Asking the sensor for its identity...");
    refresh_->Start([this] { RunRefresh(); });
}

void FrameController::RunRefresh() {
    SearchState& probe = *probe_;
    bool identified = false;
    for (int attempt = 0; attempt < kIdentityAttempts && !identified && probe.nStop.load() == 0; ++attempt)
        identified = QuerySensorIdentity(&probe);
    if (probe.nStop.load() == 0) QuerySensorSerial(&probe, true);
    // The answers become the frame's on its own thread, where the view reads them.
    window_.CallOnWindowThread([this, &probe] {
        SearchState& search = core_.m_search;
        std::memcpy(search.szIdentity, probe.szIdentity, sizeof search.szIdentity);
        std::memcpy(search.szSerial, probe.szSerial, sizeof search.szSerial);
        refreshing_ = false;
        core_.EnableSensorCommands(true);
        core_.Ui().SetStatusText(std::string("Found Sensor '") + search.szSerial + "' at " + search.szPort + ", " +
                                 search.szBaud + " baud");
        window_.RefreshView();
    });
    refreshing_ = false;
}

bool FrameController::WaitRefreshEnd(uint32_t timeoutMs) { return !refresh_ || refresh_->WaitEnd(timeoutMs); }

void FrameController::Shutdown() {
    if (shutDown_) return;
    shutDown_ = true;
    core_.StopSearch();
    if (probe_) {
        {
            std::lock_guard<std::mutex> lock(probe_->stopMutex);
            probe_->nStop = 1;
        }
        probe_->stopCv.notify_all();
    }
    if (refresh_) refresh_->Join();
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.IsOpen()) channel.Close();
}
