// duxk update FIRMWARE.bin: the firmware update from the command line, with
// the update dialog's three progress bars drawn on the terminal.
#include "cli/Cli.h"
#include "cli/Signals.h"

#include "platform/Platform.h"
#include "serial/DUXKSerial.h"
#include "update/Recovery.h"
#include "update/Update.h"
#include "update/UpdateDetail.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* kPhaseNames[3] = {"Download Transfer-Prg", "Erase Flash Memory", "Program Flash Memory"};

// Shows the three progress values: bars redrawn in place on a terminal, a
// line per 10 % step otherwise.
class ProgressView {
public:
    ProgressView(FILE* out, bool terminal) : out_(out), terminal_(terminal) {}

    void Show(const double values[3]) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) return;
        int percent[3];
        for (int i = 0; i < 3; ++i) {
            // Values above 100 mark a finished phase and show as a full bar.
            const double v = values[i] < 0 ? 0 : values[i];
            percent[i] = v > 100 ? 100 : static_cast<int>(v);
        }
        if (terminal_) {
            DrawBars(percent);
        } else {
            for (int i = 0; i < 3; ++i) {
                const int step = percent[i] / 10;
                if (step > steps_[i]) {
                    std::fprintf(out_, "%s: %d%%\n", kPhaseNames[i], step * 10);
                    steps_[i] = step;
                }
            }
            std::fflush(out_);
        }
    }

    // The update shows its boxes only as it ends: bring the display up to
    // date once more and leave it standing above the box's line.
    void BeforeBox() {
        const double values[3] = {DownloadProgress.load(), EraseProgress.load(), ProgramProgress.load()};
        Show(values);
        mutex_.lock();
        closed_ = true;
    }
    void AfterBox() { mutex_.unlock(); }

    void End() {
        std::lock_guard<std::mutex> lock(mutex_);
        drawn_ = false;
    }

    // A message on standard error between two drawings: the bars start
    // afresh below it.
    void Note(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        drawn_ = false;
    }

private:
    void DrawBars(const int percent[3]) {
        constexpr int kWidth = 40;
        if (drawn_) std::fputs("\x1b[3F", out_);
        for (int i = 0; i < 3; ++i) {
            const int filled = percent[i] * kWidth / 100;
            std::string bar(static_cast<size_t>(filled), '#');
            bar.append(static_cast<size_t>(kWidth - filled), '.');
            std::fprintf(out_, "%-22s [%s] %3d%%\x1b[K\n", kPhaseNames[i], bar.c_str(), percent[i]);
        }
        std::fflush(out_);
        drawn_ = true;
    }

    FILE* out_;
    bool terminal_;
    bool drawn_ = false;
    bool closed_ = false;
    int steps_[3] = {0, 0, 0};
    std::mutex mutex_;
};

int RunUpdate(CliContext& ctx, const std::string& file, const UpdateOptions& options) {
    // The file is checked before the search: an unusable one ends here, and
    // nothing is sent. The update itself reads it again, once, for good.
    {
        std::vector<uint8_t> image;
        std::string why;
        if (ReadFirmwareFile(file.c_str(), image, &why) != FirmwareFileState::Ok) {
            const std::string message = "unusable input file: " + why;
            std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
            if (ctx.opts.json) PrintJsonResult(ctx, kExitUsage, message);
            return kExitUsage;
        }
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
    CMainFrameCore* frame = ctx.frame ? ctx.frame : GetMainFrame();

    // As the menu command does: the update opens and closes the port itself.
    GetSensorChannel().Close();

    auto job = std::make_unique<UpdateJob>();
    std::snprintf(job->transferPrgName, sizeof job->transferPrgName, "%s", "dux_tra.bin");
    std::snprintf(job->firmwarePath, sizeof job->firmwarePath, "%s", file.c_str());
    std::snprintf(job->portName, sizeof job->portName, "%s", frame->m_search.szPort);
    std::snprintf(job->baudText, sizeof job->baudText, "%s", frame->m_search.szBaud);
    job->firstAddressWord = kLoadAddressWord;
    job->secondAddressWord = kLoadAddressWord;
    job->options = options;
    job->options.resume = frame->m_bInUpdateProgram.load() != 0;

    FILE* out = ctx.opts.json ? stderr : stdout;
    ProgressView view(out, platform::IsAnsiTerminal(out));
    SetUpdateBoxHook([&view](bool before) {
        if (before)
            view.BeforeBox();
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
    job->startFlag.store(1);
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    std::thread worker([&job, &done] {
        UpdateWorker(job.get());
        done.set_value();
    });

    // Every 100 ms, as the update dialog's timer: copy the values, advance a
    // running erase (the sensor reports nothing until it is done), show them.
    const auto period = std::chrono::milliseconds(100);
    auto next = std::chrono::steady_clock::now() + period;
    for (;;) {
        const int interrupts = InterruptCount();
        if (interrupts > interruptsSeen) {
            const std::string name = InterruptName(LastInterrupt());
            if (interruptsSeen == 0) {
                view.Note("duxk: " + name +
                          " received. Stopping the update now would leave the sensor without firmware, so it "
                          "goes on.\nduxk: Interrupt again to stop it after the telegram in flight; running the "
                          "same command again then finishes the update.");
            }
            if (interrupts >= 2 && !UpdateStopRequested()) {
                RequestUpdateStop();
                view.Note("duxk: " + name + " received again: stopping after the telegram in flight.");
            }
            interruptsSeen = interrupts;
        }
        double values[3] = {DownloadProgress.load(), EraseProgress.load(), ProgramProgress.load()};
        if (values[1] > 0.1) {
            values[1] += 5.0 / 3.0;
            EraseProgress = values[1];
        }
        view.Show(values);
        // Wakes at the next tick, or at once when the update has ended.
        if (finished.wait_until(next) == std::future_status::ready) break;
        next += period;
    }
    worker.join();
    ReleaseInterrupts();
    view.End();
    SetUpdateBoxHook(nullptr);

    // The port is back with the main frame; reopening again does nothing
    // while it is open, as after the dialog.
    frame->ReopenSensorPort();

    // A port taken (or without permission) at the update's own open: its
    // error box already says why.
    const UpdateOutcome outcome = LastUpdateOutcome();
    const bool success = outcome.stage == 7 && ctx.ui.lastBoxText == kUpdateSuccessText;
    // A file that became unusable after the check was still refused before
    // the sensor was touched: unusable input, as above.
    const int status = success ? kExitOk : outcome.stage == 1 ? kExitUsage : kExitFailed;
    if (ctx.opts.json) {
        const std::string message = ctx.ui.lastBoxText;
        PrintJsonResult(ctx, status, message);
    }
    return status;
}

CliCommand registration{"update", [](CLI::App& app, CliContext& ctx) {
                            auto* sub = app.add_subcommand("update", "firmware update from an image file");
                            sub->footer(
                                "An interrupt (Ctrl-C, SIGTERM, SIGHUP) during the update only warns: stopping\n"
                                "would leave the sensor without firmware. A second one stops the update after\n"
                                "the telegram in flight (exit status 1).\n"
                                "An update that did not finish (interrupted, killed, cable pulled) is finished\n"
                                "by running the same command again: the sensor is found in its update program.\n"
                                "Without the record of the interrupted update (another PC), give the port and\n"
                                "rate of that update: duxk --port PORT --baud RATE update FIRMWARE.bin");
                            auto file = std::make_shared<std::string>();
                            auto options = std::make_shared<UpdateOptions>();
                            sub->add_flag("--fast", options->fast,
                                          "fast mode: the same bytes on the wire, without the host's pauses while it\n"
                                          "talks to the transfer program (the boot loader's pauses are kept)");
                            sub->add_option("FIRMWARE", *file, "firmware image file (*.bin)")->required();
                            sub->callback([&ctx, file, options] {
                                ctx.command = "update";
                                SetExitCode(RunUpdate(ctx, *file, *options));
                            });
                        }};

}  // namespace
