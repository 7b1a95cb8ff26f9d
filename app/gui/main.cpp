// duxkupdate: the desktop service application for DUX-Kxx sensors.
#include "app/gui/Document.h"

#include <string>

int main(int argc, char** argv) {
    // The raw command line, as the process received it, for the sensor
    // search's switch.
    std::string cmdLine;
    for (int i = 0; i < argc; ++i) {
        if (i) cmdLine += ' ';
        cmdLine += argv[i];
    }
    CDUXKUpdateMFCApp app(argc, argv, cmdLine);
    if (!app.InitInstance()) return 1;
    return app.exec();
}
