// The calibration listing as it comes from the sensor: normalisation (both
// modes), completeness and progress, and the token list they build on.
#include "calibration/PackBlock.h"

#include <cmath>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    const std::string all = ParsePackBlock(text, false);
    const std::string fromPack = ParsePackBlock(text, true);
    // Text without a CR LF pair comes back unchanged.
    if (text.find("\r\n") == std::string::npos && (all != text || fromPack != text)) std::abort();

    (void)IsPackBlockComplete(text);
    if (std::optional<double> p = PackBlockProgress(text)) {
        if (std::isnan(*p)) std::abort();
    }

    CTokenList tokens(text, '\n');
    if (tokens.GetCount() < 1) std::abort();
    (void)tokens.GetToken(tokens.GetCount() - 1);
    try {
        (void)tokens.GetToken(tokens.GetCount());
        std::abort();
    } catch (const std::out_of_range&) {}
    return 0;
}
