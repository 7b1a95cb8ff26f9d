// The serial number cleaned from the text after "ID:SER ". The cleaning
// lives inside the search's translation unit, so that unit is compiled in
// here to reach it; the search library's own copy is then not linked.
#include "session/SearchSensor.cpp"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    char out[80];
    std::memset(out, 0x5A, sizeof out);
    CleanSerial(text.c_str(), out);
    const size_t n = std::strlen(out);
    if (n > 79) std::abort();
    // Cleaning stops at the input's first '_' or byte outside 0x20..0x7F.
    const size_t stop = std::strcspn(text.c_str(), "_");
    if (n > stop) std::abort();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(out[i]);
        // A serial number becomes part of a file name: no control bytes,
        // nothing above 0x7F, and no dot (it becomes '_').
        if (c < 0x20 || c > 0x7F || c == '.') std::abort();
    }
    return 0;
}
