#include "sim/Faults.h"

#include <cstdlib>

namespace sim {

namespace {

bool ParseUnsigned(const std::string& s, int base, uint64_t& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    char* end = nullptr;
    out = std::strtoull(s.c_str(), &end, base);
    return end && *end == '\0';
}

constexpr const char* kLinePhaseNames[kLinePhases] = {"text", "download", "telegram", "echo", "verdict", "reply"};

struct StageName_ {
    Stage stage;
    const char* name;
};
constexpr StageName_ kStages[] = {
    {Stage::Start, "start"},       {Stage::Boot, "boot"},       {Stage::Flsh, "flsh"},
    {Stage::Download, "download"}, {Stage::Power, "power"},     {Stage::Identify, "identify"},
    {Stage::Erase, "erase"},       {Stage::Program, "program"}, {Stage::Checksum, "checksum"},
    {Stage::End, "end"},           {Stage::CalShow, "calshow"}, {Stage::CalRead, "calread"},
};

}  // namespace

const char* LinePhaseName(LinePhase p) { return kLinePhaseNames[static_cast<int>(p)]; }

std::optional<LinePhase> LinePhaseFromName(const std::string& name) {
    for (int i = 0; i < kLinePhases; ++i)
        if (name == kLinePhaseNames[i]) return static_cast<LinePhase>(i);
    return std::nullopt;
}

bool ByteFault::Hit(uint64_t index, LinePhase phase, uint64_t phaseIndex, std::mt19937_64& rng) const {
    if (positions.count(index)) return true;
    if (auto it = phasePositions.find(phase); it != phasePositions.end() && it->second.count(phaseIndex)) return true;
    if (rate <= 0.0) return false;
    // A draw per byte keeps the sequence the same for the same traffic.
    const double u = static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0);
    return u < rate;
}

bool ParsePositions(const std::string& text, ByteFault& out) {
    size_t at = 0;
    while (at <= text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos) comma = text.size();
        const std::string item = text.substr(at, comma - at);
        const size_t colon = item.find(':');
        uint64_t v = 0;
        if (colon == std::string::npos) {
            if (!ParseUnsigned(item, 0, v)) return false;
            out.positions.insert(v);
        } else {
            const auto phase = LinePhaseFromName(item.substr(0, colon));
            if (!phase || !ParseUnsigned(item.substr(colon + 1), 0, v)) return false;
            out.phasePositions[*phase].insert(v);
        }
        at = comma + 1;
    }
    return true;
}

const char* EraseDefectName(EraseDefect d) {
    switch (d) {
    case EraseDefect::None: return "none";
    case EraseDefect::Fails: return "fails";
    case EraseDefect::Hangs: return "hangs";
    case EraseDefect::Partial: return "partial";
    }
    return "?";
}

std::optional<EraseDefect> EraseDefectFromName(const std::string& name) {
    for (auto d : {EraseDefect::None, EraseDefect::Fails, EraseDefect::Hangs, EraseDefect::Partial})
        if (name == EraseDefectName(d)) return d;
    return std::nullopt;
}

const char* StageName(Stage s) {
    for (const auto& e : kStages)
        if (e.stage == s) return e.name;
    return "?";
}

std::string StagePoint::Text() const {
    std::string t = StageName(stage);
    if (count >= 0) t += ":" + std::to_string(count);
    return t;
}

bool ParseStagePoint(const std::string& text, StagePoint& out) {
    const size_t colon = text.find(':');
    const std::string name = text.substr(0, colon);
    bool known = false;
    for (const auto& e : kStages) {
        if (name == e.name) {
            out.stage = e.stage;
            known = true;
        }
    }
    if (!known) return false;
    out.count = -1;
    if (colon != std::string::npos) {
        uint64_t v = 0;
        if (!ParseUnsigned(text.substr(colon + 1), 10, v)) return false;
        out.count = static_cast<int64_t>(v);
    }
    return true;
}

int64_t DefaultPowerLossCount(Stage s) {
    switch (s) {
    case Stage::Download: return 6000;  // inside the image, about half way
    case Stage::Erase: return 14;       // the whole erase telegram: the erase is under way
    case Stage::Program: return 2000;   // inside the ninth program telegram
    case Stage::Checksum: return 5;     // inside the checksum telegram
    default: return 1;
    }
}

bool ParsePowerLoss(const std::string& text, FaultConfig& f) {
    StagePoint p;
    if (!ParseStagePoint(text, p) || p.stage == Stage::Start) return false;
    f.powerLosses.push_back(p);
    return true;
}

bool ParseTelegramErrors(const std::string& text, FaultConfig& f) {
    const size_t colon = text.find(':');
    uint64_t n = 0;
    if (!ParseUnsigned(text.substr(0, colon), 10, n) || n > 1000000) return false;
    f.telegramErrors = static_cast<int>(n);
    f.telegramErrorCommand = -1;
    if (colon != std::string::npos) {
        uint64_t cmd = 0;
        if (!ParseUnsigned(text.substr(colon + 1), 16, cmd) || cmd > 0xFF) return false;
        f.telegramErrorCommand = static_cast<int>(cmd);
    }
    return true;
}

bool ParseErrorReplies(const std::string& text, FaultConfig& f) {
    const size_t c1 = text.find(':');
    if (c1 == std::string::npos) return false;
    const size_t c2 = text.find(':', c1 + 1);
    uint64_t byte = 0, n = 0, cmd = 0;
    if (!ParseUnsigned(text.substr(0, c1), 16, byte) || byte > 0xFF) return false;
    if (!ParseUnsigned(text.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1), 10, n) ||
        n > 1000000)
        return false;
    f.errorReplies.errorByte = static_cast<uint8_t>(byte);
    f.errorReplies.count = static_cast<int>(n);
    f.errorReplies.command = -1;
    if (c2 != std::string::npos) {
        if (!ParseUnsigned(text.substr(c2 + 1), 16, cmd) || cmd > 0xFF) return false;
        f.errorReplies.command = static_cast<int>(cmd);
    }
    return true;
}

}  // namespace sim
