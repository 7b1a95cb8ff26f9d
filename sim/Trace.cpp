#include "sim/Trace.h"

#include "platform/Files.h"

#include <cstdio>

namespace sim {

bool Trace::Open(const std::string& path, std::string* why) {
    std::FILE* file = platform::OpenPrivateOutput(path, false, why);
    base_ = std::chrono::steady_clock::now();
    log_.Start(file);
    return file != nullptr;
}

std::string Trace::Stamp() const {
    char text[32];
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - base_).count();
    std::snprintf(text, sizeof text, "%12.6f ", s);
    return text;
}

void Trace::Bytes(const char* dir, const uint8_t* data, size_t n) {
    if (!IsOpen() || n == 0) return;
    std::string out;
    const std::string stamp = Stamp();
    // Long runs are split so that each line stays readable.
    for (size_t at = 0; at < n; at += 32) {
        const size_t len = n - at < 32 ? n - at : 32;
        out += stamp;
        out += dir;
        char hex[4];
        for (size_t i = 0; i < len; ++i) {
            std::snprintf(hex, sizeof hex, " %02X", data[at + i]);
            out += hex;
        }
        out.append(3 * (32 - len) + 2, ' ');
        out += '|';
        for (size_t i = 0; i < len; ++i) {
            const uint8_t c = data[at + i];
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        out += "|\n";
    }
    log_.Append(std::move(out));
}

void Trace::Note(const std::string& text) {
    if (!IsOpen()) return;
    log_.Append(Stamp() + "-- " + text + "\n");
}

}  // namespace sim
