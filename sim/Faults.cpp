#include "sim/Faults.h"

#include <cstdlib>

namespace sim {

namespace {

bool ParseUnsigned(const std::string& s, int base, uint64_t& out) {
    if (s.empty()) return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, base);
    return end && *end == '\0';
}

}  // namespace

bool ByteFault::Hit(uint64_t index, std::mt19937_64& rng) const {
    if (positions.count(index)) return true;
    if (rate <= 0.0) return false;
    // A draw per byte keeps the sequence the same for the same traffic.
    const double u = static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0);
    return u < rate;
}

bool ParsePositions(const std::string& text, std::set<uint64_t>& out) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        uint64_t v = 0;
        if (!ParseUnsigned(text.substr(at, comma - at), 0, v)) return false;
        out.insert(v);
        at = comma + 1;
    }
    return true;
}

bool ParsePowerLoss(const std::string& text, FaultConfig& f) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    if (name == "download") f.powerLoss = PowerLossPhase::Download;
    else if (name == "erase") f.powerLoss = PowerLossPhase::Erase;
    else if (name == "program") f.powerLoss = PowerLossPhase::Program;
    else if (name == "checksum") f.powerLoss = PowerLossPhase::Checksum;
    else return false;
    f.powerLossBytes = -1;
    if (colon != std::string::npos) {
        uint64_t v = 0;
        if (!ParseUnsigned(text.substr(colon + 1), 10, v)) return false;
        f.powerLossBytes = static_cast<int64_t>(v);
    }
    return true;
}

bool ParseTelegramErrors(const std::string& text, FaultConfig& f) {
    const size_t colon = text.find(':');
    uint64_t n = 0;
    if (!ParseUnsigned(text.substr(0, colon), 10, n)) return false;
    f.telegramErrors = static_cast<int>(n);
    f.telegramErrorCommand = -1;
    if (colon != std::string::npos) {
        uint64_t cmd = 0;
        if (!ParseUnsigned(text.substr(colon + 1), 16, cmd) || cmd > 0xFF) return false;
        f.telegramErrorCommand = static_cast<int>(cmd);
    }
    return true;
}

const char* PhaseName(PowerLossPhase p) {
    switch (p) {
        case PowerLossPhase::Download: return "download";
        case PowerLossPhase::Erase: return "erase";
        case PowerLossPhase::Program: return "program";
        case PowerLossPhase::Checksum: return "checksum";
        default: return "none";
    }
}

}  // namespace sim
