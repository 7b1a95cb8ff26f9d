// duxk: the service tool for DUX-Kxx sensors on the command line.

#include "cli/Cli.h"
#include "cli/Signals.h"

#include "dialogs/AppOptions.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"
#include "serial/PortMap.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The help's footer; what it says about ports depends on whether the system
// has a port map.
std::string Footer() {
    std::string text =
        "Standard output carries the results only (listings, reports, the final message of a\n"
        "success, the JSON object); status texts, progress and errors go to standard error.\n"
        "\n"
        "Exit status: 0 success, 1 the operation failed (verify: the flash differs),\n"
        "2 usage error, unusable input file (checked before the search) or a port named\n"
        "with --port that cannot be opened, 3 no sensor found within the time-out.\n"
        "\n";
    text += std::string("Ports are ") + PortNameHelp() + ".\n";
    text +=
        "DUXK_TRACE=FILE has the same effect as --trace FILE.\n"
        "\n"
        "Examples:\n"
        "  duxk find                                 search COM1..COM7 at every rate\n"
        "  duxk --port COM3 find                     try only COM3, at every rate\n"
        "  duxk --port COM3 --baud 38400 info spec   open COM3 directly, show the sensor's SPEC listing\n"
        "  duxk info spec > spec.txt                 save the SPEC listing in a file\n"
        "  duxk cal save                             save the calibration data into <serial>.cal\n"
        "  duxk --json update dux_k52.bin            firmware update, one JSON object at the end\n"
        "  duxk backup k52-flash.bin                 save the whole flash into a file\n"
        "  duxk verify dux_k52.bin                   compare the flash with a firmware file\n";
    if (PortMapSupported()) text += "  duxk ports map COM3 /dev/ttyUSB0          map COM3 to a USB serial adapter\n";
    text +=
        "\n"
        "'duxk COMMAND --help' explains each command.";
    return text;
}

// Shows the top level's options in the help of every command as well: they
// may be given before or after the command.
class CommandFormatter : public CLI::Formatter {
public:
    std::string make_footer(const CLI::App* app) const override {
        const CLI::App* root = app;
        while (root->get_parent()) root = root->get_parent();
        if (root == app) return CLI::Formatter::make_footer(app);
        std::vector<const CLI::Option*> globals;
        for (const CLI::Option* opt : root->get_options()) {
            const std::string name = opt->get_name();
            if (name == "--help" || name == "-h" || name == "--help-all" || opt->get_lnames().empty()) continue;
            if (opt->get_lnames().front() == "help" || opt->get_lnames().front() == "help-all") continue;
            globals.push_back(opt);
        }
        // The group's text starts with its own blank line; the footer
        // follows after one.
        const std::string group = make_group("Global options (before or after the command)", false, globals);
        return group.substr(1) + "\n" + CLI::Formatter::make_footer(app);
    }
};

// The full name of a command: "cal save", "ports map".
std::string FullName(const CLI::App* app) {
    std::string name = app->get_name();
    for (const CLI::App* up = app->get_parent(); up && up->get_parent(); up = up->get_parent())
        name = up->get_name() + " " + name;
    return name;
}

// Every command, at any depth, names itself in ctx as soon as it is seen.
void NameCommands(CLI::App* app, CliContext& ctx) {
    for (CLI::App* sub : app->get_subcommands([](CLI::App*) { return true; })) {
        const std::string name = FullName(sub);
        sub->preparse_callback([&ctx, name](std::size_t) { ctx.command = name; });
        NameCommands(sub, ctx);
    }
}

// Stands for the port while a rate is checked on its own.
const char kRateOnly[] = "-";

// The rates --baud takes, as the help and its error show them.
std::string RateSet() {
    std::string set;
    for (const std::string& rate : SearchRates()) set += (set.empty() ? "" : ",") + rate;
    return "{" + set + "}";
}

// duxk's words for a problem with --port NAME or --baud RATE (value: the
// option's value); empty for none.
std::string PortOptionText(PortOptionProblem problem, const std::string& value) {
    switch (problem) {
    case PortOptionProblem::None:
    case PortOptionProblem::BaudWithoutPort: break;  // a requirement, not the value's
    case PortOptionProblem::EmptyPort: return "empty port name";
    case PortOptionProblem::PortTooLong:
        // The name is carried whole or refused: a shortened path names
        // another device.
        return "port name too long: " + std::to_string(value.size()) + " bytes, at most " +
               std::to_string(kPortNameSize - 1);
    case PortOptionProblem::UnknownBaud: return value + " not in " + RateSet();
    }
    return {};
}

bool AskedForJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) return false;
        if (std::strcmp(argv[i], "--json") == 0) return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    platform::PrepareProcess();
    // A closed output pipe must never end an update half-way: writes to it
    // fail instead. Interrupts end the process as usual unless a command
    // holds them (update, cal).
    InstallSignalHandling();
    CliContext ctx;
    ctx.startSeconds = CliNowSeconds();
    CMainFrameCore frame(ctx.ui);
    ctx.frame = &frame;
    // The search looks for its switches in the frame's command line; only
    // the program path and the switches the options give belong there, so
    // that a file name can never act as a switch.
    frame.m_strCmdLine = argc > 0 ? argv[0] : "duxk";

    CLI::App app{
        "Service tool for DUX-Kxx sensors on a serial line: find the sensor, show its\n"
        "listings, save and load its calibration data, update its firmware.",
        "duxk"};
    app.formatter(std::make_shared<CommandFormatter>());
    app.fallthrough();  // global options are accepted after the command too
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Help on every command");
    app.footer(Footer());

    app.set_version_flag("--version", std::string("duxk (DUXKUpdate) ") + DUXK_VERSION, "Print the version and exit");

    CliOptions& o = ctx.opts;
    CLI::Option* port =
        app.add_option("--port", o.port, "Serial port: COM1..COM7 or another port name (default: search)")
            ->type_name("NAME")
            ->check(
                [](const std::string& name) { return PortOptionText(CheckPortOptions(name, true, "", false), name); },
                "PORT");
    // The rate is judged on its own when it is read; that it needs a port is
    // said after every option has been read (after --help, too).
    app.add_option("--baud", o.baud, "Baud rate with --port: open there directly, without a search")
        ->type_name("RATE")
        ->check(
            [](const std::string& rate) { return PortOptionText(CheckPortOptions(kRateOnly, true, rate, true), rate); },
            RateSet())
        ->needs(port);
    app.add_flag("--no-sn-check", o.noSnCheck, "Accept a sensor that reports no serial number");
    app.add_option("--trace", o.trace, "Append a timestamped trace of the line to FILE")->type_name("FILE");
    app.add_option_function<double>(
           "--timeout",
           [&o](const double& seconds) {
               // Beyond decades a limit means none; held there, every
               // deadline computed from it stays representable.
               o.timeout = std::min(seconds, 1e9);
               o.timeoutGiven = true;
           },
           "Give up the search after SECONDS (default 120)")
        ->type_name("SECONDS")
        ->check(
            [](const std::string& text) {
                // NaN and infinity would turn every wait computed from it
                // into undefined behaviour.
                char* end = nullptr;
                const double seconds = std::strtod(text.c_str(), &end);
                if (end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || !(seconds > 0))
                    return "not a finite positive number of seconds: " + text;
                return std::string();
            },
            "SECONDS");
    app.add_flag("--json", o.json, "Print one JSON object with the result at the end");
    CLI::Option* quiet = app.add_flag("-q,--quiet", o.quiet, "Only results and errors: no status texts, no progress");
    app.add_flag("-v,--verbose", o.verbose, "Also show the steps of the line work (boot entry, download, telegrams)")
        ->excludes(quiet);

    for (auto& [name, setup] : CliCommand::Registry()) setup(app, ctx);
    NameCommands(&app, ctx);

    // Runs once every option is parsed, before the command's callback.
    app.parse_complete_callback([&ctx] { PrepareCliContext(ctx); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        if (rc == 0) return kExitOk;
        // A script that asked for the object gets it for a usage error too.
        if (AskedForJson(argc, argv)) {
            ctx.opts.json = true;
            PrintJsonResult(ctx, kExitUsage, e.what());
        }
        return kExitUsage;
    }

    // As when the main window closes: stop the search, close the port.
    frame.StopSearch();
    if (GetSensorChannel().IsOpen()) GetSensorChannel().Close();
    EndBySignalIfAsked();
    return CliExitCode();
}
