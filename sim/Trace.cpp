#include "sim/Trace.h"

#include "platform/Files.h"

namespace sim {

Trace::~Trace() {
    if (file_) std::fclose(file_);
}

bool Trace::Open(const std::string& path, std::string* why) {
    std::lock_guard<std::mutex> lock(mu_);
    file_ = platform::OpenPrivateOutput(path, false, why);
    base_ = std::chrono::steady_clock::now();
    return file_ != nullptr;
}

void Trace::Stamp() {
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - base_).count();
    std::fprintf(file_, "%12.6f ", s);
}

void Trace::Bytes(const char* dir, const uint8_t* data, size_t n) {
    if (!file_ || n == 0) return;
    std::lock_guard<std::mutex> lock(mu_);
    // Long runs are split so that each line stays readable.
    for (size_t at = 0; at < n; at += 32) {
        const size_t len = n - at < 32 ? n - at : 32;
        Stamp();
        std::fprintf(file_, "%s", dir);
        for (size_t i = 0; i < len; ++i) std::fprintf(file_, " %02X", data[at + i]);
        std::fprintf(file_, "%*s  |", static_cast<int>(3 * (32 - len)), "");
        for (size_t i = 0; i < len; ++i) {
            const uint8_t c = data[at + i];
            std::fputc(c >= 0x20 && c < 0x7F ? c : '.', file_);
        }
        std::fputs("|\n", file_);
    }
    std::fflush(file_);
}

void Trace::Note(const std::string& text) {
    if (!file_) return;
    std::lock_guard<std::mutex> lock(mu_);
    Stamp();
    std::fprintf(file_, "-- %s\n", text.c_str());
    std::fflush(file_);
}

}  // namespace sim
