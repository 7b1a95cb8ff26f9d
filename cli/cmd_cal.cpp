// duxk cal: save the sensor's calibration data into a file, or load a file
// into the sensor, driving the calibration dialog's transfer with the same
// 100 ms tick.

#include "cli/Cli.h"
#include "cli/Signals.h"

#include "calibration/CalTransfer.h"
#include "dialogs/Worker.h"
#include "platform/Deadline.h"
#include "serial/DUXKSerial.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <utility>

namespace {

constexpr int kTickMs = 100;
constexpr char kLockCommand[] = "calib:lock\n";

const char kSaveHelp[] =
    "Without FILE the data go to <serial>.cal in the current directory (the sensor's\n"
    "serial number; characters that cannot stand in a file name are replaced).\n"
    "Requests the calibration listing twice and, once two listings in a row agree\n"
    "whole (a byte garbled on the line shows as a difference; at most three are\n"
    "asked for), replaces FILE with it (every line trimmed, CR LF line ends): the\n"
    "listing goes into a temporary file beside FILE, which is renamed over FILE\n"
    "only when it is whole, so FILE keeps its old contents until then and\n"
    "whenever the save fails. A new FILE gets the permissions the umask allows, a\n"
    "replaced one keeps its own. Ends with \"Done.\"; exit status 1 when the file\n"
    "cannot be written, the listings differ, or they are not complete within\n"
    "--timeout seconds (default 120; it bounds the search too).";

const char kLoadHelp[] =
    "First saves the sensor's calibration data as they are, as cal save does (two\n"
    "listings that agree), into DUXKCal-<serial>-<time>.cal in the state directory\n"
    "($TEMP when it is usable, else ~/.local/state/duxkupdate); when that fails,\n"
    "nothing is loaded. A load that fails after that names the copy: load it to put\n"
    "the old data back. Once a load went through, its copy is renamed\n"
    "...<time>.replaced.cal and the newest five of those are kept for each sensor.\n"
    "Then locks, unlocks and prepares the sensor, sends every line of FILE except pack\n"
    "header lines (at most one line per 100 ms) and locks the sensor again, then\n"
    "asks for its listing: the load ends with \"Done.\" only when the sensor holds\n"
    "exactly the file's records (lines beginning with '@'). Exit status 1 when\n"
    "the sensor does not unlock within 5 s (\"Timeout occured\"), holds other\n"
    "records than the file (load it again), or the load does not end within\n"
    "--timeout seconds (default 120). FILE is read whole before the search: exit\n"
    "status 2 when it is no regular file, larger than 1 MiB, has a line longer\n"
    "than 64 KiB, holds no record or cannot be read (nothing is sent then).";

// The dialog's outputs as console lines: status texts (an emptied status
// line prints nothing) and message boxes; the progress bar is not shown.
class ConsoleCalSink : public CalTransferSink {
public:
    explicit ConsoleCalSink(CliContext& ctx) : ctx_(ctx) {}
    void SetProgress(int) override {}
    void SetStatusText(const std::string& text) override {
        if (!text.empty()) ctx_.ui.SetStatusText(text);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        ctx_.ui.ShowMessageBox(text, caption, icon);
        lastMessage = text;
    }
    std::string lastMessage;

private:
    CliContext& ctx_;
};

int Finish(CliContext& ctx, int rc, const std::string& message) {
    PrintJsonResult(ctx, rc, message);
    return rc;
}

// Stops a transfer before its end. Between the unlock and the final lock the
// sensor takes the lines it is sent as calibration records: it is locked
// again before the process ends. True when it was locked.
bool StopTransfer(CalTransfer& transfer, bool save) {
    const int step = transfer.LoadStep();
    const bool relock = !save && step >= 2 && step <= 7;
    transfer.Stop();
    if (relock) {
        CDUXKSerial& channel = GetSensorChannel();
        channel.Write(kLockCommand, sizeof kLockCommand - 1);
        channel.WaitTransmitDone(500);
    }
    return relock;
}

// A load stopped past the copy of the sensor's calibration: where it is.
std::string RestoreAdvice(const CalTransfer& transfer, bool underWay) {
    const std::string note = underWay ? transfer.RestoreNote() : std::string();
    return note.empty() ? note : "\n" + note;
}

int Interrupted(CliContext& ctx, CalTransfer& transfer, bool save) {
    const int signal = LastInterrupt();
    const bool underWay = !save && transfer.LoadUnderWay();
    const bool relock = StopTransfer(transfer, save);
    std::string message = std::string("Interrupted (") + InterruptName(signal) + "): the calibration " +
                          (save ? "save was stopped" : "load was stopped");
    // The sensor keeps the records it took before the lock.
    if (relock)
        message +=
            " and the sensor locked again; it may now hold only the records sent before the interrupt: "
            "load the file again";
    message += RestoreAdvice(transfer, underWay);
    std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
    EndBySignalLater(signal);
    return Finish(ctx, kExitFailed, message);
}

// The final message of a success is the command's result: standard output.
int Succeed(CliContext& ctx, const std::string& message) {
    if (!ctx.opts.json) {
        std::printf("%s\n", TerminalText(stdout, message).c_str());
        std::fflush(stdout);
    }
    return Finish(ctx, kExitOk, message);
}

int RunCal(CliContext& ctx, bool save, const std::string& file) {
    // The file to load is read whole before the search: one that cannot be
    // loaded ends here, and the sensor is never unlocked for it.
    std::string content;
    if (!save) {
        std::string why;
        if (CalTransfer::ReadLoadFile(file, content, &why) != CalTransfer::LoadFileState::Ok) {
            const std::string message = "unusable input file: " + why;
            std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
            return Finish(ctx, kExitUsage, message);
        }
    }

    int rc = ConnectSensor(ctx);
    if (rc != kExitOk) return Finish(ctx, rc, ctx.connectFailure);

    std::string fileName = file;
    // A save without a name is named after the sensor, in the current
    // directory; the copy a load makes first is named after it too. A sensor
    // opened directly with --port and --baud has not been asked for its
    // serial number yet.
    SearchState& s = ctx.frame->m_search;
    if ((!save || fileName.empty()) && !s.szSerial[0] && !ctx.opts.port.empty() && !ctx.opts.baud.empty()) {
        s.pChannel = &GetSensorChannel();
        QuerySensorSerial(&s, false);
    }
    if (save && fileName.empty()) {
        if (!s.szSerial[0]) {
            const std::string message = "the sensor reported no serial number: name the file (duxk cal save FILE)";
            std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
            return Finish(ctx, kExitFailed, message);
        }
        fileName = CalTransfer::DefaultFileName(*ctx.frame);
    }

    ConsoleCalSink sink(ctx);
    CalTransfer transfer(*ctx.frame, &sink);
    // An interrupt is acted on between two ticks: the transfer stops as when
    // the dialog is closed, and a load locks the sensor again.
    HoldInterrupts();
    struct Release {
        ~Release() { ReleaseInterrupts(); }
    } release;
    if (save ? !transfer.OnSave(fileName) : !transfer.StartLoad(fileName, std::move(content)))
        // An empty name or an unreadable load file is unusable input; a save
        // file that cannot be created is a failed operation.
        return Finish(ctx, save && !fileName.empty() ? kExitFailed : kExitUsage, sink.lastMessage);

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + platform::MsFromSeconds(ctx.opts.timeout);
    int stopped = -1;  // the exit status of a transfer stopped before its end
    RunTicks(
        [&] {
            if (InterruptCount() > 0) {
                stopped = Interrupted(ctx, transfer, save);
                return TickStep::Stop;
            }
            transfer.Tick();
            if (save ? transfer.SaveFailures() > 0 || transfer.SavesWritten() > 0 : transfer.LoadStep() == 0)
                return TickStep::Stop;
            if (Clock::now() >= deadline) {
                // As when the dialog is closed: nothing more is sent or written,
                // but an unlocked sensor is locked again.
                const bool underWay = !save && transfer.LoadUnderWay();
                StopTransfer(transfer, save);
                char seconds[48];
                std::snprintf(seconds, sizeof seconds, " (%g s)", ctx.opts.timeout);
                const std::string message = (save ? "The calibration listing did not complete in time"
                                                  : "The calibration load did not end in time") +
                                            std::string(seconds) + RestoreAdvice(transfer, underWay);
                std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
                stopped = Finish(ctx, kExitFailed, message);
                return TickStep::Stop;
            }
            return TickStep::Next;
        },
        kTickMs);
    if (stopped >= 0) return stopped;
    transfer.Stop();

    if (save) {
        if (transfer.SavesWritten() > 0) return Succeed(ctx, "Calibration data saved to " + fileName);
        return Finish(ctx, kExitFailed, sink.lastMessage);
    }
    if (transfer.LoadsDone() > 0) return Succeed(ctx, "Calibration data of " + fileName + " loaded into the sensor");
    return Finish(ctx, kExitFailed, sink.lastMessage);
}

CliCommand reg{"cal", [](CLI::App& app, CliContext& ctx) {
                   static std::string saveFile, loadFile;
                   CLI::App* cal = app.add_subcommand("cal", "Save or load the sensor's calibration data");
                   cal->require_subcommand(1);
                   CLI::App* save = cal->add_subcommand("save", "Save the calibration data into FILE");
                   save->add_option(
                       "FILE", saveFile,
                       "Calibration file to write (*.cal; default: <serial>.cal in the current directory)");
                   save->footer(kSaveHelp);
                   save->callback([&ctx] { SetExitCode(RunCal(ctx, true, saveFile)); });
                   CLI::App* load = cal->add_subcommand("load", "Load the calibration data of FILE into the sensor");
                   load->add_option("FILE", loadFile, "Calibration file to send (*.cal)")->required();
                   load->footer(kLoadHelp);
                   load->callback([&ctx] { SetExitCode(RunCal(ctx, false, loadFile)); });
               }};

}  // namespace
