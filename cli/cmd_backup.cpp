// duxk backup FILE and duxk verify FIRMWARE: the sensor's flash read back
// through the transfer program, saved into a file or compared with one.
#include "cli/Cli.h"
#include "cli/Signals.h"

#include "dialogs/FileChecks.h"
#include "dialogs/ReadBackDialog.h"
#include "dialogs/Worker.h"

#include "serial/DUXKSerial.h"
#include "update/ReadBack.h"
#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kReadBackTimes[] =
    "The sensor is put into its boot mode and the transfer program is downloaded\n"
    "(about 16 s at 38400 baud), as for an update; nothing is erased or programmed.\n"
    "The flash is then read in telegrams of 240 bytes. The sensor waits for the echo\n"
    "of every byte it sends, and the echo follows 10 ms after the byte: a read costs\n"
    "10.5 ms a byte and more (12 to 16 ms measured at 38400 baud), about 4.5 minutes\n"
    "for a 16 KiB file and 28 minutes for the whole flash (128 KiB), some 20 times the\n"
    "line time. --fast echoes each byte as soon as it has arrived (the same bytes on\n"
    "the wire): 40 s for 16 KiB and 3 minutes for the whole flash at 38400 baud.\n"
    "At the end the sensor restarts into its application, as after an update. A read\n"
    "telegram that fails is repeated for up to 10 s before the command gives up. An\n"
    "interrupt (Ctrl-C, SIGTERM, SIGHUP) stops the reads after the telegram in flight;\n"
    "the sensor is restarted all the same and nothing is written.\n";

const char kBackupHelp[] =
    "Reads the whole flash, 0x80000-0x9FFFF (131,072 bytes, the boot area included),\n"
    "into FILE. FILE is written only when every byte has been read, through a new\n"
    "file renamed over it, so an existing FILE stays as it was when the backup fails.\n"
    "An existing FILE is not replaced without --force (a backup taken again after a\n"
    "failed update would hold the damaged flash); a new FILE gets the permissions\n"
    "the umask allows, a replaced one keeps its own.\n"
    "\n"
    "To put a backup back, program its first 114,688 bytes (the area an update erases):\n"
    "  head -c 114688 k52-flash.bin > k52-app.bin && duxk update k52-app.bin\n"
    "\n";

const char kVerifyHelp[] =
    "Reads back as many bytes as FIRMWARE holds (1 to 114,688) from 0x80000 on and\n"
    "compares them byte for byte. Exit status 0 when they are equal; 1 when they\n"
    "differ, with the first differing address and the number of differing bytes.\n"
    "\n";

const char kExamples[] =
    "\n"
    "Examples:\n"
    "  duxk backup k52-flash.bin\n"
    "  duxk --port COM3 --baud 38400 backup --fast k52-flash.bin\n"
    "  duxk verify dux_k52_v3.10.bin\n"
    "  duxk --json verify --fast dux_k52_v3.10.bin";

int Finish(CliContext& ctx, int status, const std::string& message) {
    if (status == kExitOk || status == kExitFailed) {
        // The command's result: on standard output unless the object owns it.
        if (!ctx.opts.json) {
            std::printf("%s\n", TerminalText(stdout, message).c_str());
            std::fflush(stdout);
        }
    }
    PrintJsonResult(ctx, status, message);
    return status;
}

// Finds the sensor and runs one read-back as the read-back dialog does, with
// the progress of the download and the read on display; the port is handed
// back at the end. Prints the result (or the failure) and returns the exit
// status. image: the firmware to compare with (verify).
int RunReadBack(CliContext& ctx, ReadBackKind kind, const std::string& file, const std::vector<uint8_t>& image,
                bool fast, bool force) {
    int status = ConnectSensor(ctx);
    if (status != kExitOk) {
        PrintJsonResult(ctx, status, ctx.connectFailure);
        return status;
    }
    CMainFrameCore* frame = ctx.frame;
    // The read-back opens and closes the port itself, as the update does.
    GetSensorChannel().Close();

    std::atomic<double>& progress = kind == ReadBackKind::Backup ? BackupProgress : VerifyProgress;
    ProgressView view(ctx, {"Download Transfer-Prg", ReadBackDialog::ReadLabel(kind)});
    auto current = [&progress] { return std::vector<double>{DownloadProgress.load(), progress.load()}; };
    SetUpdateBoxHook([&view, &current](bool before) {
        if (before)
            view.BeforeBox(current());
        else
            view.AfterBox();
    });
    DownloadProgress = 0.0;
    progress = 0.0;
    // An interrupt stops the reads after the telegram in flight; the sensor
    // is then sent its program end, so that it is not left in the transfer
    // program.
    ClearUpdateStop();
    HoldInterrupts();

    ReadBackResult result;
    RunWithTicks([&] { result = PerformReadBack(kind, *frame, file, image, progress, fast, force); },
                 [&] {
                     if (InterruptCount() > 0 && !UpdateStopRequested()) {
                         RequestUpdateStop();
                         view.Note(std::string("duxk: ") + InterruptName(LastInterrupt()) +
                                   " received: stopping after the telegram in flight and restarting the sensor.");
                     }
                     view.Show(current());
                 });
    const int interrupt = InterruptCount() > 0 ? LastInterrupt() : 0;
    ReleaseInterrupts();
    // The shell that sent it sees the interrupt once the port is closed.
    if (interrupt != 0) EndBySignalLater(interrupt);
    view.Show(current());
    view.End();
    SetUpdateBoxHook(nullptr);
    DownloadProgress = 0.0;

    frame->ReopenSensorPort();
    const std::string message = ReadBackMessage(result);
    switch (result.outcome) {
    case ReadBackOutcome::Saved:
    case ReadBackOutcome::Matches: return Finish(ctx, kExitOk, message);
    case ReadBackOutcome::Differs: return Finish(ctx, kExitFailed, message);
    case ReadBackOutcome::WriteFailed:
        std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
        PrintJsonResult(ctx, kExitFailed, message);
        return kExitFailed;
    case ReadBackOutcome::NotRun:
    case ReadBackOutcome::ReadFailed: break;
    }
    // The read's own box has said why.
    PrintJsonResult(ctx, kExitFailed, ctx.ui.lastBoxText);
    return kExitFailed;
}

int RunBackup(CliContext& ctx, const std::string& file, bool fast, bool force) {
    const int refused = CheckBackupArgument(ctx, file, {}, force);
    if (refused != kExitOk) return refused;
    return RunReadBack(ctx, ReadBackKind::Backup, file, {}, fast, force);
}

int RunVerify(CliContext& ctx, const std::string& file, bool fast) {
    // Read once, before the search, with the same checks as for an update.
    const FirmwareInput input = ReadFirmwareInput(file);
    if (!input.Ok()) return UsageFailure(ctx, "unusable input file: " + input.why);
    return RunReadBack(ctx, ReadBackKind::Verify, file, input.image, fast, false);
}

struct ReadBackArgs {
    std::string file;
    bool fast = false, force = false;
};

CliCommand backupCommand{
    "backup", [](CLI::App& app, CliContext& ctx) {
        auto args = std::make_shared<ReadBackArgs>();
        CLI::App* sub = app.add_subcommand("backup", "Read the whole flash back into a file");
        sub->add_option("FILE", args->file, "File to write (131,072 bytes)")->required()->type_name("FILE");
        sub->add_flag("--fast", args->fast, "Echo each byte as soon as it has arrived");
        sub->add_flag("--force", args->force, "Replace FILE when it exists");
        sub->footer(std::string(kBackupHelp) + kReadBackTimes + kExamples);
        sub->callback([&ctx, args] { SetExitCode(RunBackup(ctx, args->file, args->fast, args->force)); });
    }};

CliCommand verifyCommand{
    "verify", [](CLI::App& app, CliContext& ctx) {
        auto args = std::make_shared<ReadBackArgs>();
        CLI::App* sub = app.add_subcommand("verify", "Compare the flash with a firmware file byte for byte");
        sub->add_option("FIRMWARE", args->file, "Firmware image file (*.bin)")->required()->type_name("FILE");
        sub->add_flag("--fast", args->fast, "Echo each byte as soon as it has arrived");
        sub->footer(std::string(kVerifyHelp) + kReadBackTimes + kExamples);
        sub->callback([&ctx, args] { SetExitCode(RunVerify(ctx, args->file, args->fast)); });
    }};

}  // namespace
