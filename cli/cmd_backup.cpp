// duxk backup FILE and duxk verify FIRMWARE: the sensor's flash read back
// through the transfer program, saved into a file or compared with one.
#include "cli/Cli.h"
#include "cli/Signals.h"

#include "platform/Files.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "update/ReadBack.h"
#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <string>
#include <thread>
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

// Finds the sensor, reads count bytes of its flash with the progress of the
// download and the read on display, and hands the port back. True when
// every byte was read (a failure's message has been shown otherwise).
bool ReadSensorFlash(CliContext& ctx, uint32_t count, std::atomic<double>& progress, const char* phase, bool fast,
                     std::vector<uint8_t>& data, int& status) {
    status = ConnectSensor(ctx);
    if (status != kExitOk) {
        PrintJsonResult(ctx, status, ctx.connectFailure);
        return false;
    }
    CMainFrameCore* frame = ctx.frame;
    // The read-back opens and closes the port itself, as the update does.
    GetSensorChannel().Close();
    const std::string port = frame->m_search.szPort, baud = frame->m_search.szBaud;

    ProgressView view(ctx, {"Download Transfer-Prg", phase});
    auto current = [&progress] { return std::vector<double>{DownloadProgress.load(), progress.load()}; };
    SetUpdateBoxHook([&view, &current](bool before) {
        if (before)
            view.BeforeBox(current());
        else
            view.AfterBox();
    });
    DownloadProgress = 0.0;
    progress = 0.0;
    SetFastLink(fast);
    // An interrupt stops the reads after the telegram in flight; the sensor
    // is then sent its program end, so that it is not left in the transfer
    // program.
    ClearUpdateStop();
    HoldInterrupts();

    bool complete = false;
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&] {
        complete = ReadBackFlash(port.c_str(), baud.c_str(), count, data, &progress, frame);
        done.set_value();
    });
    const auto period = std::chrono::milliseconds(100);
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        if (InterruptCount() > 0 && !UpdateStopRequested()) {
            RequestUpdateStop();
            view.Note(std::string("duxk: ") + InterruptName(LastInterrupt()) +
                      " received: stopping after the telegram in flight and restarting the sensor.");
        }
        view.Show(current());
        if (finished.wait_until(next) == std::future_status::ready) break;
        next += period;
    }
    worker.join();
    const int interrupt = InterruptCount() > 0 ? LastInterrupt() : 0;
    ReleaseInterrupts();
    // The shell that sent it sees the interrupt once the port is closed.
    if (interrupt != 0) EndBySignalLater(interrupt);
    view.Show(current());
    view.End();
    SetUpdateBoxHook(nullptr);
    SetFastLink(false);
    DownloadProgress = 0.0;

    frame->ReopenSensorPort();
    if (!complete) {
        status = kExitFailed;
        PrintJsonResult(ctx, status, ctx.ui.lastBoxText);
    }
    return complete;
}

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

int RunBackup(CliContext& ctx, const std::string& file, bool fast, bool force) {
    const int refused = CheckBackupArgument(ctx, file, {}, force);
    if (refused != kExitOk) return refused;

    std::vector<uint8_t> flash;
    int status = kExitOk;
    if (!ReadSensorFlash(ctx, kFlashSize, BackupProgress, "Read Flash Memory", fast, flash, status)) return status;

    std::string error;
    if (!WriteBackupFile(file, flash, force, &error)) {
        const std::string message = "cannot write the backup: " + error;
        std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
        PrintJsonResult(ctx, kExitFailed, message);
        return kExitFailed;
    }
    char message[64];
    std::snprintf(message, sizeof message, " (%u bytes, 0x%05X-0x%05X)", static_cast<unsigned>(kFlashSize),
                  static_cast<unsigned>(kFlashBase), static_cast<unsigned>(kFlashBase + kFlashSize - 1));
    return Finish(ctx, kExitOk, "Flash saved to " + file + message);
}

int RunVerify(CliContext& ctx, const std::string& file, bool fast) {
    // Read once, before the search, with the same checks as for an update.
    std::vector<uint8_t> image;
    std::string why;
    if (ReadFirmwareFile(file.c_str(), image, &why) != FirmwareFileState::Ok)
        return UsageFailure(ctx, "unusable input file: " + why);

    std::vector<uint8_t> flash;
    int status = kExitOk;
    if (!ReadSensorFlash(ctx, static_cast<uint32_t>(image.size()), VerifyProgress, "Verify Flash Memory", fast, flash,
                         status))
        return status;

    const FlashDifference difference = CompareImages(image.data(), flash.data(), image.size());
    char counts[128];
    if (difference.count == 0) {
        std::snprintf(counts, sizeof counts, " (%zu bytes from 0x%05X)", image.size(),
                      static_cast<unsigned>(kFlashBase));
        return Finish(ctx, kExitOk, "Flash matches " + file + counts);
    }
    std::snprintf(counts, sizeof counts, ": %u of %zu bytes differ, the first at 0x%05X",
                  static_cast<unsigned>(difference.count), image.size(),
                  static_cast<unsigned>(kFlashBase + difference.firstOffset));
    return Finish(ctx, kExitFailed, "Flash differs from " + file + counts);
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
