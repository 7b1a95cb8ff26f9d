#include "sim/Report.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "platform/Files.h"

namespace sim {

namespace {

// Bursts of host bytes closer than this are one burst.
constexpr double kBurstGap = 1.0;

std::string Quote(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return buf;
}

std::string Hex(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

std::string List(const std::vector<std::string>& items) {
    std::string s = "[";
    for (size_t i = 0; i < items.size(); ++i) s += (i ? ",\n    " : "\n    ") + items[i];
    return s + (items.empty() ? "]" : "\n  ]");
}

}  // namespace

Report::Report() : start_(Clock::now()) {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    startUnix_ = static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double Report::Seconds(Clock::time_point t) const { return std::chrono::duration<double>(t - start_).count(); }

void Report::Event(std::vector<std::string>& list, const std::string& fields, Clock::time_point t) {
    list.push_back("{\"t\": " + Num(Seconds(t)) + (fields.empty() ? "" : ", " + fields) +
                   ", \"stage\": " + Quote(stage_) + ", \"telegram\": " + Quote(telegram_) + "}");
}

void Report::StageReached(const char* stage, uint64_t count) {
    uint64_t& n = stagesReached_[stage];
    n = std::max(n, count);
}

void Report::HostBytes(const uint8_t* data, size_t n, bool mismatch, Clock::time_point t) {
    rxBytes_ += n;
    const double s = Seconds(t);
    if (!rxBursts_.empty() && s - rxBursts_.back().second <= kBurstGap) {
        rxBursts_.back().second = s;
    } else {
        rxBursts_.push_back({s, s});
        traffic_.emplace_back();
    }
    Traffic& tr = traffic_.back();
    tr.bytes += n;
    if (mismatch) tr.mismatched += n;
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = data[i];
        if (b == '\n') {
            if (!tr.partial.empty() && tr.lines.size() < 12 &&
                std::find(tr.lines.begin(), tr.lines.end(), tr.partial) == tr.lines.end())
                tr.lines.push_back(tr.partial);
            tr.partial.clear();
        } else if (b == '\r' || b == 0x11 || b == 0x13) {
            // line ends and flow control belong to text
        } else if (b >= 0x20 && b < 0x7F) {
            if (tr.partial.size() < 40) tr.partial.push_back(static_cast<char>(b));
        } else {
            if (b == 0)
                ++tr.nuls;
            else
                ++tr.binary;
            tr.partial.clear();
        }
    }
}

void Report::LineFault(const char* direction, const char* what, uint64_t index, const char* phase, uint64_t phaseIndex,
                       const std::string& where, Clock::time_point t) {
    Event(lineFaults_,
          "\"direction\": " + Quote(direction) + ", \"what\": " + Quote(what) +
              ", \"index\": " + std::to_string(index) + ", \"phase\": " + Quote(phase) +
              ", \"phase_index\": " + std::to_string(phaseIndex) + ", \"where\": " + Quote(where),
          t);
}

void Report::Mode(const char* mode, Clock::time_point t) { Event(modes_, "\"mode\": " + Quote(mode), t); }

void Report::Operation(const std::string& key, Clock::time_point t) {
    const double s = Seconds(t);
    if (!operations_.empty() && operations_.back().key == key) {
        operations_.back().last = s;
        ++operations_.back().count;
    } else {
        operations_.push_back({key, s, s, 1});
    }
}

void Report::Telegram(int command) { ++telegrams_[command]; }

void Report::PowerLoss(const std::string& where, Clock::time_point t) {
    Event(powerLosses_, "\"where\": " + Quote(where), t);
}

void Report::TelegramError(int command, Clock::time_point t) {
    Event(telegramErrors_, "\"command\": " + Quote(command < 0 ? "?" : Hex(command)), t);
}

void Report::ErrorReply(uint8_t errorByte, int command, Clock::time_point t) {
    Event(errorReplies_,
          "\"byte\": " + Quote(Hex(errorByte)) + ", \"command\": " + Quote(command < 0 ? "?" : Hex(command)), t);
}

void Report::Verdict(const std::string& sent, const std::string& honest, Clock::time_point t) {
    Event(verdicts_, "\"sent\": " + Quote(sent) + ", \"honest\": " + Quote(honest), t);
}

void Report::LineBreak(const std::string& where, double seconds, uint64_t rxLost, uint64_t txLost,
                       Clock::time_point t) {
    Event(lineBreaks_,
          "\"where\": " + Quote(where) + ", \"seconds\": " + Num(seconds) + ", \"rx_lost\": " + std::to_string(rxLost) +
              ", \"tx_lost\": " + std::to_string(txLost),
          t);
}

void Report::FlashDefect(const std::string& what, uint32_t offset, Clock::time_point t) {
    Event(flashDefects_, "\"what\": " + Quote(what) + ", \"address\": " + std::to_string(0x80000 + offset), t);
}

void Report::IdentityNoise(Clock::time_point t) { Event(identityNoise_, "", t); }

void Report::ListingFault(const std::string& answer, const std::string& request, Clock::time_point t) {
    Event(listingFaults_, "\"answer\": " + Quote(answer) + ", \"request\": " + Quote(request), t);
}

void Report::Snapshot(bool saved, Clock::time_point t) {
    Event(snapshots_, std::string("\"saved\": ") + (saved ? "true" : "false"), t);
}

void Report::BootIgnored(Clock::time_point t) { Event(bootIgnored_, "", t); }
void Report::Silent(const std::string& where, Clock::time_point t) { Event(silent_, "\"where\": " + Quote(where), t); }
void Report::Cut(const std::string& where, Clock::time_point t) { Event(cuts_, "\"where\": " + Quote(where), t); }
void Report::Replugged(const std::string& device, Clock::time_point t) {
    Event(replugs_, "\"device\": " + Quote(device), t);
}
void Report::Notice(const std::string& where, Clock::time_point t) { Event(notices_, "\"where\": " + Quote(where), t); }
void Report::Erase(double ms, Clock::time_point t) { Event(erases_, "\"ms\": " + Num(ms), t); }

void Report::StuckCell(int64_t offset, uint64_t hits) {
    stuckOffset_ = offset;
    stuckHits_ = hits;
}

void Report::ProgramFault(Clock::time_point t) { Event(programFaults_, "", t); }
void Report::Watchdog(Clock::time_point t) { Event(watchdogs_, "", t); }
void Report::ProgramEnd(Clock::time_point t) { Event(programEnds_, "", t); }
void Report::FaultsCleared(Clock::time_point t) { Event(faultsCleared_, "", t); }

void Report::CalibrationListing(size_t records) {
    ++listingsSent_;
    lastListingRecords_ = records;
}

void Report::CalibrationStored(size_t records) {
    ++recordsStores_;
    lastStoredRecords_ = records;
}

std::string Report::Json(const std::string& exit) const {
    std::string s = "{\n";
    auto field = [&s](const std::string& name, const std::string& value) {
        s += "  " + Quote(name) + ": " + value + ",\n";
    };
    field("started_unix", Num(startUnix_));
    field("seconds", Num(Seconds(Clock::now())));
    field("exit", Quote(exit));
    std::string cfg = "{";
    for (const auto& [k, v] : config_) cfg += (cfg.size() > 1 ? ", " : "") + Quote(k) + ": " + v;
    field("config", cfg + "}");
    field("rx_bytes", std::to_string(rxBytes_));
    field("tx_bytes", std::to_string(txBytes_));
    std::vector<std::string> bursts;
    for (const auto& [a, b] : rxBursts_) bursts.push_back("[" + Num(a) + ", " + Num(b) + "]");
    field("rx_bursts", List(bursts));
    std::vector<std::string> traffic;
    for (size_t i = 0; i < traffic_.size(); ++i) {
        const Traffic& tr = traffic_[i];
        std::string lines = "[";
        for (size_t k = 0; k < tr.lines.size(); ++k) lines += (k ? ", " : "") + Quote(tr.lines[k]);
        traffic.push_back("{\"t\": " + Num(rxBursts_[i].first) + ", \"end\": " + Num(rxBursts_[i].second) +
                          ", \"bytes\": " + std::to_string(tr.bytes) + ", \"nuls\": " + std::to_string(tr.nuls) +
                          ", \"binary\": " + std::to_string(tr.binary) +
                          ", \"mismatched\": " + std::to_string(tr.mismatched) + ", \"lines\": " + lines + "]}");
    }
    field("rx_traffic", List(traffic));
    std::string reached = "{";
    for (const auto& [k, v] : stagesReached_)
        reached += (reached.size() > 1 ? ", " : "") + Quote(k) + ": " + std::to_string(v);
    field("stages_reached", reached + "}");
    std::string lineBytes = "{";
    for (const auto& [k, v] : lineBytes_)
        lineBytes += (lineBytes.size() > 1 ? ", " : "") + Quote(k) + ": " + std::to_string(v);
    field("line_bytes", lineBytes + "}");
    field("line_faults", List(lineFaults_));
    field("modes", List(modes_));
    std::vector<std::string> ops;
    for (const auto& o : operations_)
        ops.push_back("{\"op\": " + Quote(o.key) + ", \"first\": " + Num(o.first) + ", \"last\": " + Num(o.last) +
                      ", \"count\": " + std::to_string(o.count) + "}");
    field("operations", List(ops));
    std::string tg = "{";
    for (const auto& [cmd, n] : telegrams_)
        tg += (tg.size() > 1 ? ", " : "") + Quote(Hex(cmd)) + ": " + std::to_string(n);
    field("telegrams", tg + "}");
    field("power_losses", List(powerLosses_));
    field("telegram_errors", List(telegramErrors_));
    field("error_replies", List(errorReplies_));
    field("verdicts", List(verdicts_));
    field("boot_ignored", List(bootIgnored_));
    field("silent", List(silent_));
    field("cuts", List(cuts_));
    field("replugs", List(replugs_));
    field("notices", List(notices_));
    field("erases", List(erases_));
    field("line_breaks", List(lineBreaks_));
    field("flash_defects", List(flashDefects_));
    field("identity_noise", List(identityNoise_));
    field("listing_faults", List(listingFaults_));
    field("snapshots", List(snapshots_));
    field("stuck_cell", stuckOffset_ < 0 ? "null"
                                         : "{\"address\": " + std::to_string(0x80000 + stuckOffset_) +
                                               ", \"hits\": " + std::to_string(stuckHits_) + "}");
    field("program_faults", List(programFaults_));
    field("watchdog_restarts", List(watchdogs_));
    field("program_ends", List(programEnds_));
    field("faults_cleared", List(faultsCleared_));
    s += "  \"calibration\": {\"listings_sent\": " + std::to_string(listingsSent_) +
         ", \"last_listing_records\": " + std::to_string(lastListingRecords_) +
         ", \"stores\": " + std::to_string(recordsStores_) +
         ", \"last_stored_records\": " + std::to_string(lastStoredRecords_) + "}\n}\n";
    return s;
}

bool Report::Write(const std::string& path, const std::string& exit) const {
    return platform::ReplaceFileAtomically(path, Json(exit), platform::kUserFileMode);
}

}  // namespace sim
