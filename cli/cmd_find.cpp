// duxk find: search for the sensor and report where it answered.

#include "cli/Cli.h"

#include "serial/DUXKSerial.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

void RunFind(CliContext& ctx) {
    int rc = ConnectSensor(ctx);
    if (rc != kExitOk) {
        PrintJsonResult(ctx, rc, ctx.connectFailure);
        SetExitCode(rc);
        return;
    }
    SearchState& s = ctx.frame->m_search;
    if (!ctx.opts.port.empty() && !ctx.opts.baud.empty()) {
        // Opened directly: ask the sensor for its serial number and its
        // identity as the search would ("appl" has just been sent by the
        // reopen). Without a serial number nothing is known to answer there,
        // unless --no-sn-check accepts a sensor that gave a valid identity,
        // as the search does.
        s.pChannel = &GetSensorChannel();
        s.szIdentity[0] = '\0';
        const bool serial = QuerySensorSerial(&s, false);
        const bool identified = QuerySensorIdentity(&s);
        if (!serial && !(identified && ctx.opts.noSnCheck)) {
            std::string message = std::string("No sensor answered at ") + s.szPort + ", " + s.szBaud + " baud";
            std::fprintf(stderr, "duxk: %s\n", TerminalText(stderr, message).c_str());
            PrintJsonResult(ctx, kExitNoSensor, message);
            SetExitCode(kExitNoSensor);
            return;
        }
    }
    std::string identity = s.szIdentity[0] ? std::string("Sensor '") + s.szIdentity + "'" : std::string("Sensor");
    std::string message = identity + " at " + s.szPort + ", " + s.szBaud + " baud, serial number '" + s.szSerial + "'";
    if (!ctx.opts.json) std::printf("%s\n", TerminalText(stdout, message).c_str());
    PrintJsonResult(ctx, 0, message);
    SetExitCode(kExitOk);
}

CliCommand reg{"find", [](CLI::App& app, CliContext& ctx) {
                   CLI::App* cmd = app.add_subcommand("find",
                                                      "Search for the sensor and report port, rate and "
                                                      "serial number");
                   cmd->footer(
                       "Without --port the remembered port is tried first, then COM1..COM7, each at 38400,\n"
                       "19200, 9600 and 4800 baud, until a sensor answers or --timeout passes (exit 3).\n"
                       "With --port only that port is tried; with --port and --baud the port is opened\n"
                       "directly without a search. The global options (see 'duxk --help') may stand\n"
                       "before or after the command.\n"
                       "\n"
                       "Examples:\n"
                       "  duxk find\n"
                       "  duxk --timeout 30 --json find\n"
                       "  duxk --port /dev/ttyUSB0 --no-sn-check find");
                   cmd->callback([&ctx] { RunFind(ctx); });
               }};

}  // namespace
