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

    // Where the sensor's work stands, attached to every event from here on:
    // the stage of an update or calibration transfer ("boot", "download",
    // "program", ...; "start" after a restart) and the telegram or text
    // command under way ("tg:25@80F00", "cmd:boot").
    void SetStage(const std::string& stage) { stage_ = stage; }
    void SetTelegram(const std::string& key) { telegram_ = key; }
    // The furthest count reached in each stage (counts start again at
    // every restart and every "flsh").
    void StageReached(const char* stage, uint64_t count);

    // Host bytes arriving (any phase), as the host wrote them; `mismatch`
    // when the host's rate differs from the sensor's. Sensor bytes leaving.
    void HostBytes(const uint8_t* data, size_t n, bool mismatch, Clock::time_point t);
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
    void LineBreak(const std::string& where, double seconds, uint64_t rxLost, uint64_t txLost, Clock::time_point t);
    void FlashDefect(const std::string& what, uint32_t offset, Clock::time_point t);
    void IdentityNoise(Clock::time_point t);
    void ListingFault(const std::string& answer, const std::string& request, Clock::time_point t);
    // Bytes of each line phase that crossed, per direction (at the end).
    void LineBytes(const char* direction, const char* phase, uint64_t n) {
        lineBytes_[std::string(direction) + ":" + phase] = n;
    }
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
    void Snapshot(bool saved, Clock::time_point t);
    void CalibrationListing(size_t records);
    void CalibrationStored(size_t records);

    // The whole report as JSON; `exit` says how the run ended.
    std::string Json(const std::string& exit) const;
    // Written beside and renamed into place (never through a link).
    bool Write(const std::string& path, const std::string& exit) const;

private:
    double Seconds(Clock::time_point t) const;
    void Event(std::vector<std::string>& list, const std::string& fields, Clock::time_point t);

    // What the host wrote in one burst of its bytes: how many, how many
    // NULs, how many neither printable nor line ends, at a rate other than
    // the sensor's, and the distinct text lines among them (a few).
    struct Traffic {
        uint64_t bytes = 0, nuls = 0, binary = 0, mismatched = 0;
        std::vector<std::string> lines;
        std::string partial;
    };

    Clock::time_point start_;
    double startUnix_;
    std::string stage_ = "start", telegram_;
    std::map<std::string, uint64_t> stagesReached_, lineBytes_;
    std::vector<Traffic> traffic_;
    std::map<std::string, std::string> config_;
    uint64_t rxBytes_ = 0, txBytes_ = 0;
    std::vector<std::pair<double, double>> rxBursts_;
    std::vector<std::string> lineFaults_, modes_, powerLosses_, telegramErrors_, errorReplies_, verdicts_, silent_,
        cuts_, replugs_, notices_, erases_, programFaults_, watchdogs_, programEnds_, faultsCleared_, bootIgnored_,
        lineBreaks_, flashDefects_, identityNoise_, listingFaults_, snapshots_;
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
