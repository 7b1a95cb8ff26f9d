// Update marker files: whatever a marker file holds, what is taken from it
// is printable, a valid rate and stage, and writes back to the same marker.
#include "update/UpdateMarker.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    UpdateMarker marker;
    if (!ParseUpdateMarker(text, marker)) return 0;
    for (const std::string* value :
         {&marker.serial, &marker.port, &marker.byId, &marker.device, &marker.since, &marker.backup})
        for (unsigned char c : *value)
            if (c < 0x20 || c == 0x7F) std::abort();
    if (marker.stage != "download" && marker.stage != "program") std::abort();
    UpdateMarker again;
    if (!ParseUpdateMarker(FormatUpdateMarker(marker), again)) std::abort();
    if (FormatUpdateMarker(again) != FormatUpdateMarker(marker)) std::abort();
    return 0;
}
