// Fault injection of the virtual sensor: every fault is reproducible, either
// at fixed byte positions or at a rate drawn from a seeded generator.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>

namespace sim {

// Drops or corrupts bytes of one direction at a rate and/or at positions
// (0-based index of the byte in that direction since the sensor started).
class ByteFault {
public:
    double rate = 0.0;
    std::set<uint64_t> positions;
    bool Active() const { return rate > 0.0 || !positions.empty(); }
    bool Hit(uint64_t index, std::mt19937_64& rng) const;
};

enum class PowerLossPhase { None, Download, Erase, Program, Checksum };

struct FaultConfig {
    uint64_t seed = 1;
    ByteFault rxDrop, rxCorrupt, txDrop, txCorrupt;
    bool noBootAnswer = false;
    std::string verdict;            // empty: the loader answers honestly
    int telegramErrors = 0;         // first N telegrams answered 20 F4
    int telegramErrorCommand = -1;  // only telegrams with this command byte (-1: any)
    int busyAnswers = 0;            // "busy_" to the first N listing requests
    int bootAnswers = 0;            // "boot_" to the first N listing requests
    int64_t stuckCell = -1;         // flash offset that will not program
    PowerLossPhase powerLoss = PowerLossPhase::None;
    int64_t powerLossBytes = -1;    // -1: the phase's default
    std::string idNoise;            // sent before the identity reply's '@'
};

// "download|erase|program|checksum[:BYTES]"; false on a malformed text.
bool ParsePowerLoss(const std::string& text, FaultConfig& f);
// "N" or "N:CMD" (CMD in hex, e.g. 25); false on a malformed text.
bool ParseTelegramErrors(const std::string& text, FaultConfig& f);
// Comma-separated byte positions; false on a malformed text.
bool ParsePositions(const std::string& text, std::set<uint64_t>& out);

const char* PhaseName(PowerLossPhase p);

}  // namespace sim
