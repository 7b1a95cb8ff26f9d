// The parts of the user's files that are the same on every system.
#include "platform/Files.h"

namespace platform {

std::string CheckOutputFile(const std::string& path) {
    // The file will be replaced through a new file beside it: trying that
    // (and throwing the new file away) is the one sure test.
    PendingFile probe;
    std::string why;
    if (!probe.Begin(path, &why)) return why.rfind(path + ": ", 0) == 0 ? why : path + ": " + why;
    probe.Discard();
    return {};
}

}  // namespace platform
