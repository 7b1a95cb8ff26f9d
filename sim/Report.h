// What actually happened in one run of the virtual sensor (--report FILE):
// every injected fault that fired and where, the sensor's mode changes, the
// host's operations as the sensor saw them and the durations of erases. A
// fault campaign reads it to tell a fault that fired from one that did not.
//
// Used by the line thread only. Times are seconds since the sensor started;
// the start is also given as Unix time so that a caller can line it up with
// its own clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

class Report {
public:
    using Clock = std::chrono::steady_clock;

    Report();

    void SetConfig(const std::string& key, const std::string& jsonValue) { config_[key] = jsonValue; }

    // Host bytes arriving (any phase) and sensor bytes leaving.
    void HostBytes(size_t n, Clock::time_point t);
    void SensorBytes(size_t n) { txBytes_ += n; }
    // A line fault that hit: direction "rx"/"tx", what "drop"/"corrupt".
    void LineFault(const char* direction, const char* what, uint64_t index, const char* phase, uint64_t phaseIndex,
                   const std::string& where, Clock::time_point t);

    void Mode(const char* mode, Clock::time_point t);
    // The host's operations as the sensor receives them: text commands,
    // downloads, telegrams (a key per command, program blocks by address).
    // Consecutive ones with the same key are one operation with retries.
    void Operation(const std::string& key, Clock::time_point t);
    void Telegram(int command);

    void PowerLoss(const std::string& where, Clock::time_point t);
    void TelegramError(int command, Clock::time_point t);
    void ErrorReply(uint8_t errorByte, int command, Clock::time_point t);
    void Verdict(const std::string& sent, const std::string& honest, Clock::time_point t);
    void BootIgnored(Clock::time_point t);
    void Silent(const std::string& where, Clock::time_point t);
    void Cut(const std::string& where, Clock::time_point t);
    void Replugged(const std::string& device, Clock::time_point t);
    void Notice(const std::string& where, Clock::time_point t);
    void Erase(double ms, Clock::time_point t);
    void StuckCell(int64_t offset, uint64_t hits);
    void ProgramFault(Clock::time_point t);
    void Watchdog(Clock::time_point t);
    void ProgramEnd(Clock::time_point t);
    void FaultsCleared(Clock::time_point t);
    void CalibrationListing(size_t records);
    void CalibrationStored(size_t records);

    // The whole report as JSON; `exit` says how the run ended.
    std::string Json(const std::string& exit) const;
    // Written beside and renamed into place (never through a link).
    bool Write(const std::string& path, const std::string& exit) const;

private:
    double Seconds(Clock::time_point t) const;
    void Event(std::vector<std::string>& list, const std::string& fields, Clock::time_point t);

    Clock::time_point start_;
    double startUnix_;
    std::map<std::string, std::string> config_;
    uint64_t rxBytes_ = 0, txBytes_ = 0;
    std::vector<std::pair<double, double>> rxBursts_;
    std::vector<std::string> lineFaults_, modes_, powerLosses_, telegramErrors_, errorReplies_, verdicts_, silent_,
        cuts_, replugs_, notices_, erases_, programFaults_, watchdogs_, programEnds_, faultsCleared_, bootIgnored_;
    struct Op {
        std::string key;
        double first, last;
        int count;
    };
    std::vector<Op> operations_;
    std::map<int, uint64_t> telegrams_;
    int64_t stuckOffset_ = -1;
    uint64_t stuckHits_ = 0;
    uint64_t listingsSent_ = 0, recordsStores_ = 0;
    size_t lastListingRecords_ = 0, lastStoredRecords_ = 0;
};

}  // namespace sim
