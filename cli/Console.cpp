// The console front end of the main frame, finding the sensor for a
// sub-command, the --json result object and the sub-command registry.

#include "cli/Cli.h"

#include "platform/Files.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"
#include "serial/Debug.h"
#include "serial/PortDiagnosis.h"
#include "serial/PortMap.h"
#include "update/ReadBack.h"
#include "update/Recovery.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>

namespace {

std::mutex g_outputMutex;
std::atomic<int> g_exitCode{kExitOk};

bool IsFailureBox(const std::string& caption, BoxIcon icon) {
    if (icon == BoxIcon::Error || icon == BoxIcon::Warning) return true;
    std::string lower;
    for (char c : caption) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return lower.find("error") != std::string::npos || caption == "FLASH";
}

double NowSeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            // Control characters, DEL and bytes beyond ASCII are written as
            // escapes, so that the object stays valid whatever a sensor sent.
            if (c < 0x20 || c >= 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

}  // namespace

// A TEMP refused for the state files, reported once: the user set it and
// must know that it is not used (a warning, shown with --quiet too).
void StateDirNotice(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, text).c_str());
    std::fflush(stderr);
}

void PrepareCliContext(CliContext& ctx) {
    static bool prepared = false;
    if (prepared) return;
    prepared = true;
    platform::SetStateDirNotice(StateDirNotice);
    ctx.ui.json = ctx.opts.json;
    ctx.ui.quiet = ctx.opts.quiet;
    SetVerboseSteps(ctx.opts.verbose);
    if (ctx.opts.noSnCheck && ctx.frame->m_strCmdLine.find("/noSNcheck") == std::string::npos)
        ctx.frame->m_strCmdLine += " /noSNcheck";
    AttachTraceFromEnvironment();
    std::string why;
    if (!ctx.opts.trace.empty() && !GetSensorChannel().AttachTrace(ctx.opts.trace.c_str(), &why))
        std::fprintf(stderr, "duxk: cannot write the trace file %s\n", TerminalText(stderr, why).c_str());
}

void ConsoleUi::SetStatusText(const std::string& text) {
    if (quiet) return;
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stderr, "%s\n", TerminalText(stderr, text).c_str());
    std::fflush(stderr);
}

bool ConsoleUi::EnableMenuCommands(const int*, int, bool) {
    // Every command of the console is a sub-command; there is nothing to grey.
    return true;
}

void ConsoleUi::ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    FILE* out = (json || IsFailureBox(caption, icon)) ? stderr : stdout;
    std::fprintf(out, "%s: %s\n", caption.c_str(), TerminalText(out, text).c_str());
    std::fflush(out);
    lastBoxText = text;
    lastBoxCaption = caption;
    lastBoxIcon = icon;
    boxes.push_back(caption + ": " + text);
}

namespace {

// Says why a port named with --port could not be opened.
void ReportPortOpenFailure(const std::string& port, const std::string& baud, uint32_t code) {
    const std::string why = DescribePortOpenFailure(port, code);
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stderr, "duxk: cannot open %s%s (error code %u)\n", TerminalText(stderr, port).c_str(),
                 baud.empty() ? "" : (" at " + baud + " baud").c_str(), code);
    if (!why.empty()) std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, why).c_str());
}

// After a search that found nothing: the searched ports that another
// program holds, which the search could only pass by.
void ReportPortsInUse(const std::string& onlyPort) {
    std::vector<std::string> names;
    if (!onlyPort.empty()) {
        names.push_back(onlyPort);
    } else {
        for (int n = 1; n <= 7; ++n) names.push_back("COM" + std::to_string(n));
    }
    CDUXKSerial& channel = GetSensorChannel();
    for (const std::string& name : names) {
        const std::string device = ResolvePortName(name);
        if (device.empty()) continue;
#ifndef _WIN32
        std::error_code ec;
        if (!std::filesystem::exists(device, ec)) continue;
#endif
        if (channel.Open(name.c_str(), 4000, 4000, true) == 0) {
            channel.Close();
            continue;
        }
        const uint32_t code = channel.LastError();
        channel.Close();
        if (code != 5) continue;
        const std::string why = DescribePortOpenFailure(name, code);
        if (!why.empty()) std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, why).c_str());
    }
}

// A sensor found in the update program of an interrupted update can only
// be updated.
int RefuseUnlessUpdating(CliContext& ctx) {
    CMainFrameCore& frame = *ctx.frame;
    if (!frame.m_bInUpdateProgram.load() || ctx.command == "update") return kExitOk;
    ctx.connectFailure = std::string("The sensor at ") + frame.m_search.szPort +
                         " is still in its update program: run 'duxk update FIRMWARE' to finish the interrupted update";
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, ctx.connectFailure).c_str());
    return kExitFailed;
}

// Prints lines of text, each as a message of duxk.
void PrintLines(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_outputMutex);
    size_t at = 0;
    while (at <= text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, text.substr(at, end - at)).c_str());
        at = end + 1;
    }
    std::fflush(stderr);
}

}  // namespace

int ConnectSensor(CliContext& ctx) {
    PrepareCliContext(ctx);
    CMainFrameCore& frame = *ctx.frame;
    CDUXKSerial& channel = GetSensorChannel();
    const bool updating = ctx.command == "update";
    const RecoveryMode mode = updating ? RecoveryMode::Update : RecoveryMode::Report;
    const std::string advice =
        updating ? "continuing the interrupted update" : "run 'duxk update FIRMWARE' to finish the interrupted update";
    // What the markers of interrupted updates ask of this command, decided
    // before anything is sent: other commands only say so; an update takes
    // up the one of its sensor, and without --port acts on one marker only.
    // An update that could not keep its record could not be taken up
    // after an interruption: refused before anything is sent.
    std::string why;
    if (updating && !UpdateMarkerDirUsable(&why)) {
        ctx.connectFailure = why;
        PrintLines(why);
        return kExitFailed;
    }
    const RecoveryPlan plan = PlanRecovery(mode, ctx.opts.port);
    if (!ctx.opts.quiet)
        for (const std::string& note : plan.notes) PrintLines(note);
    if (!plan.refusal.empty()) {
        ctx.connectFailure = plan.refusal;
        PrintLines(plan.refusal);
        return kExitUsage;
    }
    InstallUpdateProgramProbe(frame, plan, mode, advice);

    if (!ctx.opts.port.empty() && !ctx.opts.baud.empty()) {
        // A known connection: open it as the main frame reopens the port.
        std::snprintf(frame.m_search.szPort, sizeof frame.m_search.szPort, "%s", ctx.opts.port.c_str());
        std::snprintf(frame.m_search.szBaud, sizeof frame.m_search.szBaud, "%s", ctx.opts.baud.c_str());
        frame.m_search.pStatusBar = &ctx.ui;
        if (ProbeInterruptedUpdate(frame.m_search, plan, mode, advice, ctx.opts.port.c_str(), ctx.opts.baud.c_str())) {
            frame.m_bInUpdateProgram.store(1);
            frame.m_bSensorFound.store(1, std::memory_order_release);
            return RefuseUnlessUpdating(ctx);
        }
        if (!frame.ReopenSensorPort()) {
            // A port that does not open is the user's input to fix; one that
            // opens but cannot take the rate is a failed connection.
            const bool opened = channel.IsOpen();
            const uint32_t code = channel.LastError();
            channel.Close();
            ReportPortOpenFailure(ctx.opts.port, ctx.opts.baud, code);
            return opened ? kExitNoSensor : kExitUsage;
        }
        frame.m_bSensorFound = 1;
        return kExitOk;
    }

    if (!ctx.opts.port.empty()) {
        // The named port must at least open: a missing device, a file that
        // is no terminal, a port without permission or in use is reported
        // now rather than searched until the time-out.
        if (channel.Open(ctx.opts.port.c_str(), 4000, 4000, true) != 0) {
            const uint32_t code = channel.LastError();
            ReportPortOpenFailure(ctx.opts.port, std::string(), code);
            return kExitUsage;
        }
        channel.Close();
        std::snprintf(frame.m_search.szOnlyPort, sizeof frame.m_search.szOnlyPort, "%s", ctx.opts.port.c_str());
    } else if (plan.hasTarget && mode == RecoveryMode::Update) {
        // The update of the sensor whose update was interrupted: on its port only.
        std::snprintf(frame.m_search.szOnlyPort, sizeof frame.m_search.szOnlyPort, "%s", plan.targetPort.c_str());
    }
    const std::string onlyPort = frame.m_search.szOnlyPort;
    frame.StartSearch();
    double limitMs = ctx.opts.timeout * 1000.0;
    uint32_t waitMs = limitMs > 4e9 ? 4000000000u : static_cast<uint32_t>(limitMs < 0 ? 0 : limitMs);
    bool ended = frame.WaitSearchEnd(waitMs);
    // A program of an interrupted update being brought back is let finish:
    // its zeros may take minutes at low rates, and cutting them short would
    // leave the sensor in it.
    while (!ended && frame.m_search.nRecovering.load() != 0) ended = frame.WaitSearchEnd(1000);
    if (!ended) frame.StopSearch();
    frame.StopSearch();  // joins the ended thread
    if (frame.m_bSensorFound.load(std::memory_order_acquire)) {
        // Another sensor where the interrupted one was: not the one the
        // user asked to finish.
        const std::string found = frame.m_search.szSerial;
        if (updating && ctx.opts.port.empty() && !found.empty() && !plan.expectSerial.empty() &&
            found != plan.expectSerial) {
            channel.Close();
            frame.m_bSensorFound.store(0, std::memory_order_release);
            ctx.connectFailure = std::string("the sensor found at ") + frame.m_search.szPort + " is " + found +
                                 ", not " + plan.expectSerial + " whose update was interrupted: give --port " +
                                 frame.m_search.szPort + " to update it";
            PrintLines(ctx.connectFailure);
            return kExitUsage;
        }
        return RefuseUnlessUpdating(ctx);
    }

    if (channel.IsOpen()) channel.Close();
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stderr, "duxk: no sensor found within %g s%s\n", ctx.opts.timeout,
                 onlyPort.empty() ? "" : (" on " + TerminalText(stderr, onlyPort)).c_str());
    ReportPortsInUse(onlyPort);
    return kExitNoSensor;
}

void PrintJsonResult(CliContext& ctx, int resultCode, const std::string& message) {
    if (!ctx.opts.json) return;
    std::string port = "null", baud = "null", serial = "null", identity = "null";
    if (ctx.frame && ctx.frame->m_bSensorFound.load(std::memory_order_acquire)) {
        const SearchState& s = ctx.frame->m_search;
        port = JsonString(s.szPort);
        baud = std::to_string(CDUXKSerial::BaudFromText(s.szBaud));
        serial = JsonString(s.szSerial);
        if (s.szIdentity[0]) identity = JsonString(s.szIdentity);
    }
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", NowSeconds() - ctx.startSeconds);
    std::string json = "{\"command\":" + JsonString(ctx.command) + ",\"port\":" + port + ",\"baud\":" + baud +
                       ",\"serial\":" + serial + ",\"result\":" + std::to_string(resultCode) +
                       ",\"message\":" + JsonString(message) + ",\"seconds\":" + seconds + ",\"identity\":" + identity +
                       "}";
    std::lock_guard<std::mutex> lock(g_outputMutex);
    std::fprintf(stdout, "%s\n", json.c_str());
    std::fflush(stdout);
}

ProgressView::ProgressView(const CliContext& ctx, std::vector<std::string> phases)
    : out_(stderr),
      // Step lines (-v) between the bars would be overdrawn: lines then.
      terminal_(platform::IsAnsiTerminal(stderr) && !ctx.opts.verbose),
      hidden_(ctx.opts.quiet),
      phases_(std::move(phases)),
      steps_(phases_.size(), 0) {}

void ProgressView::Show(const std::vector<double>& values) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_ || hidden_) return;
    std::vector<int> percent(phases_.size(), 0);
    for (size_t i = 0; i < phases_.size() && i < values.size(); ++i) {
        const double v = values[i] < 0 ? 0 : values[i];
        percent[i] = v > 100 ? 100 : static_cast<int>(v);
    }
    std::lock_guard<std::mutex> output(g_outputMutex);
    if (terminal_) {
        DrawBars(percent);
        return;
    }
    for (size_t i = 0; i < phases_.size(); ++i) {
        const int step = percent[i] / 10;
        if (step > steps_[i]) {
            std::fprintf(out_, "%s: %d%%\n", phases_[i].c_str(), step * 10);
            steps_[i] = step;
        }
    }
    std::fflush(out_);
}

void ProgressView::BeforeBox(const std::vector<double>& values) {
    Show(values);
    mutex_.lock();
    closed_ = true;
}

void ProgressView::AfterBox() { mutex_.unlock(); }

void ProgressView::Note(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::lock_guard<std::mutex> output(g_outputMutex);
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    drawn_ = false;
}

void ProgressView::End() {
    std::lock_guard<std::mutex> lock(mutex_);
    drawn_ = false;
}

void ProgressView::DrawBars(const std::vector<int>& percent) {
    constexpr int kWidth = 40;
    if (drawn_) std::fprintf(out_, "\x1b[%zuF", phases_.size());
    for (size_t i = 0; i < phases_.size(); ++i) {
        const int filled = percent[i] * kWidth / 100;
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kWidth - filled), '.');
        std::fprintf(out_, "%-22s [%s] %3d%%\x1b[K\n", phases_[i].c_str(), bar.c_str(), percent[i]);
    }
    std::fflush(out_);
    drawn_ = true;
}

int CheckBackupArgument(CliContext& ctx, const std::string& path, const std::string& firmware, bool force) {
    std::string why;
    switch (CheckBackupFile(path, firmware, force, &why)) {
    case BackupTarget::Ok: return kExitOk;
    case BackupTarget::Exists:
        return UsageFailure(ctx, why +
                                     "; it is not replaced without --force (it may be the only copy of the flash "
                                     "as it was before a failed update): name another file, or give --force to "
                                     "replace it");
    case BackupTarget::IsFirmware:
    case BackupTarget::Unusable: break;
    }
    return UsageFailure(ctx, "unusable backup file: " + why);
}

int UsageFailure(CliContext& ctx, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(g_outputMutex);
        std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, text).c_str());
        std::fflush(stderr);
    }
    PrintJsonResult(ctx, kExitUsage, text);
    return kExitUsage;
}

CliCommand::CliCommand(const char* name, Setup setup) { Registry().emplace_back(name, std::move(setup)); }

std::vector<std::pair<std::string, CliCommand::Setup>>& CliCommand::Registry() {
    static std::vector<std::pair<std::string, Setup>> registry;
    return registry;
}

void SetExitCode(int code) { g_exitCode = code; }

int CliExitCode() { return g_exitCode; }

double CliNowSeconds() { return NowSeconds(); }
