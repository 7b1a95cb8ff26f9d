// Fault injection of the virtual sensor: every fault is reproducible, either
// at fixed byte positions or at a rate drawn from a seeded generator, or at a
// point of an update or calibration transfer (a stage and a count into it).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace sim {

// Where a byte on the line belongs, for faults placed within one kind of
// traffic. Host to sensor: text commands, the boot loader's download, the
// telegrams to a running program, and the host's echoes of the program's
// bytes. Sensor to host: text answers, the loader's verdict, the program's
// (or the sensor's own) reply bytes.
enum class LinePhase { Text, Download, Telegram, Echo, Verdict, Reply };
constexpr int kLinePhases = 6;
const char* LinePhaseName(LinePhase p);
std::optional<LinePhase> LinePhaseFromName(const std::string& name);

// Drops or corrupts bytes of one direction at a rate and/or at positions:
// the 0-based index of the byte in that direction since the sensor started,
// or its index within one line phase.
class ByteFault {
public:
    double rate = 0.0;
    std::set<uint64_t> positions;
    std::map<LinePhase, std::set<uint64_t>> phasePositions;
    bool Active() const { return rate > 0.0 || !positions.empty() || !phasePositions.empty(); }
    bool Hit(uint64_t index, LinePhase phase, uint64_t phaseIndex, std::mt19937_64& rng) const;
};

// Stages of the sensor's work at which a fault can be placed. The unit of
// the count depends on the stage: Boot, Flsh and CalShow count commands,
// CalRead records received, Download bytes taken by the loader, and the
// telegram stages bytes of their telegrams (length byte and command byte
// counted together). Counts start again at every restart and every "flsh";
// Start fires at power-up.
enum class Stage { Start, Boot, Flsh, Download, Power, Identify, Erase, Program, Checksum, End, CalShow, CalRead };
const char* StageName(Stage s);

struct StagePoint {
    Stage stage = Stage::Start;
    int64_t count = -1;  // -1: the stage's default
    std::string Text() const;
};

struct ErrorReplyFault {
    int count = 0;     // telegrams answered so
    int command = -1;  // only telegrams with this command byte (-1: any)
    uint8_t errorByte = 0xF5;
};

// A flash part's defect that stays with the sensor: the embedded erase
// reports a failure (DQ5) with a sector left as it was, never completes, or
// completes with part of a sector not erased.
enum class EraseDefect { None, Fails, Hangs, Partial };
const char* EraseDefectName(EraseDefect d);
std::optional<EraseDefect> EraseDefectFromName(const std::string& name);

struct FaultConfig {
    uint64_t seed = 1;
    ByteFault rxDrop, rxCorrupt, txDrop, txCorrupt;
    // A noisy line's extra bytes: a byte of noise before the byte at the
    // position, or the byte taken twice.
    ByteFault rxInsert, rxDuplicate, txInsert, txDuplicate;
    bool noBootAnswer = false;
    std::string verdict;                   // empty: the loader answers honestly
    int telegramErrors = 0;                // first N telegrams answered 20 F4
    int telegramErrorCommand = -1;         // only telegrams with this command byte (-1: any)
    ErrorReplyFault errorReplies;          // telegrams the sensor answers 20 xx in place of the program
    int busyAnswers = 0;                   // "busy_" to the first N listing requests
    int bootAnswers = 0;                   // "boot_" to the first N listing requests
    int64_t stuckCell = -1;                // flash offset that will not program
    std::vector<StagePoint> powerLosses;   // each fires once, in order
    std::optional<StagePoint> silentFrom;  // the sensor hangs: hears and says nothing more
    std::optional<StagePoint> cutAt;       // the cable is pulled (the sensor keeps running)
    double replugSeconds = 1.0;            // ... and plugged in again after this long
    std::optional<StagePoint> breakAt;     // the line goes dead, the device stays open
    double breakSeconds = 2.0;             // ... for this long, and at least until a byte was lost
    EraseDefect eraseDefect = EraseDefect::None;
    std::vector<StagePoint> notices;  // announced on standard output when reached
    std::string idNoise;              // sent before the identity reply's '@'
};

// "STAGE[:COUNT]" with the stages named as StageName gives them; false on a
// malformed text.
bool ParseStagePoint(const std::string& text, StagePoint& out);
// "download|erase|program|checksum|...[:BYTES]"; appends a power loss.
bool ParsePowerLoss(const std::string& text, FaultConfig& f);
// "N" or "N:CMD" (CMD in hex, e.g. 25); false on a malformed text.
bool ParseTelegramErrors(const std::string& text, FaultConfig& f);
// "BYTE:N[:CMD]", BYTE and CMD in hex (e.g. F1:2:25).
bool ParseErrorReplies(const std::string& text, FaultConfig& f);
// Comma-separated byte positions, each a plain index or PHASE:INDEX;
// false on a malformed text.
bool ParsePositions(const std::string& text, ByteFault& out);

// The power-loss count a stage uses when none is given.
int64_t DefaultPowerLossCount(Stage s);

}  // namespace sim
