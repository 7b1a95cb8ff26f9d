// duxk info: one of the sensor's four listings, collected as the information
// dialog collects it and printed once the answer is over.

#include "cli/Cli.h"

#include "calibration/PackBlock.h"
#include "dialogs/Worker.h"
#include "info/Listing.h"
#include "platform/Deadline.h"
#include "serial/Link.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <map>

namespace {

constexpr int kTickMs = 100;
// The answer is over when it has been quiet for this many ticks ...
constexpr int kQuietTicks = 10;
// ... or, for the calibration data, when the block has stayed complete this
// long (the rule a calibration save uses before it writes).
constexpr int kCompleteTicks = 6;

const char kInfoHelp[] =
    "Sends the listing's request and collects the answer every 100 ms, as the\n"
    "information dialog does: a 'boot_' answer repeats the request (spec, settings,\n"
    "selftest), so does 'busy_' (spec, settings). The selftest waits 2.5 s and the\n"
    "caldata request 1 s before collecting. The listing is printed when it is over:\n"
    "caldata when its pack block has been complete for 0.6 s; every listing when\n"
    "the answer has been quiet for 1 s after its first byte; at the latest after\n"
    "--timeout seconds (default 120; it bounds the search too), which counts\n"
    "as a failure (exit status 1).\n"
    "spec, settings and caldata are shown from their first pack line on, selftest\n"
    "whole; lines are printed with LF line ends. An answer that leaves nothing to\n"
    "show is a failure too.";

// Status texts of the request as lines; the emptying of the status line
// prints nothing.
class StatusLines : public IFrameUi {
public:
    explicit StatusLines(IFrameUi& ui) : ui_(ui) {}
    void SetStatusText(const std::string& text) override {
        if (!text.empty()) ui_.SetStatusText(text);
    }
    bool EnableMenuCommands(const int* ids, int count, bool enable) override {
        return ui_.EnableMenuCommands(ids, count, enable);
    }
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        ui_.ShowMessageBox(text, caption, icon);
    }

private:
    IFrameUi& ui_;
};

std::string WithLfLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

int RunInfo(CliContext& ctx, int32_t kind) {
    int rc = ConnectSensor(ctx);
    if (rc != kExitOk) {
        PrintJsonResult(ctx, rc, ctx.connectFailure);
        return rc;
    }

    StatusLines status(ctx.ui);
    ListingCollector listing(kind, *ctx.frame, &status);
    listing.SendListingRequest();

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + platform::MsFromSeconds(ctx.opts.timeout);
    int quietTicks = 0, completeTicks = 0;
    bool over = false;
    RunTicks(
        [&] {
            const int requestsBefore = listing.Requests();
            const bool changed = listing.Tick();
            const bool repeated = listing.Requests() != requestsBefore;
            if (repeated) {
                // A repeated request starts the answer afresh (its waits included).
                quietTicks = completeTicks = 0;
            } else if (changed) {
                quietTicks = 0;
            } else if (!listing.Received().empty()) {
                ++quietTicks;
            }
            if (kind == LISTING_CALDATA)
                completeTicks = IsPackBlockComplete(listing.Received()) ? completeTicks + 1 : 0;
            over = quietTicks >= kQuietTicks || completeTicks >= kCompleteTicks;
            if (over || Clock::now() >= deadline) return TickStep::Stop;
            return repeated ? TickStep::Restart : TickStep::Next;
        },
        kTickMs);

    const std::string text = WithLfLineEnds(listing.Text());
    // An answer that leaves nothing to show (no pack line, or no bytes at
    // all) is no listing: say so instead of printing an empty success.
    const bool gotListing = !text.empty();
    const int rcOut = over && gotListing ? kExitOk : kExitFailed;
    if (ctx.opts.json) {
        PrintJsonResult(ctx, rcOut, text);
    } else {
        const std::string shown = TerminalText(stdout, text);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        if (!text.empty() && text.back() != '\n') std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (!over) {
        std::fprintf(stderr, "duxk: the %s listing did not end within %g s\n", ListingCollector::Title(kind),
                     ctx.opts.timeout);
    } else if (!gotListing) {
        std::fprintf(stderr, "duxk: the sensor sent no %s listing\n", ListingCollector::Title(kind));
    }
    return rcOut;
}

CliCommand reg{"info", [](CLI::App& app, CliContext& ctx) {
                   static const std::map<std::string, int32_t> kinds = {
                       {"spec", LISTING_SPECIFICATION},
                       {"settings", LISTING_SETTINGS},
                       {"selftest", LISTING_SELFTEST},
                       {"caldata", LISTING_CALDATA},
                   };
                   static std::string which;
                   CLI::App* sub = app.add_subcommand("info", "Print a listing as the information dialog shows it");
                   sub->add_option("LISTING", which, "spec, settings, selftest or caldata")
                       ->required()
                       ->check(CLI::IsMember({"spec", "settings", "selftest", "caldata"}));
                   sub->footer(kInfoHelp);
                   sub->callback([&ctx] { SetExitCode(RunInfo(ctx, kinds.at(which))); });
               }};

}  // namespace
