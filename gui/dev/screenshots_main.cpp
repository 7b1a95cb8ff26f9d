// duxkupdate-screenshots: the desktop application with the screenshot tour.
// A development tool for docs/screenshots.sh; not installed.
//
//   duxkupdate-screenshots OUTDIR [FIRMWARE.bin]
#include "gui/Document.h"
#include "gui/dev/ScreenshotTour.h"

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTDIR [FIRMWARE.bin]\n", argc > 0 ? argv[0] : "duxkupdate-screenshots");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const QString firmware = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    // The application itself sees only its program name.
    int appArgc = 1;
    std::string cmdLine = argv[0];
    CDUXKUpdateMFCApp app(appArgc, argv, cmdLine);
    if (!app.InitInstance()) return 1;
    StartScreenshotTour(app.MainFrame(), dir, firmware);
    return app.exec();
}
