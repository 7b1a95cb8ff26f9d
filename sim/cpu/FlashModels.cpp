// Behavioural models of the two flash families the transfer program drives.
// They follow the parts' data sheets, not the program: command cycles are
// decoded as the device decodes them, programming only clears bits, and a
// command out of sequence drops the device back to reading the array.
#include "sim/cpu/SensorCpu.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <set>

namespace sim {
namespace {

constexpr uint32_t kFlashSize = 0x20000;  // 128 KiB

// ---------------------------------------------------------------------------
// AM29F010-style single-supply part: unlock cycles, autoselect, embedded
// program and sector erase algorithms with data polling.
class Am29F010 final : public FlashModel {
public:
    explicit Am29F010(uint32_t eraseMsPerSector) : cells_(kFlashSize, 0xFF), eraseMsPerSector_(eraseMsPerSector) {}

    uint8_t Read(uint32_t offset) override {
        offset %= kFlashSize;
        switch (busy_) {
        case Busy::None: break;
        case Busy::Program:
            if (programReadsLeft_ > 0) {
                --programReadsLeft_;
                return ProgramStatus(false);
            }
            if (programFailed_) {
                busy_ = Busy::ProgramFailed;
                return ProgramStatus(true);
            }
            busy_ = Busy::None;
            break;
        case Busy::ProgramFailed: return ProgramStatus(true);
        case Busy::EraseWindow:
            // The first look at the status closes the window for further
            // sector commands; the embedded erase starts.
            StartErase();
            return EraseStatus(offset);
        case Busy::Erase:
            if (!EraseFinished()) {
                // A status read takes a little while during the erase, so
                // that a program polling the part does not spin a processor
                // of the machine for the seconds the erase takes.
                const auto left = eraseEnd_ - Clock::now();
                std::this_thread::sleep_for(std::min<Clock::duration>(left, std::chrono::milliseconds(1)));
                return EraseStatus(offset);
            }
            if (busy_ == Busy::EraseFailed) return EraseStatus(offset);
            break;
        case Busy::EraseFailed: return EraseStatus(offset);
        }
        if (autoselect_) return AutoselectCode(offset);
        return cells_[offset];
    }

    void Write(uint32_t offset, uint8_t value) override {
        offset %= kFlashSize;
        if (busy_ == Busy::Erase) EraseFinished();
        switch (busy_) {
        case Busy::None: break;
        case Busy::Program:
        case Busy::Erase: return;  // the embedded algorithm ignores writes while it runs
        case Busy::ProgramFailed:
        case Busy::EraseFailed:
            // Only a reset leaves the failure state.
            if (value == 0xF0) {
                busy_ = Busy::None;
                eraseSectors_.clear();
                ToReadArray();
            }
            return;
        case Busy::EraseWindow:
            if (value == 0x30) {
                eraseSectors_.insert(offset / kSectorSize);
            } else {
                // Any other command within the window cancels the erase.
                eraseSectors_.clear();
                busy_ = Busy::None;
                ToReadArray();
            }
            return;
        }
        const uint32_t cmdAddr = offset & 0x7FFF;  // the part decodes A14..A0 in command cycles
        switch (step_) {
        case Step::Idle:
            if (value == 0xF0) {
                ToReadArray();
            } else if (value == 0xAA && cmdAddr == 0x5555) {
                step_ = Step::Unlock1;
            } else if (autoselect_) {
                ToReadArray();
            }
            return;
        case Step::Unlock1:
            if (value == 0x55 && cmdAddr == 0x2AAA)
                step_ = Step::Unlock2;
            else
                ToReadArray();
            return;
        case Step::Unlock2:
            if (cmdAddr != 0x5555) {
                ToReadArray();
            } else if (value == 0x90) {
                autoselect_ = true;
                step_ = Step::Idle;
            } else if (value == 0xA0) {
                step_ = Step::ProgramSetup;
            } else if (value == 0x80) {
                step_ = Step::EraseSetup;
            } else {
                ToReadArray();  // 0xF0 and anything unknown
            }
            return;
        case Step::ProgramSetup: StartProgram(offset, value); return;
        case Step::EraseSetup:
            if (value == 0xAA && cmdAddr == 0x5555)
                step_ = Step::EraseUnlock1;
            else
                ToReadArray();
            return;
        case Step::EraseUnlock1:
            if (value == 0x55 && cmdAddr == 0x2AAA)
                step_ = Step::EraseUnlock2;
            else
                ToReadArray();
            return;
        case Step::EraseUnlock2:
            step_ = Step::Idle;
            autoselect_ = false;
            if (value == 0x30) {
                eraseSectors_.clear();
                eraseSectors_.insert(offset / kSectorSize);
                busy_ = Busy::EraseWindow;
            } else if (value == 0x10 && cmdAddr == 0x5555) {
                eraseSectors_.clear();
                for (uint32_t s = 0; s < kFlashSize / kSectorSize; ++s) eraseSectors_.insert(s);
                StartErase();
            } else {
                ToReadArray();
            }
            return;
        }
    }

    std::vector<uint8_t>& Cells() override {
        if (busy_ == Busy::Erase) EraseFinished();
        return cells_;
    }
    uint32_t Size() const override { return kFlashSize; }
    const char* Name() const override { return "AM29F010"; }

    // Sectors are erased one after the other: those whose time has passed
    // are erased, the one under way is left half erased.
    void PowerCut() override {
        if (busy_ == Busy::Erase && !EraseFinished() && eraseMsPerSector_ > 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(eraseEnd_ - Clock::now()).count();
            const uint64_t total = uint64_t{eraseMsPerSector_} * eraseSectors_.size();
            const uint64_t elapsed =
                total - std::min<uint64_t>(total, static_cast<uint64_t>(std::max<int64_t>(left, 0)));
            uint64_t done = elapsed / eraseMsPerSector_;
            for (uint32_t sector : eraseSectors_) {
                const uint32_t end = done > 0 ? kSectorSize : kSectorSize / 2;
                for (uint32_t a = sector * kSectorSize; a < sector * kSectorSize + end; ++a)
                    if (static_cast<int64_t>(a) != stuckCell_) cells_[a] = 0xFF;
                if (done == 0) break;
                --done;
            }
        }
        busy_ = Busy::None;
        eraseSectors_.clear();
        ToReadArray();
    }

private:
    static constexpr uint32_t kSectorSize = 0x4000;
    static constexpr int kEraseFails = 1, kEraseHangs = 2, kErasePartial = 3;
    static constexpr uint8_t kManufacturer = 0x01;
    static constexpr uint8_t kDevice = 0x20;
    // Status reads during which a byte program is still running.
    static constexpr int kProgramBusyReads = 2;

    enum class Step { Idle, Unlock1, Unlock2, ProgramSetup, EraseSetup, EraseUnlock1, EraseUnlock2 };
    enum class Busy { None, Program, ProgramFailed, EraseWindow, Erase, EraseFailed };
    using Clock = std::chrono::steady_clock;

    void ToReadArray() {
        step_ = Step::Idle;
        autoselect_ = false;
    }

    uint8_t AutoselectCode(uint32_t offset) const {
        switch (offset & 0x3) {
        case 0: return kManufacturer;
        case 1: return kDevice;
        default: return 0x00;  // sector protection: not protected
        }
    }

    void StartProgram(uint32_t offset, uint8_t value) {
        step_ = Step::Idle;
        autoselect_ = false;
        uint8_t& cell = cells_[offset];
        // Programming can only turn ones into zeros; a stuck cell keeps its bits.
        const bool stuck = static_cast<int64_t>(offset) == stuckCell_;
        if (stuck && (cell & value) != cell) {
            ++stuckHits_;
            NoteDefect("stuck cell kept its bits in a program", offset);
        }
        const uint8_t result = stuck ? cell : (cell & value);
        cell = result;
        programData_ = value;
        programFailed_ = result != value;
        programReadsLeft_ = kProgramBusyReads;
        busy_ = Busy::Program;
    }

    // DQ7 complemented while busy, DQ6 toggling, DQ5 once the time limit is exceeded.
    uint8_t ProgramStatus(bool timeLimitExceeded) {
        toggle_ ^= 0x40;
        uint8_t status = static_cast<uint8_t>((~programData_ & 0x80) | toggle_);
        if (timeLimitExceeded) status |= 0x20;
        return status;
    }

    void StartErase() {
        busy_ = Busy::Erase;
        eraseEnd_ =
            Clock::now() + std::chrono::milliseconds(static_cast<uint64_t>(eraseMsPerSector_) * eraseSectors_.size());
        if (eraseDefect_ == kEraseHangs) {
            // The embedded algorithm never ends: the part shows "erasing"
            // until its power is cut.
            eraseEnd_ = Clock::now() + std::chrono::hours(24 * 365);
            NoteDefect("erase never completes", *eraseSectors_.begin() * kSectorSize);
        }
    }

    // The cells a defective erase leaves as they were: the first sector of
    // the erase when it fails, the upper half of it when it completes short.
    std::pair<uint32_t, uint32_t> DefectiveRange() const {
        if (eraseSectors_.empty() || (eraseDefect_ != kEraseFails && eraseDefect_ != kErasePartial)) return {0, 0};
        const uint32_t first = *eraseSectors_.begin() * kSectorSize;
        return eraseDefect_ == kEraseFails ? std::pair{first, first + kSectorSize}
                                           : std::pair{first + kSectorSize / 2, first + kSectorSize};
    }

    // DQ7 reads 0 while erasing, DQ6 toggles, DQ5 shows a failed erase, DQ3
    // shows the erase has begun and DQ2 toggles when the address lies in a
    // sector being erased.
    uint8_t EraseStatus(uint32_t offset) {
        toggle_ ^= 0x40;
        uint8_t status = static_cast<uint8_t>(toggle_ | 0x08);
        if (busy_ == Busy::EraseFailed) status |= 0x20;
        if (eraseSectors_.count(offset / kSectorSize)) {
            dq2_ ^= 0x04;
            status |= dq2_;
        }
        return status;
    }

    // Ends a timed erase once its time is up. A stuck cell keeps its bits;
    // when that leaves it programmed the erase fails and the part keeps
    // showing status until it is reset.
    bool EraseFinished() {
        if (Clock::now() < eraseEnd_) return false;
        bool failed = false;
        const auto [keepFrom, keepTo] = DefectiveRange();
        bool kept = false;
        for (uint32_t s : eraseSectors_) {
            for (uint32_t a = s * kSectorSize; a < (s + 1) * kSectorSize; ++a) {
                if (a >= keepFrom && a < keepTo) {
                    kept |= cells_[a] != 0xFF;
                } else if (static_cast<int64_t>(a) == stuckCell_) {
                    failed |= cells_[a] != 0xFF;
                    if (cells_[a] != 0xFF) {
                        ++stuckHits_;
                        NoteDefect("stuck cell kept its bits in an erase", a);
                    }
                } else
                    cells_[a] = 0xFF;
            }
        }
        if (kept) NoteDefect(eraseDefect_ == kEraseFails ? "erase failed" : "erase left cells programmed", keepFrom);
        // A failing erase says so; a short one does not (the cells read back
        // programmed all the same).
        if (eraseDefect_ == kEraseFails && keepTo > keepFrom) failed = true;
        busy_ = failed ? Busy::EraseFailed : Busy::None;
        if (!failed) eraseSectors_.clear();
        ToReadArray();
        return true;
    }

    std::vector<uint8_t> cells_;
    uint32_t eraseMsPerSector_;
    Step step_ = Step::Idle;
    Busy busy_ = Busy::None;
    bool autoselect_ = false;
    uint8_t programData_ = 0;
    bool programFailed_ = false;
    int programReadsLeft_ = 0;
    uint8_t toggle_ = 0;
    uint8_t dq2_ = 0;
    std::set<uint32_t> eraseSectors_;
    Clock::time_point eraseEnd_{};
};

// ---------------------------------------------------------------------------
// 28F010-style part with a programming-voltage command set: every operation
// is a command written to the device followed by a timed pulse that the
// controlling program ends with the next command.
class FamilyA final : public FlashModel {
public:
    explicit FamilyA(unsigned erasePulsesNeeded)
        : cells_(kFlashSize, 0xFF), erasePulsesNeeded_(erasePulsesNeeded ? erasePulsesNeeded : 1) {}

    uint8_t Read(uint32_t offset) override {
        offset %= kFlashSize;
        switch (mode_) {
        case Mode::Identifier: return (offset & 1) ? kDevice : kManufacturer;
        case Mode::EraseVerify: return cells_[verifyAddr_];
        default: return cells_[offset];
        }
    }

    void Write(uint32_t offset, uint8_t value) override {
        offset %= kFlashSize;
        if (mode_ == Mode::ProgramSetup) {
            // The data write starts a program pulse; it ends with the next command.
            if (static_cast<int64_t>(offset) != stuckCell_)
                cells_[offset] &= value;
            else if ((cells_[offset] & value) != cells_[offset]) {
                ++stuckHits_;
                NoteDefect("stuck cell kept its bits in a program", offset);
            }
            mode_ = Mode::Programming;
            return;
        }
        if (mode_ == Mode::EraseSetup) {
            if (value == 0x20) {
                // The erase pulse. A part needs a number of pulses before its
                // cells read erased; the whole array erases at once.
                if (++erasePulses_ >= erasePulsesNeeded_) {
                    // A stuck cell keeps its bits.
                    const bool stuck = stuckCell_ >= 0 && stuckCell_ < int64_t{kFlashSize};
                    const uint8_t kept = stuck ? cells_[static_cast<size_t>(stuckCell_)] : 0;
                    if (stuck && kept != 0xFF) {
                        ++stuckHits_;
                        NoteDefect("stuck cell kept its bits in an erase", static_cast<uint32_t>(stuckCell_));
                    }
                    std::fill(cells_.begin(), cells_.end(), 0xFF);
                    if (stuck) cells_[static_cast<size_t>(stuckCell_)] = kept;
                    erasePulses_ = 0;
                }
                mode_ = Mode::Erasing;
            } else {
                mode_ = Mode::ReadArray;  // erase not confirmed
            }
            return;
        }
        switch (value) {
        case 0x00: mode_ = Mode::ReadArray; break;
        case 0x90: mode_ = Mode::Identifier; break;
        case 0x20: mode_ = Mode::EraseSetup; break;
        case 0xA0:
            mode_ = Mode::EraseVerify;
            verifyAddr_ = offset;
            break;
        case 0x40:
        case 0x10: mode_ = Mode::ProgramSetup; break;
        case 0xC0: mode_ = Mode::ProgramVerify; break;
        case 0xFF: mode_ = Mode::ReadArray; break;  // reset
        default: mode_ = Mode::ReadArray; break;
        }
    }

    std::vector<uint8_t>& Cells() override { return cells_; }
    uint32_t Size() const override { return kFlashSize; }
    const char* Name() const override { return "28F010"; }

private:
    static constexpr uint8_t kManufacturer = 0x89;
    static constexpr uint8_t kDevice = 0xB4;

    enum class Mode {
        ReadArray,
        Identifier,
        EraseSetup,
        Erasing,
        EraseVerify,
        ProgramSetup,
        Programming,
        ProgramVerify
    };

    std::vector<uint8_t> cells_;
    unsigned erasePulsesNeeded_;
    unsigned erasePulses_ = 0;
    Mode mode_ = Mode::ReadArray;
    uint32_t verifyAddr_ = 0;
};

}  // namespace

std::unique_ptr<FlashModel> MakeAm29F010(uint32_t eraseMsPerSector) {
    return std::make_unique<Am29F010>(eraseMsPerSector);
}

std::unique_ptr<FlashModel> MakeFamilyA(unsigned erasePulsesNeeded) {
    return std::make_unique<FamilyA>(erasePulsesNeeded);
}

}  // namespace sim
