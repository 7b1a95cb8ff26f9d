#include "dialogs/DialogView.h"

FileQuestion FirmwareFileQuestion(const std::string& initialPath, bool save) {
    FileQuestion q;
    q.save = save;
    q.initialPath = initialPath;
    q.defaultExtension = "bin";
    q.filters = {{"Firmware Files (*.bin)", "*.bin"}, {"All Files (*.*)", "*.*"}};
    return q;
}

FileQuestion CalibrationFileQuestion(const std::string& initialPath) {
    FileQuestion q;
    q.initialPath = initialPath;
    q.defaultExtension = "cal";
    q.filters = {{"Calibration Files (*.cal)", "*.cal"}, {"All Files (*.*)", "*.*"}};
    return q;
}
