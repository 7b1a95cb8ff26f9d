#include "serial/Debug.h"

#include "serial/DUXKSerial.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
std::atomic<bool> verboseSteps{false};
}

void SetVerboseSteps(bool on) { verboseSteps.store(on); }

bool VerboseSteps() { return verboseSteps.load(); }

void DebugOutput(const char* text) {
    if (!text) return;
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.HasTrace()) channel.TraceLine(text);
    const char* debug = std::getenv("DUXK_DEBUG");
    if (VerboseSteps() || (debug && *debug && std::strcmp(debug, "0") != 0)) {
        size_t len = std::strlen(text);
        std::fprintf(stderr, "%s%s", text, (len && text[len - 1] == '\n') ? "" : "\n");
    }
}
