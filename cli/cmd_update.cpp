// duxk update FIRMWARE.bin: the firmware update from the command line, with
// the update dialog's three progress bars drawn on the terminal.
#include "cli/Cli.h"
#include "cli/Signals.h"

#include "dialogs/FileChecks.h"
#include "dialogs/UpdateDialog.h"
#include "dialogs/Worker.h"

#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"
#include "update/ReadBack.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

const char kUpdateHelp[] =
    "The update runs in phases (times at 38400 baud; at 9600 baud about four times as long):\n"
    "  1. boot entry: \"boot\" until the sensor's boot firmware answers, then \"flsh\" (2-10 s);\n"
    "  2. Download Transfer-Prg: the transfer program into the sensor's RAM (about 14 s);\n"
    "  3. Erase Flash Memory: 0x80000-0x9BFFF, the sensor's application (6-10 s);\n"
    "  4. Program Flash Memory: the file in blocks of 240 bytes (about 0.45 s a block:\n"
    "     30 s for 16 KiB, 3.5 min for the largest file of 114,688 bytes);\n"
    "  5. the flash checksum is compared with the file's, the sensor restarts.\n"
    "--backup FILE first reads the whole flash (128 KiB) into FILE, before the erase; a\n"
    "backup that fails stops the update with the flash untouched. An existing FILE is\n"
    "not replaced without --force (it may be the only copy of the old firmware, taken\n"
    "by a run that failed: a new backup would hold the half-written flash), and FILE\n"
    "must not be the firmware file. --verify reads the programmed range back after\n"
    "the checksum and fails the update if one byte differs.\n"
    "Each read costs 12 to 16 ms a byte (the sensor waits for the echo of every byte,\n"
    "sent 10 ms after it): 28 minutes for the whole flash, 4.5 minutes for 16 KiB.\n"
    "--fast echoes each byte as soon as it has arrived (the same bytes on the wire):\n"
    "3 minutes for the whole flash, 40 s for 16 KiB.\n"
    "\n"
    "An interrupt (Ctrl-C, SIGTERM, SIGHUP) during the update only warns: stopping\n"
    "would leave the sensor without firmware. A second one stops the update after\n"
    "the telegram in flight (exit status 1).\n"
    "\n"
    "After a failure or an interrupt, run the same command again: a sensor left in its\n"
    "update program is found there and the update finished; one that restarted is\n"
    "updated from its boot firmware (the top 16 KiB, never erased). Without the record\n"
    "of the interrupted update (another PC), give the port and rate of that update:\n"
    "duxk --port PORT --baud RATE update FIRMWARE.bin. A failure before phase 3 leaves\n"
    "the old firmware in place. The record is kept per sensor and port: with records of\n"
    "several sensors, name the port of the one to finish with --port. An update that\n"
    "resumes takes no backup (the flash may be half changed): the first run's FILE may\n"
    "be named again, it is kept as it is, and the update says where it is.\n"
    "\n"
    "Examples:\n"
    "  duxk update dux_k52_v3.10.bin\n"
    "  duxk --port COM3 --baud 38400 update --verify dux_k52_v3.10.bin\n"
    "  duxk update --backup before-3.10.bin dux_k52_v3.10.bin";

// The exit status of an update by how it ended: success only when it got
// through (stage 7); a file that became unusable after the check was still
// refused before the sensor was touched (stage 1): unusable input.
int UpdateExitCode(const UpdateOutcome& outcome) {
    if (outcome.stage == 7) return kExitOk;
    return outcome.stage == 1 ? kExitUsage : kExitFailed;
}

// Whether the interrupted update this command would take up recorded `path`
// as its first run's backup (the same file, by any name).
bool ResumesWithBackup(const CliContext& ctx, const std::string& path) {
    const RecoveryPlan plan = PlanRecovery(RecoveryMode::Update, ctx.opts.port);
    if (!plan.hasTarget || plan.target.backup.empty()) return false;
    std::error_code ec;
    return std::filesystem::equivalent(plan.target.backup, path, ec) && !ec;
}

int RunUpdate(CliContext& ctx, const std::string& file, bool fast, bool verify, const std::string& backupPath,
              bool force) {
    // The file is checked before the search, as the update dialog checks it:
    // an unusable one ends here, and nothing is sent. The update itself reads
    // it again, once, for good.
    if (const FirmwareInput input = ReadFirmwareInput(file); !input.Ok()) {
        const std::string message = "unusable input file: " + input.why;
        std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
        if (ctx.opts.json) PrintJsonResult(ctx, kExitUsage, message);
        return kExitUsage;
    }

    if (!backupPath.empty()) {
        // The re-run of an interrupted update names the backup its first run
        // saved: that file is the one that counts and stays; the update that
        // resumes takes none. Should the sensor turn out not to be in that
        // update's program, the update takes its backup after all, and then
        // refuses to write over the file.
        const int refused = CheckBackupArgument(ctx, backupPath, file, force || ResumesWithBackup(ctx, backupPath));
        if (refused != kExitOk) return refused;
    }

    const int connected = ConnectSensor(ctx);
    if (connected != kExitOk) {
        // A search finds no sensor that still runs the update program of an
        // interrupted update whose record is gone; its port and rate do.
        if (connected == kExitNoSensor && ctx.opts.baud.empty())
            std::fprintf(stderr,
                         "duxk: if an update of the sensor was interrupted, give that update's port and rate: "
                         "duxk --port PORT --baud RATE update %s\n",
                         file.c_str());
        PrintJsonResult(ctx, connected, ctx.connectFailure);
        return connected;
    }
    CMainFrameCore* frame = ctx.frame;

    // As the menu command does: the update opens and closes the port itself.
    GetSensorChannel().Close();

    auto job = std::make_unique<UpdateJob>();
    UpdateOptions choices;
    choices.fast = fast;
    choices.verify = verify;
    choices.backupPath = backupPath;
    choices.replaceBackup = force;
    FillUpdateJob(*job, *frame, file, choices);

    // The phases on display, in the order the update runs them.
    std::vector<std::string> names{"Download Transfer-Prg"};
    std::vector<std::atomic<double>*> values{&DownloadProgress};
    if (!backupPath.empty()) {
        names.push_back("Backup Flash Memory");
        values.push_back(&BackupProgress);
    }
    names.insert(names.end(), {"Erase Flash Memory", "Program Flash Memory"});
    values.insert(values.end(), {&EraseProgress, &ProgramProgress});
    if (verify) {
        names.push_back("Verify Flash Memory");
        values.push_back(&VerifyProgress);
    }
    auto current = [&values] {
        std::vector<double> now;
        for (const std::atomic<double>* v : values) now.push_back(v->load());
        return now;
    };
    ProgressView view(ctx, names);
    SetUpdateBoxHook([&view, &current](bool before) {
        if (before)
            view.BeforeBox(current());
        else
            view.AfterBox();
    });

    DownloadProgress = 0.0;
    EraseProgress = 0.0;
    ProgramProgress = 0.0;
    // From here an interrupt must not end the process: the sensor could be
    // left without firmware. The first one warns, the second stops the
    // update after the telegram in flight.
    ClearUpdateStop();
    HoldInterrupts();
    int interruptsSeen = 0;
    BackupProgress = 0.0;
    VerifyProgress = 0.0;
    SetFastLink(fast);
    job->startFlag.store(1);
    // Every 100 ms, as the update dialog's timer: copy the values, advance a
    // running erase (the sensor reports nothing until it is done), show them.
    RunWithTicks([&job] { UpdateWorker(job.get()); },
                 [&] {
                     const int interrupts = InterruptCount();
                     if (interrupts > interruptsSeen) {
                         const std::string name = InterruptName(LastInterrupt());
                         if (interruptsSeen == 0) {
                             view.Note("duxk: " + name +
                                       " received. Stopping the update now would leave the sensor without firmware, "
                                       "so it goes on.\nduxk: Interrupt again to stop it after the telegram in "
                                       "flight; running the same command again then finishes the update.");
                         }
                         if (interrupts >= 2 && !UpdateStopRequested()) {
                             RequestUpdateStop();
                             view.Note("duxk: " + name + " received again: stopping after the telegram in flight.");
                         }
                         interruptsSeen = interrupts;
                     }
                     // Only the value read is advanced: the erase's own end
                     // (100.01) written meanwhile stays.
                     AdvanceEraseProgress(EraseProgress);
                     view.Show(current());
                 });
    SetFastLink(false);
    ReleaseInterrupts();
    view.End();
    SetUpdateBoxHook(nullptr);

    // The port is back with the main frame; reopening again does nothing
    // while it is open, as after the dialog.
    frame->ReopenSensorPort();

    // The outcome's code decides; its boxes have said what happened (a port
    // taken or without permission at the update's own open among them).
    const int status = UpdateExitCode(LastUpdateOutcome());
    const bool success = status == kExitOk;
    // Whatever became of the update, the user is told where the flash as it
    // was before is kept (by this run, or by the interrupted one it took up).
    if (const std::string note = UpdateBackupNote(backupPath); !note.empty()) {
        if (success && !ctx.opts.json) {
            std::printf("%s\n", TerminalText(stdout, note).c_str());
            std::fflush(stdout);
        } else if (!ctx.opts.quiet || !success) {
            std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, note).c_str());
        }
    }
    if (ctx.opts.json) {
        const std::string message = ctx.ui.lastBoxText;
        PrintJsonResult(ctx, status, message);
    }
    return status;
}

struct UpdateArgs {
    std::string file, backupPath;
    bool verify = false, fast = false, force = false;
};

CliCommand registration{
    "update", [](CLI::App& app, CliContext& ctx) {
        auto* sub = app.add_subcommand("update", "Firmware update from an image file");
        auto args = std::make_shared<UpdateArgs>();
        sub->add_option("FIRMWARE", args->file, "Firmware image file (*.bin)")->required()->type_name("FILE");
        sub->add_flag("--fast", args->fast, "Echo each reply byte as soon as it has arrived (same bytes on the wire)");
        sub->add_flag("--verify", args->verify, "Read the programmed range back and compare it byte for byte");
        sub->add_option("--backup", args->backupPath, "Save the whole flash into FILE before the erase")
            ->type_name("FILE");
        sub->add_flag("--force", args->force, "Let --backup replace an existing FILE");
        sub->footer(kUpdateHelp);
        sub->callback([&ctx, args] {
            ctx.command = "update";
            SetExitCode(RunUpdate(ctx, args->file, args->fast, args->verify, args->backupPath, args->force));
        });
    }};

}  // namespace
