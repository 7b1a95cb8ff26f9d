// The virtual sensor's processor: a 16-bit x86-family microcontroller in real
// mode, emulated with unicorn, with RAM below 0x80000, the flash device at
// 0x80000..0x9FFFF, and the on-chip serial channel as a pair of byte queues.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sim {

// A flash device as the processor sees it: byte reads and writes at offsets
// from the device's base, behaving like the part's data sheet (command
// cycles, status polling, programming only clears bits).
class FlashModel {
public:
    virtual ~FlashModel() = default;
    virtual uint8_t Read(uint32_t offset) = 0;
    virtual void Write(uint32_t offset, uint8_t value) = 0;
    // The array contents (as they would read in read-array mode).
    virtual std::vector<uint8_t>& Cells() = 0;
    virtual uint32_t Size() const = 0;
    virtual const char* Name() const = 0;
    // Fault injection: a cell that will not program (its bits stay as they
    // are, through program and erase alike). -1 for none.
    virtual void SetStuckCell(int64_t offset) { stuckCell_ = offset; }
    // The supply fails: an operation under way stops where it is.
    virtual void PowerCut() {}
    // How often the stuck cell kept bits that a program or erase would have
    // changed (any thread).
    uint64_t StuckCellHits() const { return stuckHits_.load(); }
    // Fault injection: a defect of the part's embedded erase (0 none,
    // 1 it fails, 2 it never completes, 3 it completes leaving part of a
    // sector as it was).
    virtual void SetEraseDefect(int defect) { eraseDefect_ = defect; }

    // Where a defect changed what the part did ("stuck cell", "erase
    // failed", ...; offset of the cell or sector), in order, since the last
    // call (any thread; at most a few dozen are kept).
    struct DefectHit {
        std::string what;
        uint32_t offset;
    };
    std::vector<DefectHit> TakeDefectHits() {
        std::lock_guard<std::mutex> lock(hitsMutex_);
        return std::exchange(hits_, {});
    }

    // Held by the processor around every access of the part, and by whoever
    // copies the cells while a program may run.
    std::mutex& AccessMutex() { return accessMutex_; }

protected:
    void NoteDefect(const char* what, uint32_t offset) {
        std::lock_guard<std::mutex> lock(hitsMutex_);
        if (hits_.size() < 64) hits_.push_back({what, offset});
    }
    int64_t stuckCell_ = -1;
    int eraseDefect_ = 0;
    std::atomic<uint64_t> stuckHits_{0};

private:
    std::mutex hitsMutex_, accessMutex_;
    std::vector<DefectHit> hits_;
};

// AM29F010-style part (family B): 128 KiB, eight 16 KiB sectors, unlock
// cycles at 0x5555/0x2AAA, autoselect, byte program, sector erase, DQ7/DQ5.
std::unique_ptr<FlashModel> MakeAm29F010(uint32_t eraseMsPerSector = 0);
// 28F010-style part (family A): 0x90 identify, 0x40/0xC0 program and verify,
// 0x20 0x20 erase, 0xA0 erase verify, 0x00 read. The array reads erased only
// after erasePulsesNeeded erase pulses.
std::unique_ptr<FlashModel> MakeFamilyA(unsigned erasePulsesNeeded = 1);

class SensorCpu {
public:
    enum class Exit { Restart, Stopped, Fault };

    explicit SensorCpu(FlashModel& flash);
    ~SensorCpu();

    // Copies an image into RAM at seg:off; Run starts there with CS = seg.
    void LoadImage(const uint8_t* data, size_t size, uint16_t seg = 0x0400, uint16_t off = 0x0100);
    // Executes until the program restarts the sensor (far jump/call to
    // FFFF:0000), Stop() is called, or the emulation faults. Blocks the
    // calling thread; a GetByte loop with no byte waiting blocks too.
    Exit Run();
    // Any thread. Ends the Run in progress; with none in progress, the next
    // Run returns Stopped at once.
    void Stop();

    // Blocks until the program waits for a serial byte with none queued (it
    // has taken everything it was sent), or the time-out passes. Any thread.
    bool WaitUntilReceiving(int timeoutMs);

    // Serial channel, host side. The channel behaves as the chip's serial
    // unit does, in emulated time (instructions executed at a nominal
    // clock, so that a busy host machine changes nothing): bytes reach its
    // one-byte receive buffer one character time apart at the most, and a
    // byte arriving before the program read the one before overwrites it
    // (overrun); after a write the transmitter is busy for one character
    // time, and a byte written meanwhile is lost.
    static constexpr uint64_t kInstructionsPerSecond = 2000000;
    // The line's rate and character length (start, data, parity and stop
    // bits); 38400 baud, 12 bits until set.
    void SetLineRate(int baud, int bitsPerChar);
    void PushRx(uint8_t byte);  // a byte arriving at the sensor
    // Called on the Run thread for every byte the program transmits.
    std::function<void(uint8_t)> onTransmit;
    uint64_t ReceiveOverruns() const;   // bytes overwritten unread
    uint64_t TransmitOverruns() const;  // bytes written while the transmitter was busy
    uint64_t Instructions() const;      // emulated time so far

    // Recorded I/O for tests.
    std::vector<uint8_t> ServiceWrites() const;  // bytes written to port 0xFF28
    uint64_t Port82Pulses() const;               // count of bit-1 pulses of port 0x82

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
