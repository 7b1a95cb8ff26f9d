#include "sim/VirtualSensor.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "sim/FirmwareImage.h"

namespace sim {

namespace {

constexpr uint32_t kMaxProgramSize = 0xF000;  // what fits behind 0400:0100 below the loader's own RAM
constexpr size_t kMaxLine = 256;
constexpr size_t kMaxRecords = 99;

std::chrono::milliseconds Ms(double ms) { return std::chrono::milliseconds(static_cast<int64_t>(ms)); }

uint32_t Le32(const std::vector<uint8_t>& v, size_t at) {
    return v[at] | (v[at + 1] << 8) | (v[at + 2] << 16) | (static_cast<uint32_t>(v[at + 3]) << 24);
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

bool IsListingRequest(const std::string& c) {
    return c == "SPEC" || c == "STAT:MEAS" || c == "STAT:ERR:CODE" || c == "SERV:TEST" || c == "STAT:ERR:TEXT";
}

bool IsApplicationCommand(const std::string& c) { return IsListingRequest(c) || c.rfind("calib:", 0) == 0; }

std::optional<Stage> StageOfCommand(int cmd) {
    switch (cmd) {
    case 0x21: return Stage::Identify;
    case 0x22:
    case 0x23: return Stage::Power;
    case 0x25: return Stage::Program;
    case 0x26: return Stage::Checksum;
    case 0x27: return Stage::Erase;
    case 0x49: return Stage::End;
    default: return std::nullopt;
    }
}

std::string Hex2(int v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X", v & 0xFF);
    return buf;
}

}  // namespace

const char* ModeName(SensorMode m) {
    switch (m) {
    case SensorMode::PowerOff: return "power off";
    case SensorMode::Starting: return "application starting";
    case SensorMode::Application: return "application firmware";
    case SensorMode::Boot: return "boot firmware";
    case SensorMode::Loader: return "boot loader";
    case SensorMode::Program: return "downloaded program";
    case SensorMode::Silent: return "silent";
    }
    return "?";
}

VirtualSensor::VirtualSensor(SensorConfig cfg, FlashModel& flash, Trace* trace, Report* report)
    : cfg_(std::move(cfg)), flash_(flash), trace_(trace), report_(report), bootArea_(BootAreaImage()) {
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    busyLeft_ = cfg_.faults.busyAnswers;
    bootLeft_ = cfg_.faults.bootAnswers;
    errorRepliesLeft_ = cfg_.faults.errorReplies.count;
    noticeDone_.assign(cfg_.faults.notices.size(), false);
    if (cfg_.faults.stuckCell >= 0) flash_.SetStuckCell(cfg_.faults.stuckCell);
    flash_.SetEraseDefect(static_cast<int>(cfg_.faults.eraseDefect));
    records_ = {
        "@CAL01 T=-20.0 K0=+1.02410E+00 K1=-3.11200E-03 K2=+0.00000E+00",
        "@CAL02 T=+0.00 K0=+1.00870E+00 K1=-1.98000E-03 K2=+1.20000E-06",
        "@CAL03 T=+20.0 K0=+1.00000E+00 K1=+0.00000E+00 K2=+0.00000E+00",
        "@CAL04 T=+40.0 K0=+9.93100E-01 K1=+2.04000E-03 K2=-1.10000E-06",
        "@CAL05 T=+60.0 K0=+9.86600E-01 K1=+4.11500E-03 K2=-2.30000E-06",
    };
}

VirtualSensor::~VirtualSensor() {
    StopProgram();
    if (wakeFd_ >= 0) close(wakeFd_);
}

void VirtualSensor::Shutdown() { StopProgram(); }

void VirtualSensor::SetMode(SensorMode m, Clock::time_point now) {
    if (m != mode_) {
        if (trace_) trace_->Note(std::string("mode: ") + ModeName(m));
        if (report_) report_->Mode(ModeName(m), now);
    }
    mode_ = m;
}

void VirtualSensor::PowerUp(Clock::time_point now) {
    if (trace_) trace_->Note("power up");
    Restart(now);
    Reach(Stage::Start, 1, now);
}

void VirtualSensor::Restart(Clock::time_point now) {
    StopProgram();
    const auto& cells = flash_.Cells();
    appValid_ = ApplicationValid(cells);
    bootIntact_ = cells.size() >= kBootAreaOffset + bootArea_.size() &&
                  std::equal(bootArea_.begin(), bootArea_.end(), cells.begin() + kBootAreaOffset);
    version_ = FindVersionMarker(cells).value_or("0.00");
    if (trace_)
        trace_->Note("restart: application " + std::string(appValid_ ? "valid" : "not valid") + ", VER=" + version_ +
                     (bootIntact_ ? "" : ", boot firmware damaged"));
    line_.clear();
    lineBad_ = false;
    calUnlocked_ = false;
    calReading_ = false;
    ResetStages(true);
    if (report_) {
        report_->SetStage("start");
        report_->SetTelegram("");
    }
    if (appValid_) {
        SetMode(SensorMode::Starting, now);
        modeUntil_ = now + Ms(cfg_.startupSeconds * 1000);
    } else if (bootIntact_) {
        SetMode(SensorMode::Boot, now);
    } else {
        // Nothing to start: a sensor whose boot firmware is gone is dead.
        GoSilent(now, "boot firmware damaged");
    }
}

void VirtualSensor::ResetStages(bool all) {
    for (int i = 0; i < kStages; ++i) {
        const auto s = static_cast<Stage>(i);
        if (all || (s != Stage::Start && s != Stage::Boot && s != Stage::Flsh)) stageCount_[i] = 0;
    }
}

void VirtualSensor::Reach(Stage s, uint64_t units, Clock::time_point now, bool endOfTelegram) {
    uint64_t& n = stageCount_[static_cast<int>(s)];
    n += units;
    if (report_) {
        report_->SetStage(StageName(s));
        report_->StageReached(StageName(s), n);
    }
    const FaultConfig& f = cfg_.faults;
    auto due = [&](const StagePoint& p, int64_t byDefault) {
        return p.stage == s && static_cast<int64_t>(n) >= (p.count >= 0 ? p.count : byDefault);
    };
    const std::string where = std::string(StageName(s)) + ":" + std::to_string(n);
    for (size_t i = 0; i < f.notices.size(); ++i) {
        if (noticeDone_[i] || !due(f.notices[i], 1)) continue;
        noticeDone_[i] = true;
        if (trace_) trace_->Note("notice " + f.notices[i].Text() + " at " + where);
        if (report_) report_->Notice(where, now);
        if (onNotice) onNotice(f.notices[i].Text());
    }
    if (f.cutAt && !cutDone_ && due(*f.cutAt, 1)) {
        cutDone_ = true;
        cutRequested_ = true;
        if (trace_) trace_->Note("cable pulled at " + where);
        if (report_) report_->Cut(where, now);
    }
    if (f.breakAt && !breakDone_ && due(*f.breakAt, 1)) {
        breakDone_ = true;
        breakRequest_ = where;
        if (trace_) trace_->Note("line dead from " + where);
    }
    if (f.silentFrom && !silentDone_ && due(*f.silentFrom, 1)) {
        silentDone_ = true;
        GoSilent(now, "hangs at " + where);
        return;
    }
    if (powerLossNext_ < f.powerLosses.size() && !powerLossAt_ &&
        due(f.powerLosses[powerLossNext_], DefaultPowerLossCount(s))) {
        if (endOfTelegram) {
            // The whole telegram is in: the operation starts, and the power
            // fails while it runs.
            powerLossAt_ = now + std::chrono::milliseconds(cfg_.eraseStallMs);
            powerLossWhere_ = where + " (during the operation)";
        } else {
            PowerLoss(now, where);
        }
    }
}

void VirtualSensor::GoSilent(Clock::time_point now, const std::string& why) {
    if (trace_) trace_->Note("silent: " + why);
    if (report_) report_->Silent(why, now);
    StopProgram();
    if (onFlashChanged) onFlashChanged();
    out_.clear();
    lastDue_ = now;
    line_.clear();
    powerLossAt_.reset();
    SetMode(SensorMode::Silent, now);
}

bool VirtualSensor::TakeCutRequest() {
    const bool r = cutRequested_;
    cutRequested_ = false;
    return r;
}

std::optional<std::string> VirtualSensor::TakeBreakRequest() { return std::exchange(breakRequest_, std::nullopt); }

void VirtualSensor::ClearFaults(Clock::time_point now) {
    if (trace_) trace_->Note("faults cleared");
    if (report_) report_->FaultsCleared(now);
    const auto notices = cfg_.faults.notices;
    cfg_.faults = FaultConfig{};
    cfg_.faults.notices = notices;
    busyLeft_ = bootLeft_ = telegramErrorsLeft_ = errorRepliesLeft_ = 0;
    powerLossAt_.reset();
    flash_.SetStuckCell(-1);
    flash_.SetEraseDefect(0);
}

void VirtualSensor::PowerLoss(Clock::time_point now, const std::string& why) {
    if (trace_) trace_->Note("power loss: " + why);
    if (report_) report_->PowerLoss(why, now);
    ++powerLossNext_;
    powerLossAt_.reset();
    StopProgram();
    flash_.PowerCut();
    if (onFlashChanged) onFlashChanged();
    out_.clear();
    lastDue_ = now;
    line_.clear();
    SetMode(SensorMode::PowerOff, now);
    modeUntil_ = now + Ms(cfg_.powerOffSeconds * 1000);
}

void VirtualSensor::Send(const std::string& text, int delayMs, Clock::time_point now, LinePhase phase) {
    Clock::time_point due = std::max(now, lastDue_) + std::chrono::milliseconds(delayMs);
    lastDue_ = due;
    out_.push_back({due, std::vector<uint8_t>(text.begin(), text.end()), phase});
}

void VirtualSensor::SendLines(const std::vector<std::string>& lines, int firstDelayMs, int gapMs, Clock::time_point now,
                              const char* what) {
    int delay = firstDelayMs;
    for (const auto& l : lines) {
        Send(l + "\r\n", delay, now);
        out_.back().what = what;
        delay = gapMs;
    }
}

std::vector<uint8_t> VirtualSensor::TakeDueOutput(Clock::time_point now, Clock::time_point* firstDue,
                                                  std::vector<LinePhase>* phases, std::vector<const char*>* whats) {
    std::vector<uint8_t> bytes;
    if (firstDue && !out_.empty()) *firstDue = out_.front().due;
    while (!out_.empty() && out_.front().due <= now) {
        bytes.insert(bytes.end(), out_.front().bytes.begin(), out_.front().bytes.end());
        if (phases) phases->insert(phases->end(), out_.front().bytes.size(), out_.front().phase);
        if (whats) whats->insert(whats->end(), out_.front().bytes.size(), out_.front().what);
        out_.pop_front();
    }
    return bytes;
}

LinePhase VirtualSensor::RxPhase() const {
    switch (mode_) {
    case SensorMode::Loader: return LinePhase::Download;
    case SensorMode::Program: return ownReplyEchoDue_ || pendingEchoes_ > 0 ? LinePhase::Echo : LinePhase::Telegram;
    default: return LinePhase::Text;
    }
}

std::string VirtualSensor::RxWhere() const {
    switch (mode_) {
    case SensorMode::Loader: return "download";
    case SensorMode::Program:
        if (ownReplyEchoDue_ || pendingEchoes_ > 0) return "echo";
        if (tgState_ == TgState::Length) return "length";
        if (tgBody_.empty()) return "command";
        return "tg:" + Hex2(tgBody_[0]) + (tgState_ == TgState::Body ? "" : " checksum");
    case SensorMode::Application:
        if (calReading_) return "calibration read";
        return ModeName(mode_);
    default: return ModeName(mode_);
    }
}

std::optional<Clock::time_point> VirtualSensor::NextOutputDue() const {
    if (out_.empty()) return std::nullopt;
    return out_.front().due;
}

Framing VirtualSensor::LineFraming() const {
    Framing f;
    f.baud = cfg_.baud;
    if (mode_ == SensorMode::Loader || mode_ == SensorMode::Program) {
        f.parity = true;
        f.stopBits = 2;
    }
    return f;
}

std::optional<Clock::time_point> VirtualSensor::NextEvent() const {
    std::optional<Clock::time_point> t;
    auto consider = [&t](Clock::time_point x) {
        if (!t || x < *t) t = x;
    };
    if (mode_ == SensorMode::PowerOff || mode_ == SensorMode::Starting) consider(modeUntil_);
    if (mode_ == SensorMode::Loader) consider(loadIdleUntil_);
    if (mode_ == SensorMode::Program && (cfg_.watchdogSeconds > 0 || programFaulted_)) consider(programQuietUntil_);
    if (calReading_) consider(calReadUntil_);
    if (powerLossAt_) consider(*powerLossAt_);
    return t;
}

void VirtualSensor::Poll(Clock::time_point now) {
    uint64_t drain = 0;
    while (read(wakeFd_, &drain, sizeof drain) > 0) {}
    for (const auto& hit : flash_.TakeDefectHits()) {
        if (trace_) trace_->Note("flash defect: " + hit.what);
        if (report_) report_->FlashDefect(hit.what, hit.offset, now);
    }

    std::vector<uint8_t> tx;
    Clock::time_point txAt;
    {
        std::lock_guard<std::mutex> lock(cpuTxMu_);
        tx.swap(cpuTx_);
        txAt = cpuTxAt_;
    }
    if (cpu_ && trace_) {
        const uint64_t overruns = cpu_->ReceiveOverruns() + cpu_->TransmitOverruns();
        if (overruns != cpuOverruns_) {
            cpuOverruns_ = overruns;
            trace_->Note("serial unit overrun: " + std::to_string(cpu_->ReceiveOverruns()) + " received, " +
                         std::to_string(cpu_->TransmitOverruns()) + " sent");
        }
    }
    if (!tx.empty() && mode_ == SensorMode::Program) {
        // Every byte the program sends is acknowledged by the host's echo.
        pendingEchoes_ += tx.size();
        programQuietUntil_ = now + Ms(cfg_.watchdogSeconds * 1000);
        if (eraseSince_) {
            if (report_) report_->Erase(std::chrono::duration<double, std::milli>(now - *eraseSince_).count(), now);
            eraseSince_.reset();
        }
        if (telegramInAt_) {
            auto it = std::find_if(answerTimes_.begin(), answerTimes_.end(),
                                   [this](const auto& e) { return e.first == telegramCommand_; });
            if (it == answerTimes_.end()) it = answerTimes_.insert(answerTimes_.end(), {telegramCommand_, {}});
            const Clock::duration took = std::max(txAt, *telegramInAt_) - *telegramInAt_;
            ++it->second.count;
            it->second.total += took;
            it->second.longest = std::max(it->second.longest, took);
            telegramInAt_.reset();
        }
        // The bytes went onto the line when the program wrote them.
        Clock::time_point due = std::max(std::min(txAt, now), lastDue_);
        lastDue_ = due;
        out_.push_back({due, std::move(tx), LinePhase::Reply});
    }

    if (cpuDone_.load()) {
        NoteAnswerTimes();
        if (cpuThread_.joinable()) cpuThread_.join();
        cpuDone_ = false;
        const auto exit = static_cast<SensorCpu::Exit>(cpuExit_.load());
        cpu_.reset();
        if (onFlashChanged) onFlashChanged();
        if (exit == SensorCpu::Exit::Restart) {
            if (trace_) trace_->Note("program restarted the sensor");
            if (report_) report_->ProgramEnd(now);
            Restart(now);
        } else {
            // A crashed program leaves the sensor hanging until its
            // watchdog bites.
            if (trace_) trace_->Note("program stopped (emulation fault)");
            if (report_) report_->ProgramFault(now);
            std::fprintf(stderr, "duxk-sensor-sim: the downloaded program faulted; restarting in 2 s\n");
            programFaulted_ = true;
            programQuietUntil_ = now + std::chrono::seconds(2);
        }
    }

    if (powerLossAt_ && now >= *powerLossAt_) PowerLoss(now, powerLossWhere_);

    switch (mode_) {
    case SensorMode::PowerOff:
        if (now >= modeUntil_) {
            if (trace_) trace_->Note("power back");
            Restart(now);
        }
        break;
    case SensorMode::Starting:
        if (now >= modeUntil_) SetMode(SensorMode::Application, now);
        break;
    case SensorMode::Loader:
        if (now >= loadIdleUntil_) {
            if (trace_) trace_->Note("download abandoned: no bytes");
            SetMode(SensorMode::Boot, now);
        }
        break;
    case SensorMode::Program:
        if ((programFaulted_ || cfg_.watchdogSeconds > 0) && now >= programQuietUntil_) {
            if (trace_) trace_->Note("watchdog restart");
            if (report_) report_->Watchdog(now);
            StopProgram();
            if (onFlashChanged) onFlashChanged();
            Restart(now);
        }
        break;
    default: break;
    }
    if (calReading_ && now >= calReadUntil_) {
        if (trace_) trace_->Note("calibration read abandoned");
        calReading_ = false;
        calIncoming_.clear();
    }
}

void VirtualSensor::Receive(const LineChar& c, Clock::time_point now) {
    switch (mode_) {
    case SensorMode::PowerOff:
    case SensorMode::Silent: return;
    case SensorMode::Starting:
    case SensorMode::Application:
    case SensorMode::Boot: TextChar(c, now); return;
    case SensorMode::Loader: LoaderByte(c, now); return;
    case SensorMode::Program:
        if (!programFaulted_) ProgramByte(c.value, now);
        return;
    }
}

// ---- text commands ---------------------------------------------------------

void VirtualSensor::TextChar(const LineChar& c, Clock::time_point now) {
    if (c.error) {
        // A character with a framing error spoils its whole line.
        lineBad_ = true;
        return;
    }
    const uint8_t b = c.value;
    if (b == 0 && report_) report_->Operation("nul", now);  // zeros of a wake-up, for the record
    if (b == 0x11 || b == 0x13 || b == 0 || b == '\r') return;
    if (b == '\n') {
        const std::string l = line_;
        const bool bad = lineBad_;
        line_.clear();
        lineBad_ = false;
        if (!bad) Command(Trim(l), now);
        return;
    }
    if (line_.size() >= kMaxLine) {
        lineBad_ = true;
        return;
    }
    line_.push_back(static_cast<char>(b));
}

void VirtualSensor::Command(const std::string& cmd, Clock::time_point now) {
    if (cmd.empty()) return;
    if (trace_) trace_->Note("command \"" + cmd + "\" in " + ModeName(mode_));
    if (report_) {
        report_->Operation("cmd:" + cmd.substr(0, 24), now);
        report_->SetTelegram("cmd:" + cmd.substr(0, 24));
    }
    if (cmd == "boot" && mode_ != SensorMode::Starting) {
        Reach(Stage::Boot, 1, now);
        if (mode_ == SensorMode::PowerOff || mode_ == SensorMode::Silent) return;
    }

    if (calReading_ && mode_ == SensorMode::Application) {
        calReadUntil_ = now + std::chrono::seconds(20);
        if (cmd[0] == '@') {
            if (calIncoming_.size() < kMaxRecords) calIncoming_.push_back(cmd);
            Reach(Stage::CalRead, 1, now);
            return;
        }
        if (cmd == "calib:lock") {
            calReading_ = false;
            calUnlocked_ = false;
            if (!calIncoming_.empty()) {
                records_ = std::move(calIncoming_);
                if (trace_) trace_->Note("calibration records replaced: " + std::to_string(records_.size()));
                if (report_) report_->CalibrationStored(records_.size());
                if (onCalibrationChanged) onCalibrationChanged();
            }
            calIncoming_.clear();
            return;
        }
        // Other lines of a calibration file (preamble, trailer) are not
        // records; a real command is still obeyed.
        if (cmd != "id" && cmd != "appl" && cmd != "spec" && cmd != "boot" && !IsApplicationCommand(cmd)) return;
    }

    switch (mode_) {
    case SensorMode::Starting: Send("boot_\r\n", 5, now); return;
    case SensorMode::Application: ApplicationCommand(cmd, now); return;
    case SensorMode::Boot: BootCommand(cmd, now); return;
    default: return;
    }
}

std::string VirtualSensor::IdentityReply(const std::string& payload) const {
    unsigned sum = 0;
    for (unsigned char ch : payload) sum += ch;
    char head[8];
    std::snprintf(head, sizeof head, "@%02X ", sum & 0xFF);
    return cfg_.faults.idNoise + head + payload + "\r\n";
}

bool VirtualSensor::ListingFault(const std::string& request, Clock::time_point now) {
    if (bootLeft_ > 0) {
        --bootLeft_;
        Send("boot_\r\n", 10, now);
        if (report_) report_->ListingFault("boot_", request, now);
        return true;
    }
    if (busyLeft_ > 0) {
        --busyLeft_;
        Send("busy_\r\n", 10, now);
        if (report_) report_->ListingFault("busy_", request, now);
        return true;
    }
    return false;
}

std::vector<std::string> VirtualSensor::CalibrationListing() const {
    char count[8];
    std::snprintf(count, sizeof count, "%02u", static_cast<unsigned>(records_.size() % 100));
    std::vector<std::string> lines;
    lines.push_back("CAL:SER " + cfg_.serial);
    lines.push_back(std::string(" pack ") + count);
    for (const auto& r : records_) lines.push_back(r);
    // The trailer is the first place where the count stands between blanks,
    // so the listing reads as complete only once its last line is in.
    lines.push_back(std::string("end ") + count + " records");
    return lines;
}

void VirtualSensor::ApplicationCommand(const std::string& cmd, Clock::time_point now) {
    if (cmd == "id") {
        if (!cfg_.faults.idNoise.empty() && report_) report_->IdentityNoise(now);
        Send(IdentityReply("DUX-K52 V" + version_), 8, now);
    } else if (cmd == "appl") {
        Send("oper________\r\n", 8, now);
    } else if (cmd == "boot") {
        if (cfg_.faults.noBootAnswer) {
            if (report_) report_->BootIgnored(now);
            return;
        }
        if (!bootIntact_) {
            GoSilent(now, "boot firmware damaged");
            return;
        }
        SetMode(SensorMode::Boot, now);
        Send("boot__\r\n", 20, now);
    } else if (cmd == "spec") {
        SendLines({"DUX-K52 sensor", "ID:TYP DUX-K52", "ID:SER " + cfg_.serial, "ID:FW  V" + version_, "ID:HW  2.1"},
                  15, 20, now);
    } else if (cmd == "SPEC") {
        if (ListingFault(cmd, now)) return;
        SendLines({"SPECIFICATION DUX-K52", "firmware V" + version_, "Pack 01 specification",
                   "  range         0 .. 2000 hPa", "  accuracy      +/-0.05 %FS", "  temperature   -40 .. +85 C",
                   "  interface     RS232 4800..38400 baud", "  serial        " + cfg_.serial},
                  15, 25, now);
    } else if (cmd == "STAT:MEAS") {
        if (ListingFault(cmd, now)) return;
        SendLines(
            {"STATUS MEASUREMENT", "mode continuous", "PACK 02 settings", "  rate          10 Hz", "  filter        4",
             "  unit          hPa", "  zero offset   +0.000", "  baud          " + std::to_string(cfg_.baud)},
            15, 25, now);
    } else if (cmd == "STAT:ERR:CODE") {
        if (ListingFault(cmd, now)) return;
        SendLines({"ERR:CODE 0000"}, 15, 0, now);
    } else if (cmd == "SERV:TEST") {
        if (ListingFault(cmd, now)) return;
        SendLines({"SELFTEST start", "  ram           ok", "  flash         ok", "  adc           ok",
                   "  sensor        ok", "SELFTEST passed"},
                  30, 200, now);
    } else if (cmd == "STAT:ERR:TEXT") {
        if (ListingFault(cmd, now)) return;
        SendLines({"ERR:TEXT no error"}, 15, 0, now);
    } else if (cmd == "calib:show") {
        Reach(Stage::CalShow, 1, now);
        if (mode_ != SensorMode::Application) return;
        if (report_) report_->CalibrationListing(records_.size());
        SendLines(CalibrationListing(), 20, 25, now, "calibration listing");
    } else if (cmd == "calib:lock") {
        calUnlocked_ = false;
    } else if (cmd.rfind("calib:unlock", 0) == 0) {
        const std::string code = Trim(cmd.substr(12));
        calUnlocked_ = code == "mulberry";
        Send(calUnlocked_ ? "unlocked_\r\n" : "denied_\r\n", 10, now);
    } else if (cmd == "calib:read") {
        if (!calUnlocked_) {
            Send("locked_\r\n", 10, now);
            return;
        }
        calReading_ = true;
        calIncoming_.clear();
        calReadUntil_ = now + std::chrono::seconds(20);
    } else {
        Send("syntax error_\r\n", 8, now);
    }
}

void VirtualSensor::BootCommand(const std::string& cmd, Clock::time_point now) {
    if (cmd == "boot") {
        Send("boot__\r\n", 20, now);
    } else if (cmd == "id") {
        if (!cfg_.faults.idNoise.empty() && report_) report_->IdentityNoise(now);
        Send(IdentityReply("DUX-K52 BOOT"), 8, now);
    } else if (cmd == "spec") {
        SendLines({"DUX-K52 boot firmware 1.02", "ID:SER " + cfg_.serial}, 15, 20, now);
    } else if (cmd == "flsh") {
        ResetStages(false);
        Reach(Stage::Flsh, 1, now);
        if (mode_ != SensorMode::Boot) return;
        Send("flshflash ready\r\n", 30, now);
        load_.clear();
        loadFramingError_ = false;
        loadParityError_ = false;
        downloadBytes_ = 0;
        loadIdleUntil_ = now + std::chrono::seconds(10);
        SetMode(SensorMode::Loader, now);
    } else if (cmd == "appl") {
        if (appValid_) {
            SetMode(SensorMode::Application, now);
            Send("oper________\r\n", 20, now);
        } else {
            Send("boot_\r\n", 10, now);  // nothing to start: still the boot firmware
        }
    } else if (IsApplicationCommand(cmd)) {
        Send("boot_\r\n", 10, now);
    } else {
        Send("SYNTAX ERROR_\r\n", 8, now);
    }
}

// ---- boot loader -------------------------------------------------------------

void VirtualSensor::LoaderByte(const LineChar& c, Clock::time_point now) {
    loadIdleUntil_ = now + std::chrono::seconds(5);
    if (c.error) loadFramingError_ = true;
    if (c.parityError) loadParityError_ = true;
    load_.push_back(c.value);
    ++downloadBytes_;
    Reach(Stage::Download, 1, now);
    if (mode_ != SensorMode::Loader) return;
    if (load_.size() == 12) {
        loadSize_ = Le32(load_, 0);
        if (loadSize_ == 0 || loadSize_ > kMaxProgramSize) {
            if (trace_) trace_->Note("download refused: size " + std::to_string(loadSize_));
            Send("Err 2 size\r\n", 20, now);
            SetMode(SensorMode::Boot, now);
        }
        return;
    }
    if (load_.size() == 12 + static_cast<size_t>(loadSize_) + 2) LoaderVerdict(now);
}

void VirtualSensor::LoaderVerdict(Clock::time_point now) {
    uint32_t sum = 0;
    for (size_t i = 4; i < 12 + loadSize_; ++i) sum += load_[i];
    const uint32_t sent = load_[12 + loadSize_] | (load_[13 + loadSize_] << 8);
    std::string verdict = "T";
    if ((sum & 0xFFFF) != sent)
        verdict = "C";
    else if (loadFramingError_)
        verdict = "F";
    else if (loadParityError_)
        verdict = "P";
    const std::string honest = verdict;
    if (!cfg_.faults.verdict.empty()) verdict = cfg_.faults.verdict;
    if (report_) report_->Verdict(verdict, honest, now);
    if (trace_) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "download of %u bytes: sum %04X, sent %04X, verdict %s", loadSize_, sum & 0xFFFF,
                      sent, verdict.c_str());
        trace_->Note(buf);
    }
    Send(verdict.size() == 1 ? verdict : verdict + "\r\n", 30, now, LinePhase::Verdict);
    if (verdict == "T") {
        const uint32_t where = Le32(load_, 4);
        imageSeg_ = static_cast<uint16_t>(where >> 16);
        imageOff_ = static_cast<uint16_t>(where & 0xFFFF);
        image_.assign(load_.begin() + 12, load_.begin() + 12 + loadSize_);
        StartProgram(now);
    } else {
        SetMode(SensorMode::Boot, now);
    }
    load_.clear();
}

// ---- downloaded program ------------------------------------------------------

void VirtualSensor::StartProgram(Clock::time_point now) {
    pendingEchoes_ = 0;
    tgState_ = TgState::Length;
    tgBody_.clear();
    lengthHeld_ = tgOwnReply_ = ownReplyEchoDue_ = false;
    ownReply_.clear();
    eraseSince_.reset();
    telegramErrorsLeft_ = cfg_.faults.telegramErrors;
    programFaulted_ = false;
    programQuietUntil_ = now + Ms(cfg_.watchdogSeconds * 1000);
    cpuDone_ = false;
    cpu_ = std::make_unique<SensorCpu>(flash_);
    cpu_->SetLineRate(cfg_.baud, Framing{cfg_.baud, true, 2}.BitsPerChar());
    cpuOverruns_ = 0;
    cpu_->onTransmit = [this](uint8_t b) {
        {
            std::lock_guard<std::mutex> lock(cpuTxMu_);
            if (cpuTx_.empty()) cpuTxAt_ = Clock::now();
            cpuTx_.push_back(b);
        }
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(wakeFd_, &one, sizeof one);
    };
    cpu_->LoadImage(image_.data(), image_.size(), imageSeg_, imageOff_);
    SetMode(SensorMode::Program, now);
    SensorCpu* cpu = cpu_.get();
    cpuThread_ = std::thread([this, cpu] {
        const SensorCpu::Exit e = cpu->Run();
        cpuExit_ = static_cast<int>(e);
        cpuDone_ = true;
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t r = write(wakeFd_, &one, sizeof one);
    });
}

void VirtualSensor::NoteAnswerTimes() {
    if (trace_ && !answerTimes_.empty()) {
        std::string text = "program answer times:";
        for (const auto& [cmd, t] : answerTimes_) {
            char part[128];
            std::snprintf(part, sizeof part, " %02X: %llu in %.6f s (longest %.6f s);", cmd & 0xFF,
                          static_cast<unsigned long long>(t.count), std::chrono::duration<double>(t.total).count(),
                          std::chrono::duration<double>(t.longest).count());
            text += part;
        }
        trace_->Note(text);
    }
    answerTimes_.clear();
    telegramInAt_.reset();
}

void VirtualSensor::StopProgram() {
    NoteAnswerTimes();
    if (cpuThread_.joinable()) {
        cpu_->Stop();
        cpuThread_.join();
    }
    cpu_.reset();
    cpuDone_ = false;
    programFaulted_ = false;
    std::lock_guard<std::mutex> lock(cpuTxMu_);
    cpuTx_.clear();
}

void VirtualSensor::ProgramByte(uint8_t b, Clock::time_point now) {
    if (ownReplyEchoDue_) {
        // The host's echo of a byte the sensor sent in place of the program.
        ownReplyEchoDue_ = false;
        if (!ownReply_.empty()) SendOwnReplyByte(now);
        return;
    }
    if (pendingEchoes_ > 0) {
        --pendingEchoes_;
        cpu_->PushRx(b);
        return;
    }

    bool firstBodyByte = false;
    bool lastOfTelegram = false;
    switch (tgState_) {
    case TgState::Length:
        tgLength_ = b;
        tgBody_.clear();
        tgOwnReply_ = false;
        tgSpoiled_ = false;
        tgState_ = b ? TgState::Body : TgState::CkLow;
        if (b && errorRepliesLeft_ > 0) {
            // Whether the sensor answers this telegram itself shows only
            // with its command byte; until then the program waits.
            lengthHeld_ = true;
            heldLength_ = b;
            return;
        }
        break;
    case TgState::Body:
        tgBody_.push_back(b);
        firstBodyByte = tgBody_.size() == 1;
        if (tgBody_.size() == tgLength_) tgState_ = TgState::CkLow;
        if (firstBodyByte && lengthHeld_) {
            lengthHeld_ = false;
            const int want = cfg_.faults.errorReplies.command;
            if (errorRepliesLeft_ > 0 && (want < 0 || want == b)) {
                --errorRepliesLeft_;
                tgOwnReply_ = true;
            } else {
                cpu_->PushRx(heldLength_);
            }
        }
        break;
    case TgState::CkLow: {
        const int cmd = tgBody_.empty() ? -1 : tgBody_[0];
        if (!tgOwnReply_ && telegramErrorsLeft_ > 0 &&
            (cfg_.faults.telegramErrorCommand < 0 || cfg_.faults.telegramErrorCommand == cmd)) {
            // The program sees a checksum that is off by one and
            // answers with its checksum error reply.
            --telegramErrorsLeft_;
            b = static_cast<uint8_t>(b + 1);
            tgSpoiled_ = true;
            if (trace_) trace_->Note("telegram checksum spoiled on the way to the program");
            if (report_) report_->TelegramError(cmd, now);
        }
        tgState_ = TgState::CkHigh;
        break;
    }
    case TgState::CkHigh:
        tgState_ = TgState::Length;
        lastOfTelegram = true;
        telegramInAt_ = now;
        telegramCommand_ = tgBody_.empty() ? -1 : tgBody_[0];
        break;
    }

    if (firstBodyByte || tgBody_.size() == 6 || tgBody_.size() == 7) NoteTelegram();
    if (!tgOwnReply_) cpu_->PushRx(b);
    if (lastOfTelegram) TelegramEnd(now);

    // Bytes of the telegrams count towards their stage (the length byte
    // with the command byte).
    if (tgBody_.empty()) return;
    const auto stage = StageOfCommand(tgBody_[0]);
    if (!stage) return;
    Reach(*stage, firstBodyByte ? 2 : 1, now, lastOfTelegram);
}

// A telegram's key: its command, and for program and read telegrams their
// address, so that consecutive blocks are told apart from repeats.
std::string VirtualSensor::TelegramKey() const {
    if (tgBody_.empty()) return "tg:--";
    std::string key = "tg:" + Hex2(tgBody_[0]);
    const size_t at = tgBody_[0] == 0x25 ? 3 : tgBody_[0] == 0x24 ? 2 : 0;
    if (at && tgBody_.size() >= at + 4) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "@%05X", Le32(tgBody_, at));
        key += buf;
    }
    return key;
}

void VirtualSensor::NoteTelegram() {
    if (report_ && !tgBody_.empty()) report_->SetTelegram(TelegramKey());
}

void VirtualSensor::TelegramEnd(Clock::time_point now) {
    const int cmd = tgBody_.empty() ? -1 : tgBody_[0];
    if (report_) {
        report_->Operation(TelegramKey(), now);
        report_->Telegram(cmd);
    }
    if (tgOwnReply_) {
        // Answered by the sensor as the program would answer: a length,
        // 0x20 and the error byte, and their sum; every byte waits for the
        // host's echo before the next one goes out.
        const uint8_t e = cfg_.faults.errorReplies.errorByte;
        const unsigned sum = 0x20u + e;
        ownReply_ = {0x02, 0x20, e, static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)};
        if (trace_) trace_->Note("telegram answered by the sensor with 20 " + Hex2(e));
        if (report_) report_->ErrorReply(e, cmd, now);
        SendOwnReplyByte(now);
        return;
    }
    if (cmd == 0x27 && !tgSpoiled_) eraseSince_ = now;
}

void VirtualSensor::SendOwnReplyByte(Clock::time_point now) {
    const uint8_t b = ownReply_.front();
    ownReply_.pop_front();
    Clock::time_point due = std::max(now, lastDue_);
    lastDue_ = due;
    out_.push_back({due, {b}, LinePhase::Reply});
    ownReplyEchoDue_ = true;
    programQuietUntil_ = now + Ms(cfg_.watchdogSeconds * 1000);
}

}  // namespace sim
