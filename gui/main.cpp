// duxkupdate: the desktop service application for DUX-Kxx sensors.
#include "dialogs/AppOptions.h"
#include "gui/Document.h"

#include <cstdio>
#include <string>

#ifndef DUXK_VERSION
#define DUXK_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    // The raw command line, as the process received it, for the sensor
    // search's switch.
    std::string cmdLine;
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        if (i) cmdLine += ' ';
        cmdLine += argv[i];
        args << QString::fromLocal8Bit(argv[i]);
    }
    // Help, version and usage errors need no display: answer them before
    // the windowing system is started.
    const AppCommandLine cmd = ParseAppCommandLine(args);
    if (cmd.help) {
        std::fputs(AppUsageText().c_str(), stdout);
        return 0;
    }
    if (cmd.version) {
        std::printf("duxkupdate %s\n", DUXK_VERSION);
        return 0;
    }
    if (!cmd.error.isEmpty()) {
        std::fprintf(stderr, "duxkupdate: %s\nTry 'duxkupdate --help' for more information.\n", qPrintable(cmd.error));
        return 2;
    }
    CDUXKUpdateMFCApp app(argc, argv, cmdLine);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
