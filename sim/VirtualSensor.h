// The virtual DUX-K52 sensor's resident software, seen from inside the
// sensor: the application firmware answering text commands, the boot
// firmware, the boot loader that receives a program into RAM, and the
// emulated processor that runs such a program.
//
// The sensor is driven by one thread (the line thread): it receives the
// characters its UART sampled, is polled for timed work and hands out the
// bytes it transmits. The processor runs on a thread of its own while a
// downloaded program executes; it talks to the line thread only through a
// locked byte queue and an eventfd.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/Faults.h"
#include "sim/Report.h"
#include "sim/Trace.h"
#include "sim/Uart.h"
#include "sim/cpu/SensorCpu.h"

namespace sim {

using Clock = std::chrono::steady_clock;

struct SensorConfig {
    int baud = 38400;
    std::string serial = "K52A01234";
    FaultConfig faults;
    double startupSeconds = 1.5;    // "boot_" answers after a restart
    double powerOffSeconds = 1.0;   // silence after a power loss
    double watchdogSeconds = 30.0;  // restart when a program sent nothing this long (0: never)
    int eraseStallMs = 300;         // power loss this long into an erase/checksum
};

// Silent: the sensor hangs (a fault) or its boot firmware is damaged; it
// takes and sends nothing until it is started anew.
enum class SensorMode { PowerOff, Starting, Application, Boot, Loader, Program, Silent };
const char* ModeName(SensorMode m);

class VirtualSensor {
public:
    // Called when flash contents or calibration records changed and should
    // be kept.
    std::function<void()> onFlashChanged;
    std::function<void()> onCalibrationChanged;
    // Called when a --notify point is reached, with its text (STAGE:COUNT).
    std::function<void(const std::string&)> onNotice;

    VirtualSensor(SensorConfig cfg, FlashModel& flash, Trace* trace, Report* report = nullptr);
    ~VirtualSensor();
    VirtualSensor(const VirtualSensor&) = delete;
    VirtualSensor& operator=(const VirtualSensor&) = delete;

    // Power-up: the sensor starts from its flash contents.
    void PowerUp(Clock::time_point now);

    // A character sampled by the sensor's UART.
    void Receive(const LineChar& c, Clock::time_point now);
    // Timed work and the processor's output; call after WakeFd() fired and
    // whenever NextEvent() has come.
    void Poll(Clock::time_point now);
    std::optional<Clock::time_point> NextEvent() const;
    int WakeFd() const { return wakeFd_; }

    // Bytes whose time has come, in order (the line thread writes them);
    // `firstDue`, when given, receives the time the first of them was due
    // (when the sensor's UART started on it); `phases` and `whats` the line
    // phase of each and what it belongs to ("calibration listing", or empty).
    std::vector<uint8_t> TakeDueOutput(Clock::time_point now, Clock::time_point* firstDue = nullptr,
                                       std::vector<LinePhase>* phases = nullptr,
                                       std::vector<const char*>* whats = nullptr);
    std::optional<Clock::time_point> NextOutputDue() const;

    // The framing the sensor's UART is set to now.
    Framing LineFraming() const;
    SensorMode Mode() const { return mode_; }
    // The line phase the next received byte belongs to, and where in it
    // (for the report: "length", "command", "tg:25", ...).
    LinePhase RxPhase() const;
    std::string RxWhere() const;

    // The cable is to be pulled now (a --cut point was reached); true once.
    bool TakeCutRequest();
    // The line is to go dead now (a --line-break point was reached): where,
    // once.
    std::optional<std::string> TakeBreakRequest();
    // The faults are gone from now on (the sensor was repaired in place);
    // a sensor that already hangs keeps hanging.
    void ClearFaults(Clock::time_point now);
    // Hits of the stuck cell so far, for the report.
    uint64_t StuckCellHits() const { return flash_.StuckCellHits(); }

    // Calibration records ("@..." lines) and serial number, for persistence.
    const std::vector<std::string>& Records() const { return records_; }
    void SetRecords(std::vector<std::string> r) { records_ = std::move(r); }
    const std::string& Serial() const { return cfg_.serial; }

    // Stops a running program (shutdown).
    void Shutdown();

private:
    struct OutItem {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        LinePhase phase = LinePhase::Text;
        const char* what = "";
    };

    void SetMode(SensorMode m, Clock::time_point now);
    void Restart(Clock::time_point now);
    void PowerLoss(Clock::time_point now, const std::string& why);
    void GoSilent(Clock::time_point now, const std::string& why);
    // Counts `units` of a stage and fires what is due there.
    void Reach(Stage s, uint64_t units, Clock::time_point now, bool endOfTelegram = false);
    void ResetStages(bool all);
    void Send(const std::string& text, int delayMs, Clock::time_point now, LinePhase phase = LinePhase::Text);
    void SendLines(const std::vector<std::string>& lines, int firstDelayMs, int gapMs, Clock::time_point now,
                   const char* what = "");

    void TextChar(const LineChar& c, Clock::time_point now);
    void Command(const std::string& line, Clock::time_point now);
    void ApplicationCommand(const std::string& line, Clock::time_point now);
    void BootCommand(const std::string& line, Clock::time_point now);
    bool ListingFault(const std::string& request, Clock::time_point now);
    void NoteTelegram();
    std::string TelegramKey() const;
    std::string IdentityReply(const std::string& payload) const;
    std::vector<std::string> CalibrationListing() const;

    void LoaderByte(const LineChar& c, Clock::time_point now);
    void LoaderVerdict(Clock::time_point now);
    void ProgramByte(uint8_t b, Clock::time_point now);
    void StartProgram(Clock::time_point now);
    void StopProgram();
    void TelegramEnd(Clock::time_point now);
    void SendOwnReplyByte(Clock::time_point now);

    SensorConfig cfg_;
    FlashModel& flash_;
    Trace* trace_;
    Report* report_;
    std::vector<uint8_t> bootArea_;  // the boot firmware as it must read

    SensorMode mode_ = SensorMode::PowerOff;
    Clock::time_point modeUntil_{};  // end of PowerOff / Starting
    bool appValid_ = false;
    bool bootIntact_ = true;
    std::string version_ = "0.00";

    // Text command line.
    std::string line_;
    bool lineBad_ = false;

    // Calibration.
    std::vector<std::string> records_;
    bool calUnlocked_ = false;
    bool calReading_ = false;
    std::vector<std::string> calIncoming_;
    Clock::time_point calReadUntil_{};

    int busyLeft_ = 0;
    int bootLeft_ = 0;

    // Boot loader.
    std::vector<uint8_t> load_;
    uint32_t loadSize_ = 0;
    bool loadFramingError_ = false;
    bool loadParityError_ = false;
    Clock::time_point loadIdleUntil_{};
    uint64_t downloadBytes_ = 0;

    // Running program and what passes between it and the host.
    std::unique_ptr<SensorCpu> cpu_;
    std::thread cpuThread_;
    std::atomic<bool> cpuDone_{false};
    std::atomic<int> cpuExit_{0};
    std::mutex cpuTxMu_;
    std::vector<uint8_t> cpuTx_;
    Clock::time_point cpuTxAt_{};  // when the program wrote the first byte of cpuTx_

    // How long the program takes to answer a telegram (from its last byte
    // to the first byte of the reply), per command, for the benchmarks.
    struct AnswerTimes {
        uint64_t count = 0;
        Clock::duration total{}, longest{};
    };
    std::optional<Clock::time_point> telegramInAt_;
    int telegramCommand_ = -1;
    std::vector<std::pair<int, AnswerTimes>> answerTimes_;
    void NoteAnswerTimes();
    int wakeFd_ = -1;
    std::vector<uint8_t> image_;
    uint16_t imageSeg_ = 0x0400, imageOff_ = 0x0100;
    Clock::time_point programQuietUntil_{};
    uint64_t cpuOverruns_ = 0;
    bool programFaulted_ = false;

    // Telegram framing as the host sends it, followed passively so that
    // faults can be placed at telegrams and update phases.
    uint64_t pendingEchoes_ = 0;
    enum class TgState { Length, Body, CkLow, CkHigh } tgState_ = TgState::Length;
    uint8_t tgLength_ = 0;
    std::vector<uint8_t> tgBody_;
    int telegramErrorsLeft_ = 0;
    int errorRepliesLeft_ = 0;
    bool lengthHeld_ = false;  // length byte kept back until the command byte shows whom it is for
    uint8_t heldLength_ = 0;
    bool tgOwnReply_ = false;  // this telegram is answered by the sensor, not the program
    bool tgSpoiled_ = false;
    std::deque<uint8_t> ownReply_;  // the sensor's own reply bytes still to send
    bool ownReplyEchoDue_ = false;  // one of them waits for the host's echo
    std::optional<Clock::time_point> eraseSince_;

    // Stages reached, faults placed at them.
    static constexpr int kStages = 12;
    uint64_t stageCount_[kStages] = {};
    size_t powerLossNext_ = 0;
    std::string powerLossWhere_;
    std::optional<Clock::time_point> powerLossAt_;
    bool silentDone_ = false, cutDone_ = false, cutRequested_ = false, breakDone_ = false;
    std::optional<std::string> breakRequest_;
    std::vector<bool> noticeDone_;

    std::deque<OutItem> out_;
    Clock::time_point lastDue_{};
};

}  // namespace sim
