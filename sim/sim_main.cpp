// duxk-sensor-sim: a virtual DUX-K52 sensor on a pseudo-terminal.
//
// The line thread (this one) owns the pseudo-terminal: it reads what the host
// sends, passes it through the line model (speed mismatch, pacing, injected
// faults) to the sensor, and writes what the sensor transmits. It blocks in
// epoll_wait() between events; the emulated processor runs on its own thread
// while a downloaded program executes.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <random>

#include "platform/Deadline.h"
#include "platform/Files.h"
#include "sim/Faults.h"
#include "sim/FirmwareImage.h"
#include "sim/Pty.h"
#include "sim/Report.h"
#include "sim/StateStore.h"
#include "sim/Trace.h"
#include "sim/Uart.h"
#include "sim/VirtualSensor.h"

namespace {

int g_signalPipe[2] = {-1, -1};

// The signal's number goes through the pipe: SIGUSR1 clears the faults,
// SIGUSR2 saves the state and the report as they are now, the others end the
// run.
void OnSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] ssize_t r = write(g_signalPipe[1], &c, 1);
}

const char* SignalName(int sig) {
    switch (sig) {
    case SIGTERM: return "SIGTERM";
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "signal";
    }
}

// The host's port map directory, by the host's rule: never a shared one.
std::string PortsDir() {
    if (const char* d = std::getenv("DUXK_PORTS_DIR"); d && *d) return d;
    std::string base;
    if (const char* x = std::getenv("XDG_CONFIG_HOME"); x && *x)
        base = x;
    else if (const std::string home = platform::HomeDirectory(); !home.empty())
        base = home + "/.config";
    else
        return {};
    return base + "/duxkupdate/ports";
}

struct Options {
    int com = 0;
    std::string stateDir;
    int baud = 38400;
    std::string serial;
    std::string flash = "am29f010";
    bool pace = false;
    std::string trace;
    std::string firmware;
    uint32_t eraseMs = 1000;  // the part's typical sector erase time
    double startup = 1.5;
    double watchdog = 30.0;
    std::string report;
    sim::FaultConfig faults;
};

int Run(const Options& opt) {
    using sim::Clock;
    // Signals are taken before the device path is announced, so that a
    // SIGTERM right after start still ends the run cleanly.
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return 1;
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGUSR2, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    // The line model sleeps for fractions of a character time: wake when
    // asked, not up to the default timer slack later (the processor's
    // thread inherits this).
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    sim::Report report;
    sim::Trace trace;
    if (std::string why; !opt.trace.empty() && !trace.Open(opt.trace, &why)) {
        std::cerr << "duxk-sensor-sim: cannot write trace file " << why << "\n";
        return 2;
    }

    sim::StateStore store(opt.stateDir);
    std::string error;
    if (!store.Prepare(error)) {
        std::cerr << "duxk-sensor-sim: " << error << "\n";
        return 2;
    }

    // Flash contents: kept ones, or a new sensor's (boot firmware on top,
    // an application below it).
    std::unique_ptr<sim::FlashModel> flash =
        opt.flash == "family-a" ? sim::MakeFamilyA() : sim::MakeAm29F010(opt.eraseMs);
    auto& cells = flash->Cells();
    if (auto kept = store.LoadFlash(cells.size())) {
        cells = *kept;
    } else {
        std::fill(cells.begin(), cells.end(), 0xFF);
        const auto boot = sim::BootAreaImage();
        std::copy(boot.begin(), boot.end(), cells.begin() + sim::kBootAreaOffset);
        if (opt.firmware.empty()) {
            const auto app = sim::MakeFirmwareImage("3.00", 16384);
            std::copy(app.begin(), app.end(), cells.begin());
        }
    }
    if (!opt.firmware.empty()) {
        std::ifstream f(opt.firmware, std::ios::binary);
        std::vector<uint8_t> app((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (!f.good() && !f.eof()) {
            std::cerr << "duxk-sensor-sim: cannot read " << opt.firmware << "\n";
            return 2;
        }
        if (app.size() > sim::kAppAreaSize) app.resize(sim::kAppAreaSize);
        std::fill(cells.begin(), cells.begin() + sim::kAppAreaSize, 0xFF);
        std::copy(app.begin(), app.end(), cells.begin());
    }

    sim::SensorConfig cfg;
    cfg.baud = opt.baud;
    cfg.faults = opt.faults;
    cfg.startupSeconds = opt.startup;
    cfg.watchdogSeconds = opt.watchdog;
    if (!opt.serial.empty())
        cfg.serial = opt.serial;
    else if (auto s = store.LoadSerial())
        cfg.serial = *s;

    report.SetConfig("baud", std::to_string(opt.baud));
    report.SetConfig("flash", "\"" + opt.flash + "\"");
    report.SetConfig("pace", opt.pace ? "true" : "false");
    report.SetConfig("erase_ms", std::to_string(opt.eraseMs));
    report.SetConfig("watchdog", std::to_string(opt.watchdog));
    sim::VirtualSensor sensor(cfg, *flash, trace.IsOpen() ? &trace : nullptr, &report);
    // Points a caller asked to hear about, one line each after the device.
    sensor.onNotice = [](const std::string& what) {
        std::printf("notice %s\n", what.c_str());
        std::fflush(stdout);
    };
    if (auto r = store.LoadRecords(); r && !r->empty()) sensor.SetRecords(*r);
    sensor.onFlashChanged = [&] { store.SaveFlash(flash->Cells()); };
    sensor.onCalibrationChanged = [&] { store.SaveRecords(sensor.Records()); };
    store.SaveSerial(sensor.Serial());
    store.SaveFlash(cells);
    store.SaveRecords(sensor.Records());

    sim::Pty pty;
    if (!pty.Open(opt.baud, error)) {
        std::cerr << "duxk-sensor-sim: " << error << "\n";
        return 1;
    }

    std::string link;
    if (opt.com > 0) {
        const std::string dir = PortsDir();
        if (dir.empty()) {
            std::cerr << "duxk-sensor-sim: no port map directory (set DUXK_PORTS_DIR or HOME)\n";
            return 1;
        }
        if (!platform::MakeDirectories(dir, 0755)) {
            std::cerr << "duxk-sensor-sim: cannot create " << dir << "\n";
            return 1;
        }
        link = dir + "/com" + std::to_string(opt.com);
    }
    // A link that is already there belongs to someone else (a user's own map
    // entry, another sensor): it is never replaced, neither at the start nor
    // when a pulled cable is plugged in again.
    auto linkDevice = [&link, &pty]() {
        if (link.empty()) return true;
        if (symlink(pty.SlavePath().c_str(), link.c_str()) == 0) return true;
        const int e = errno;
        std::cerr << "duxk-sensor-sim: cannot link " << link << ": " << std::strerror(e);
        if (e == EEXIST) {
            char target[4096];
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0) std::cerr << " (it points at " << std::string(target, static_cast<size_t>(n)) << ")";
            std::cerr << "; remove it or choose another --com";
        }
        std::cerr << "\n";
        return false;
    };
    auto unlinkDevice = [&link, &pty]() {
        if (link.empty()) return;
        char target[4096];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0) {
            target[n] = '\0';
            if (pty.SlavePath() == target) unlink(link.c_str());
        }
    };
    if (!linkDevice()) return 1;

    std::printf("%s\n", pty.SlavePath().c_str());
    std::fflush(stdout);
    trace.Note("device " + pty.SlavePath() + " at " + std::to_string(opt.baud) + " baud");

    std::mt19937_64 lineRng(opt.faults.seed);
    sim::FaultConfig line = opt.faults;  // the line's own faults (cleared by SIGUSR1)
    uint64_t rxIndex = 0, txIndex = 0;
    using Nanos = std::chrono::nanoseconds;
    auto charTime = [](const sim::Framing& f) { return Nanos(static_cast<int64_t>(f.CharMicros() * 1000)); };
    // The host's framing as far as the pseudo-terminal shows it: its speed
    // and stop bits, not its parity. A host with the sensor's stop bits is
    // taken to use its parity too; one without has not switched framing.
    auto hostFraming = [&pty, &sensor] {
        const sim::Framing sf = sensor.LineFraming();
        sim::Framing hf = pty.HostFraming();
        hf.parity = sf.parity && hf.stopBits == sf.stopBits;
        return hf;
    };

    // Host to sensor. Everything the host wrote is read at once and queued
    // as it was written (a write's bytes go back to back on a line, so they
    // are reframed together); with pacing each host byte reaches the
    // sensor one character time after the line was free for it, and the
    // host is held back while more than a receive FIFO's worth is waiting.
    struct RxChunk {
        std::vector<sim::LineChar> chars;  // what the sensor's UART makes of them
        size_t bytes = 0, bytesDone = 0, charsDone = 0;
    };
    std::deque<RxChunk> rxChunks;
    sim::PacedLine rxLine;
    constexpr size_t kHostAhead = 16;

    // Sensor to host: each byte is written to the pseudo-terminal once it
    // has crossed the line.
    std::deque<uint8_t> txPending;  // sensor bytes not yet across the line
    sim::PacedLine txLine;
    uint64_t rxPhaseIndex[sim::kLinePhases] = {}, txPhaseIndex[sim::kLinePhases] = {};
    // While the cable is pulled the pseudo-terminal is closed; it comes back
    // as a new device at this time.
    bool unplugged = false;
    Clock::time_point replugAt{};
    std::string exitReason = "error";
    std::vector<uint8_t> wire;  // bytes for the host that the pty has not taken yet
    Clock::time_point blockedSince{};

    // A dead line (--line-break): nothing crosses in either direction from
    // its point on for its time, and on until at least one byte was lost.
    std::optional<std::string> breakWhere;
    Clock::time_point breakFrom{}, breakUntil{};
    uint64_t breakRxLost = 0, breakTxLost = 0;
    constexpr auto kBreakLongest = std::chrono::seconds(60);

    auto deliver = [&](const sim::LineChar& in, Clock::time_point at) {
        sim::LineChar c = in;
        const uint64_t i = rxIndex++;
        const sim::LinePhase ph = sensor.RxPhase();
        const uint64_t pi = rxPhaseIndex[static_cast<int>(ph)]++;
        if (breakWhere) {
            ++breakRxLost;
            return;
        }
        if (line.rxDrop.Active() && line.rxDrop.Hit(i, ph, pi, lineRng)) {
            report.LineFault("rx", "drop", i, sim::LinePhaseName(ph), pi, sensor.RxWhere(), at);
            return;
        }
        if (line.rxCorrupt.Active() && line.rxCorrupt.Hit(i, ph, pi, lineRng)) {
            c.value = static_cast<uint8_t>(c.value ^ (1u << (lineRng() % 8)));
            report.LineFault("rx", "corrupt", i, sim::LinePhaseName(ph), pi, sensor.RxWhere(), at);
        }
        if (line.rxInsert.Active() && line.rxInsert.Hit(i, ph, pi, lineRng)) {
            // Noise on the idle line is taken for a character of its own.
            sim::LineChar noise{};
            noise.value = static_cast<uint8_t>(lineRng());
            report.LineFault("rx", "insert", i, sim::LinePhaseName(ph), pi, sensor.RxWhere(), at);
            sensor.Receive(noise, at);
        }
        const bool twice = line.rxDuplicate.Active() && line.rxDuplicate.Hit(i, ph, pi, lineRng);
        if (twice) report.LineFault("rx", "duplicate", i, sim::LinePhaseName(ph), pi, sensor.RxWhere(), at);
        sensor.Receive(c, at);
        if (twice) sensor.Receive(c, at);
    };

    // The waits. A poll() or read() on a terminal with no input waits for
    // the kernel's pending input work on it to finish; on a busy machine that
    // work, preempted by the very reader it woke, can stand still for
    // seconds, and the line with it. An edge-triggered epoll set looks at the
    // pseudo-terminal only when input has arrived (or it can take output
    // again), and the master is read only after such a report.
    const int waitSet = epoll_create1(EPOLL_CLOEXEC);
    if (waitSet < 0) {
        std::cerr << "duxk-sensor-sim: epoll_create1: " << std::strerror(errno) << "\n";
        return 1;
    }
    for (const int fd : {g_signalPipe[0], sensor.WakeFd()}) {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        epoll_ctl(waitSet, EPOLL_CTL_ADD, fd, &e);
    }
    int watchedMaster = -1;  // the master descriptor in the set (closing one takes it out)
    bool watchingOutput = false;
    auto watchMaster = [&](bool output) {
        const int fd = pty.Master();
        if (fd < 0 || (fd == watchedMaster && output == watchingOutput)) return;
        epoll_event e{};
        e.events = EPOLLIN | EPOLLET | (output ? EPOLLOUT : 0u);
        e.data.fd = fd;
        if (epoll_ctl(waitSet, fd == watchedMaster ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &e) == 0) {
            watchedMaster = fd;
            watchingOutput = output;
        }
    };

    sensor.PowerUp(Clock::now());

    bool running = true;
    while (running) {
        Clock::time_point now = Clock::now();

        sensor.Poll(now);

        if (auto where = sensor.TakeBreakRequest(); where && !breakWhere) {
            breakWhere = where;
            breakFrom = now;
            breakUntil = now + platform::MsFromSeconds(opt.faults.breakSeconds);
            breakRxLost = breakTxLost = 0;
        }
        if (breakWhere && now >= breakUntil && (breakRxLost + breakTxLost > 0 || now >= breakFrom + kBreakLongest)) {
            trace.Note("line alive again after " + *breakWhere);
            report.LineBreak(*breakWhere, std::chrono::duration<double>(now - breakFrom).count(), breakRxLost,
                             breakTxLost, now);
            breakWhere.reset();
        }

        if (sensor.TakeCutRequest()) {
            // The host's descriptor now reports a hang-up; the sensor runs on.
            unlinkDevice();
            pty.Close();
            watchedMaster = -1;
            unplugged = true;
            replugAt = now + platform::MsFromSeconds(opt.faults.replugSeconds);
            wire.clear();
            txPending.clear();
            txLine = sim::PacedLine{};
            rxChunks.clear();
            rxLine = sim::PacedLine{};
        }
        if (unplugged && now >= replugAt) {
            unplugged = false;
            if (!pty.Open(opt.baud, error) || !linkDevice()) {
                std::cerr << "duxk-sensor-sim: cannot plug in again: " << error << "\n";
                break;
            }
            trace.Note("plugged in again as " + pty.SlavePath());
            report.Replugged(pty.SlavePath(), now);
            std::printf("replugged %s\n", pty.SlavePath().c_str());
            std::fflush(stdout);
        }

        // The sensor's output, through the transmit faults.
        size_t produced = 0;
        Clock::time_point producedAt = now;
        std::vector<sim::LinePhase> txPhases;
        std::vector<const char*> txWhats;
        const std::vector<uint8_t> due = sensor.TakeDueOutput(now, &producedAt, &txPhases, &txWhats);
        for (size_t k = 0; k < due.size(); ++k) {
            uint8_t b = due[k];
            const uint64_t i = txIndex++;
            const sim::LinePhase ph = txPhases[k];
            const uint64_t pi = txPhaseIndex[static_cast<int>(ph)]++;
            const std::string where = *txWhats[k] ? txWhats[k] : sim::ModeName(sensor.Mode());
            if (breakWhere) {
                ++breakTxLost;
                continue;
            }
            if (line.txDrop.Active() && line.txDrop.Hit(i, ph, pi, lineRng)) {
                report.LineFault("tx", "drop", i, sim::LinePhaseName(ph), pi, where, now);
                continue;
            }
            if (line.txCorrupt.Active() && line.txCorrupt.Hit(i, ph, pi, lineRng)) {
                b = static_cast<uint8_t>(b ^ (1u << (lineRng() % 8)));
                report.LineFault("tx", "corrupt", i, sim::LinePhaseName(ph), pi, where, now);
            }
            if (line.txInsert.Active() && line.txInsert.Hit(i, ph, pi, lineRng)) {
                report.LineFault("tx", "insert", i, sim::LinePhaseName(ph), pi, where, now);
                txPending.push_back(static_cast<uint8_t>(lineRng()));
                ++produced;
            }
            if (line.txDuplicate.Active() && line.txDuplicate.Hit(i, ph, pi, lineRng)) {
                report.LineFault("tx", "duplicate", i, sim::LinePhaseName(ph), pi, where, now);
                txPending.push_back(b);
                ++produced;
            }
            txPending.push_back(b);
            ++produced;
        }
        report.SensorBytes(due.size());
        if (sensor.Mode() == sim::SensorMode::PowerOff || sensor.Mode() == sim::SensorMode::Silent || unplugged) {
            txPending.clear();
            txLine = sim::PacedLine{};
            produced = 0;
        }
        const sim::Framing sf = sensor.LineFraming();
        if (opt.pace) txLine.Add(produced, std::min(producedAt, now), charTime(sf));

        // Onto the line at the sensor's speed; the host's UART samples it
        // at its own.
        if (!txPending.empty()) {
            const size_t n = opt.pace ? std::min(txLine.TakeDone(now), txPending.size()) : txPending.size();
            if (n > 0) {
                std::vector<uint8_t> bytes(txPending.begin(), txPending.begin() + static_cast<long>(n));
                txPending.erase(txPending.begin(), txPending.begin() + static_cast<long>(n));
                trace.Bytes("TX", bytes.data(), bytes.size());
                sim::Framing hf = pty.HostFraming();
                hf.parity = sf.parity;
                for (const auto& c : sim::Reframe(bytes.data(), bytes.size(), sf, hf)) wire.push_back(c.value);
            }
        }
        if (!wire.empty()) {
            const ssize_t w = write(pty.Master(), wire.data(), wire.size());
            if (w > 0) {
                wire.erase(wire.begin(), wire.begin() + w);
                blockedSince = Clock::time_point{};
            } else if (blockedSince == Clock::time_point{}) {
                blockedSince = now;
            } else if (now - blockedSince > std::chrono::seconds(2)) {
                // Nobody reads the device: what waits there is lost, as on
                // a line without a listener.
                pty.FlushSlaveInput();
                blockedSince = Clock::time_point{};
            }
        }

        // The host's bytes whose line time is over reach the sensor; the
        // characters a chunk turned into follow its bytes in proportion.
        if (opt.pace) {
            size_t done = rxLine.TakeDone(now);
            while (done > 0 && !rxChunks.empty()) {
                RxChunk& ch = rxChunks.front();
                const size_t step = std::min(done, ch.bytes - ch.bytesDone);
                ch.bytesDone += step;
                done -= step;
                const size_t upTo = ch.bytesDone * ch.chars.size() / ch.bytes;
                for (; ch.charsDone < upTo; ++ch.charsDone) deliver(ch.chars[ch.charsDone], now);
                if (ch.bytesDone == ch.bytes) rxChunks.pop_front();
            }
            pty.GateHostOutput(rxLine.Queued() < kHostAhead);
        }

        // How long to sleep.
        std::optional<Clock::time_point> wake;
        auto consider = [&wake](std::optional<Clock::time_point> t) {
            if (t && (!wake || *t < *wake)) wake = t;
        };
        consider(sensor.NextEvent());
        consider(sensor.NextOutputDue());
        if (unplugged) consider(replugAt);
        if (breakWhere) consider(breakUntil);
        if (opt.pace) {
            // Within a run of bytes, waking every few milliseconds is enough;
            // the last one (an echo, a telegram's or a line's end) crosses on
            // time.
            const auto batch = Clock::now() + std::chrono::milliseconds(8);
            for (const sim::PacedLine* paced : {&txLine, &rxLine})
                if (auto next = paced->NextDone()) consider(std::min(*paced->LastDone(), std::max(*next, batch)));
        }
        Nanos timeout = std::chrono::seconds(1);
        if (wake) timeout = std::clamp<Nanos>(*wake - Clock::now(), Nanos(0), timeout);
        if (!wire.empty()) timeout = std::min<Nanos>(timeout, std::chrono::milliseconds(10));
        timespec ts{static_cast<time_t>(timeout.count() / 1000000000), static_cast<long>(timeout.count() % 1000000000)};

        watchMaster(!wire.empty());
        epoll_event events[4];
        const int pr = epoll_pwait2(waitSet, events, 4, &ts, nullptr);
        if (pr < 0 && errno != EINTR) break;
        bool signalled = false, hostBytes = false;
        for (int k = 0; k < pr; ++k) {
            if (events[k].data.fd == g_signalPipe[0]) signalled = true;
            if (events[k].data.fd == watchedMaster && (events[k].events & EPOLLIN)) hostBytes = true;
        }
        if (signalled) {
            char sig = 0;
            if (read(g_signalPipe[0], &sig, 1) == 1 && sig == SIGUSR1) {
                // Repaired in place: no more faults from here on.
                line = sim::FaultConfig{};
                sensor.ClearFaults(Clock::now());
                std::printf("cleared\n");
                std::fflush(stdout);
            } else if (sig == SIGUSR2) {
                // The flash as it is now, also while a program runs (between
                // two of its accesses), the records and the report so far.
                // The caller's host runs are over: the device is released
                // as a real one is at its last close.
                pty.ReleaseExclusive();
                bool saved = false;
                {
                    std::lock_guard<std::mutex> lock(flash->AccessMutex());
                    saved = store.SaveFlash(flash->Cells());
                }
                saved = store.SaveRecords(sensor.Records()) && saved;
                report.Snapshot(saved, Clock::now());
                if (!opt.report.empty()) saved = report.Write(opt.report, "running") && saved;
                std::printf("%s\n", saved ? "saved" : "not saved");
                std::fflush(stdout);
            } else {
                exitReason = SignalName(sig);
                break;
            }
        }

        // One read takes everything that has arrived; a full buffer may
        // leave more behind. A read with nothing there is never made.
        for (ssize_t n = 4096; hostBytes && n == 4096;) {
            uint8_t buf[4096];
            n = read(pty.Master(), buf, sizeof buf);
            if (n > 0) {
                now = Clock::now();
                trace.Bytes("RX", buf, static_cast<size_t>(n));
                const sim::Framing hf = hostFraming();
                report.HostBytes(buf, static_cast<size_t>(n), hf.baud != sensor.LineFraming().baud, now);
                RxChunk ch;
                ch.chars = sim::Reframe(buf, static_cast<size_t>(n), hf, sensor.LineFraming());
                if (opt.pace) {
                    ch.bytes = static_cast<size_t>(n);
                    rxLine.Add(ch.bytes, now, charTime(hf));
                    rxChunks.push_back(std::move(ch));
                    pty.GateHostOutput(rxLine.Queued() < kHostAhead);
                } else {
                    for (const auto& c : ch.chars) deliver(c, now);
                }
            }
        }
    }
    close(waitSet);

    trace.Note("shutdown");
    sensor.Shutdown();
    flash->PowerCut();
    store.SaveFlash(flash->Cells());
    store.SaveRecords(sensor.Records());
    unlinkDevice();
    if (opt.faults.stuckCell >= 0) report.StuckCell(opt.faults.stuckCell, sensor.StuckCellHits());
    for (int p = 0; p < sim::kLinePhases; ++p) {
        const char* name = sim::LinePhaseName(static_cast<sim::LinePhase>(p));
        if (rxPhaseIndex[p]) report.LineBytes("rx", name, rxPhaseIndex[p]);
        if (txPhaseIndex[p]) report.LineBytes("tx", name, txPhaseIndex[p]);
    }
    if (!opt.report.empty() && !report.Write(opt.report, exitReason)) {
        std::cerr << "duxk-sensor-sim: cannot write report " << opt.report << "\n";
        return 1;
    }
    return exitReason == "error" ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "duxk-sensor-sim: a virtual DUX-K52 sensor on a pseudo-terminal.\n"
        "Prints the device path on the first line of standard output and runs until SIGTERM or SIGINT.\n"
        "The sensor answers its text commands (id, appl, spec, SPEC, STAT:MEAS, STAT:ERR:CODE, SERV:TEST,\n"
        "STAT:ERR:TEXT, calib:show/lock/unlock/read), enters its boot firmware on \"boot\", takes a program\n"
        "download after \"flsh\" and runs it on an emulated processor against a flash model.\n"
        "See docs/virtual-sensor.md."};
    Options opt;
    app.add_option("--com", opt.com, "link the device as comN in $DUXK_PORTS_DIR (removed on exit)")
        ->check(CLI::Range(1, 99));
    app.add_option("--state", opt.stateDir, "keep flash, calibration records and serial number in DIR across runs");
    app.add_option("--baud", opt.baud, "the sensor's line speed (default 38400)")
        ->check(CLI::IsMember({300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200}));
    app.add_option("--serial", opt.serial, "serial number (default: kept one, else K52A01234)");
    app.add_option("--flash", opt.flash, "flash part: am29f010 (default) or family-a")
        ->check(CLI::IsMember({"am29f010", "family-a"}));
    app.add_flag("--pace", opt.pace,
                 "hold both directions to the line's bit rate (10/11/12 bits a byte): every byte arrives one\n"
                 "character time after the line was free for it, and the host's writes wait while more than\n"
                 "16 of its bytes are still on the way");
    app.add_option("--trace", opt.trace, "log received and sent bytes and mode changes to FILE");
    app.add_option("--firmware", opt.firmware, "put this application image into the flash at start");
    app.add_option("--erase-ms", opt.eraseMs,
                   "AM29F010 sector erase time in ms (default 1000, the part's typical time: an update's\n"
                   "erase of seven sectors takes 7 s)");
    app.add_option("--startup", opt.startup, "seconds the application answers \"boot_\" after a restart (default 1.5)");
    app.add_option(
        "--watchdog", opt.watchdog,
        "restart the sensor when a downloaded program has sent nothing for this many seconds\n(default 30, 0: never)");
    app.add_option("--report", opt.report,
                   "write a JSON account of what happened (faults that fired, modes, the host's operations,\n"
                   "erase times) to FILE on exit");
    std::vector<std::string> notices;
    app.add_option("--notify", notices,
                   "print \"notice STAGE[:N]\" on standard output when that point is reached (repeatable;\n"
                   "stages as for --power-loss, and start, boot, flsh, power, identify, end, calshow, calread)");

    auto* faults = app.add_option_group("Faults", "reproducible failures (all off by default)");
    faults->add_option("--seed", opt.faults.seed, "seed of the rate-based faults (default 1)");
    std::string rxDropAt, rxCorruptAt, txDropAt, txCorruptAt, telegramErrors, errorReplies, stuck, silent, cut;
    std::string rxInsertAt, rxDupAt, txInsertAt, txDupAt, lineBreak, eraseDefect;
    std::vector<std::string> powerLosses;
    faults->add_option("--rx-drop", opt.faults.rxDrop.rate, "drop host-to-sensor bytes at this rate (0..1)");
    faults->add_option("--rx-drop-at", rxDropAt,
                       "drop host-to-sensor bytes at these positions (0-based, comma list; an item PHASE:N counts\n"
                       "within text, download, telegram or echo bytes)");
    faults->add_option("--rx-corrupt", opt.faults.rxCorrupt.rate, "flip a bit of host-to-sensor bytes at this rate");
    faults->add_option("--rx-corrupt-at", rxCorruptAt, "flip a bit of host-to-sensor bytes at these positions");
    faults->add_option("--tx-drop", opt.faults.txDrop.rate, "drop sensor-to-host bytes at this rate (0..1)");
    faults->add_option("--tx-drop-at", txDropAt,
                       "drop sensor-to-host bytes at these positions (PHASE:N within text, verdict or reply bytes)");
    faults->add_option("--tx-corrupt", opt.faults.txCorrupt.rate, "flip a bit of sensor-to-host bytes at this rate");
    faults->add_option("--tx-corrupt-at", txCorruptAt, "flip a bit of sensor-to-host bytes at these positions");
    faults->add_option("--rx-insert", opt.faults.rxInsert.rate,
                       "a byte of noise before host-to-sensor bytes at this rate (a noisy line's extra character)");
    faults->add_option("--rx-insert-at", rxInsertAt, "... before the host-to-sensor bytes at these positions");
    faults->add_option("--rx-dup", opt.faults.rxDuplicate.rate, "host-to-sensor bytes taken twice at this rate");
    faults->add_option("--rx-dup-at", rxDupAt, "host-to-sensor bytes taken twice at these positions");
    faults->add_option("--tx-insert", opt.faults.txInsert.rate,
                       "a byte of noise before sensor-to-host bytes at this rate");
    faults->add_option("--tx-insert-at", txInsertAt, "... before the sensor-to-host bytes at these positions");
    faults->add_option("--tx-dup", opt.faults.txDuplicate.rate, "sensor-to-host bytes sent twice at this rate");
    faults->add_option("--tx-dup-at", txDupAt, "sensor-to-host bytes sent twice at these positions");
    faults->add_flag("--no-boot-answer", opt.faults.noBootAnswer, "the application ignores \"boot\"");
    faults->add_option("--verdict", opt.faults.verdict,
                       "the boot loader's answer to a download: one letter (T, C, P, F, O, X, ...) sent as one byte,\n"
                       "or a text such as \"Err 3\" sent as a line");
    faults->add_option("--telegram-errors", telegramErrors,
                       "the first N telegrams (with command byte CMD, hex) reach the program with a spoiled\n"
                       "checksum, so that it answers 20 F4");
    faults->add_option("--error-replies", errorReplies,
                       "the first N telegrams (with command byte CMD, hex) are answered by the sensor with the\n"
                       "error reply 20 BYTE (hex: F0 parity, F1 frame, F3 overrun, F5 command) in place of the\n"
                       "program, each byte awaiting the host's echo; the program never sees them");
    faults->add_option("--busy", opt.faults.busyAnswers, "answer \"busy_\" to the first N listing requests");
    faults->add_option("--boot-answers", opt.faults.bootAnswers, "answer \"boot_\" to the first N listing requests");
    faults->add_option("--stuck-cell", stuck, "flash address (0x80000..0x9FFFF, or offset) that will not program");
    faults->add_option("--power-loss", powerLosses,
                       "PHASE is download, erase, program or checksum (or power, identify, end, boot, flsh,\n"
                       "calshow, calread): power fails BYTES bytes into that phase of an update; the sensor is\n"
                       "silent for 1 s and restarts from what its flash holds then. Repeatable: each fires once,\n"
                       "in order");
    faults->add_option("--silent", silent,
                       "from this point on (STAGE[:N], or start) the sensor hangs: it takes and sends nothing");
    faults->add_option("--cut", cut,
                       "at this point (STAGE[:N]) the cable is pulled: the device hangs up, the sensor runs on;\n"
                       "after --replug-after seconds it comes back as a new device under the same COM link\n"
                       "(\"replugged DEVICE\" on standard output)");
    faults->add_option("--replug-after", opt.faults.replugSeconds, "seconds a pulled cable stays out (default 1)")
        ->check(CLI::Range(0.0, 3600.0));
    faults->add_option("--line-break", lineBreak,
                       "at this point (STAGE[:N]) the line goes dead while the device stays open (a cable pulled\n"
                       "between adapter and sensor): nothing crosses either way for --break-for seconds, and on\n"
                       "until at least one byte was lost (at most a minute); the sensor runs on");
    faults->add_option("--break-for", opt.faults.breakSeconds, "seconds a dead line stays dead (default 2)")
        ->check(CLI::Range(0.0, 600.0));
    faults
        ->add_option("--erase-defect", eraseDefect,
                     "a defect of the flash part that stays: its erase fails (DQ5, the first sector of the erase\n"
                     "left as it was), hangs (never completes) or is partial (completes, the upper half of that\n"
                     "sector left as it was)")
        ->check(CLI::IsMember({"fails", "hangs", "partial"}));
    faults->add_option("--id-noise", opt.faults.idNoise, "text sent before the '@' of every identity reply");
    for (auto [name, type] : {std::pair{"--com", "N"},
                              {"--state", "DIR"},
                              {"--baud", "RATE"},
                              {"--serial", "TEXT"},
                              {"--flash", "PART"},
                              {"--trace", "FILE"},
                              {"--firmware", "FILE"},
                              {"--erase-ms", "MS"},
                              {"--startup", "SECONDS"},
                              {"--watchdog", "SECONDS"},
                              {"--report", "FILE"},
                              {"--notify", "STAGE[:N]"}})
        app.get_option(name)->type_name(type);
    for (auto [name, type] : {std::pair{"--seed", "N"},
                              {"--rx-drop", "RATE"},
                              {"--rx-corrupt", "RATE"},
                              {"--tx-drop", "RATE"},
                              {"--tx-corrupt", "RATE"},
                              {"--rx-drop-at", "POS,..."},
                              {"--rx-corrupt-at", "POS,..."},
                              {"--tx-drop-at", "POS,..."},
                              {"--tx-corrupt-at", "POS,..."},
                              {"--rx-insert", "RATE"},
                              {"--rx-insert-at", "POS,..."},
                              {"--rx-dup", "RATE"},
                              {"--rx-dup-at", "POS,..."},
                              {"--tx-insert", "RATE"},
                              {"--tx-insert-at", "POS,..."},
                              {"--tx-dup", "RATE"},
                              {"--tx-dup-at", "POS,..."},
                              {"--line-break", "STAGE[:N]"},
                              {"--break-for", "SECONDS"},
                              {"--erase-defect", "KIND"},
                              {"--verdict", "V"},
                              {"--telegram-errors", "N[:CMD]"},
                              {"--busy", "N"},
                              {"--boot-answers", "N"},
                              {"--stuck-cell", "ADDR"},
                              {"--power-loss", "PHASE[:BYTES]"},
                              {"--id-noise", "TEXT"},
                              {"--error-replies", "BYTE:N[:CMD]"},
                              {"--silent", "STAGE[:N]"},
                              {"--cut", "STAGE[:N]"},
                              {"--replug-after", "SECONDS"}})
        faults->get_option(name)->type_name(type);
    for (const char* name : {"--rx-drop", "--rx-corrupt", "--tx-drop", "--tx-corrupt", "--rx-insert", "--rx-dup",
                             "--tx-insert", "--tx-dup"})
        faults->get_option(name)->check(CLI::Range(0.0, 1.0));
    CLI11_PARSE(app, argc, argv);

    auto bad = [](const std::string& what) {
        std::cerr << "duxk-sensor-sim: invalid " << what << "\n";
        return 2;
    };
    if (!rxDropAt.empty() && !sim::ParsePositions(rxDropAt, opt.faults.rxDrop)) return bad("--rx-drop-at");
    if (!rxCorruptAt.empty() && !sim::ParsePositions(rxCorruptAt, opt.faults.rxCorrupt)) return bad("--rx-corrupt-at");
    if (!txDropAt.empty() && !sim::ParsePositions(txDropAt, opt.faults.txDrop)) return bad("--tx-drop-at");
    if (!txCorruptAt.empty() && !sim::ParsePositions(txCorruptAt, opt.faults.txCorrupt)) return bad("--tx-corrupt-at");
    if (!rxInsertAt.empty() && !sim::ParsePositions(rxInsertAt, opt.faults.rxInsert)) return bad("--rx-insert-at");
    if (!rxDupAt.empty() && !sim::ParsePositions(rxDupAt, opt.faults.rxDuplicate)) return bad("--rx-dup-at");
    if (!txInsertAt.empty() && !sim::ParsePositions(txInsertAt, opt.faults.txInsert)) return bad("--tx-insert-at");
    if (!txDupAt.empty() && !sim::ParsePositions(txDupAt, opt.faults.txDuplicate)) return bad("--tx-dup-at");
    if (!lineBreak.empty()) {
        sim::StagePoint p;
        if (!sim::ParseStagePoint(lineBreak, p) || p.stage == sim::Stage::Start) return bad("--line-break");
        opt.faults.breakAt = p;
    }
    if (!eraseDefect.empty()) opt.faults.eraseDefect = *sim::EraseDefectFromName(eraseDefect);
    if (!telegramErrors.empty() && !sim::ParseTelegramErrors(telegramErrors, opt.faults))
        return bad("--telegram-errors");
    if (!errorReplies.empty() && !sim::ParseErrorReplies(errorReplies, opt.faults)) return bad("--error-replies");
    for (const auto& p : powerLosses)
        if (!sim::ParsePowerLoss(p, opt.faults)) return bad("--power-loss");
    for (const auto& n : notices) {
        sim::StagePoint p;
        if (!sim::ParseStagePoint(n, p)) return bad("--notify");
        opt.faults.notices.push_back(p);
    }
    if (!silent.empty()) {
        sim::StagePoint p;
        if (!sim::ParseStagePoint(silent, p)) return bad("--silent");
        opt.faults.silentFrom = p;
    }
    if (!cut.empty()) {
        sim::StagePoint p;
        if (!sim::ParseStagePoint(cut, p) || p.stage == sim::Stage::Start) return bad("--cut");
        opt.faults.cutAt = p;
    }
    if (!stuck.empty()) {
        char* end = nullptr;
        unsigned long a = std::strtoul(stuck.c_str(), &end, 0);
        if (!end || *end) return bad("--stuck-cell");
        if (a >= sim::kFlashBase) a -= sim::kFlashBase;
        if (a >= sim::kFlashSize) return bad("--stuck-cell");
        opt.faults.stuckCell = static_cast<int64_t>(a);
    }
    return Run(opt);
}
