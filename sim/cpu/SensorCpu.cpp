// The sensor's processor in emulation: unicorn in 16-bit real mode with the
// sensor's memory map and the on-chip peripherals the transfer program uses.
#include "sim/cpu/SensorCpu.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <optional>

#if defined(__SANITIZE_ADDRESS__)
// unicorn keeps its self-modifying-code bitmaps past uc_close; that memory is
// the library's, not a leak of ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libunicorn.so\n"; }
#endif

namespace sim {
namespace {

constexpr uint64_t kRamEnd = 0x80000;
constexpr uint64_t kFlashBase = 0x80000;
constexpr uint64_t kResetPage = 0xFF000;
constexpr uint64_t kResetVector = 0xFFFF0;  // FFFF:0000
constexpr uint64_t kMemoryEnd = 0x100000;

constexpr uint32_t kPortStatus = 0xFF66;
constexpr uint32_t kPortRx = 0xFF68;
constexpr uint32_t kPortTx = 0xFF6A;
constexpr uint32_t kPortService = 0xFF28;
constexpr uint32_t kPortControl = 0x82;
constexpr uint32_t kStatusTxReady = 0x08;
constexpr uint32_t kStatusRxReady = 0x40;
constexpr uint32_t kStatusOverrun = 0x04;  // cleared by reading the status
constexpr uint8_t kControlPulseBit = 0x02;

// A program that reads the same status this many times in a row is waiting
// for it to change: emulated time moves on to the next change (a byte
// arriving, the transmitter done), or, with none to come, the read blocks
// until a byte is pushed instead of letting the emulated loop spin a host
// processor.
constexpr int kIdleStatusReadsBeforeBlocking = 2;

}  // namespace

struct SensorCpu::Impl {
    SensorCpu& owner;
    FlashModel& flash;
    uc_engine* uc = nullptr;

    mutable std::mutex mutex;
    std::condition_variable cv;
    bool stopRequested = false;
    bool running = false;
    bool waitingForByte = false;
    int idleStatusReads = 0;
    uint32_t lastStatus = 0;

    // Emulated time in instructions; written by the Run thread alone.
    std::atomic<uint64_t> now{0};
    uint64_t charInsns = 12 * SensorCpu::kInstructionsPerSecond / 38400;
    // Bytes on their way in, each with its arrival time.
    struct Incoming {
        uint8_t byte;
        uint64_t at;
    };
    std::deque<Incoming> rx;
    bool anyArrival = false;
    uint64_t lastArrival = 0;
    bool rbrFull = false;
    uint8_t rxLatch = 0;
    bool overrunFlag = false;
    uint64_t overruns = 0;
    uint64_t txBusyUntil = 0;
    uint64_t txOverruns = 0;
    std::vector<uint8_t> serviceWrites;
    uint8_t control = 0;
    uint64_t controlPulses = 0;

    bool restart = false;  // Run thread only

    Impl(SensorCpu& o, FlashModel& f) : owner(o), flash(f) {}

    static uint64_t FlashRead(uc_engine*, uint64_t offset, unsigned size, void* user) {
        auto* self = static_cast<Impl*>(user);
        std::lock_guard<std::mutex> lock(self->flash.AccessMutex());
        uint64_t value = 0;
        for (unsigned i = 0; i < size; ++i)
            value |= static_cast<uint64_t>(self->flash.Read(static_cast<uint32_t>(offset + i))) << (8 * i);
        return value;
    }

    static void FlashWrite(uc_engine*, uint64_t offset, unsigned size, uint64_t value, void* user) {
        auto* self = static_cast<Impl*>(user);
        std::lock_guard<std::mutex> lock(self->flash.AccessMutex());
        for (unsigned i = 0; i < size; ++i)
            self->flash.Write(static_cast<uint32_t>(offset + i), static_cast<uint8_t>(value >> (8 * i)));
    }

    // Nothing decodes these addresses: reads float high, writes vanish.
    static uint64_t OpenBusRead(uc_engine*, uint64_t, unsigned size, void*) {
        return size >= 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * size)) - 1;
    }
    static void OpenBusWrite(uc_engine*, uint64_t, unsigned, uint64_t, void*) {}

    static void CountInstruction(uc_engine*, uint64_t, uint32_t, void* user) {
        auto* self = static_cast<Impl*>(user);
        self->now.store(self->now.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }

    // Moves the bytes that have arrived by emulated time t into the receive
    // buffer (mutex held).
    void Arrive(uint64_t t) {
        while (!rx.empty() && rx.front().at <= t) {
            if (rbrFull) {
                ++overruns;
                overrunFlag = true;
            }
            rxLatch = rx.front().byte;
            rbrFull = true;
            rx.pop_front();
        }
    }

    uint32_t Status(uint64_t t) const {
        uint32_t status = 0;
        if (t >= txBusyUntil) status |= kStatusTxReady;
        if (rbrFull) status |= kStatusRxReady;
        if (overrunFlag) status |= kStatusOverrun;
        return status;
    }

    static uint32_t PortIn(uc_engine* uc, uint32_t port, int, void* user) {
        auto* self = static_cast<Impl*>(user);
        std::unique_lock<std::mutex> lock(self->mutex);
        uint64_t t = self->now.load(std::memory_order_relaxed);
        self->Arrive(t);
        if (port == kPortStatus) {
            uint32_t status = self->Status(t);
            if (status != self->lastStatus) self->idleStatusReads = 0;
            if (++self->idleStatusReads > kIdleStatusReadsBeforeBlocking) {
                // Waiting for a change: skip to the next one, or block for a byte.
                std::optional<uint64_t> next;
                if (t < self->txBusyUntil) next = self->txBusyUntil;
                if (!self->rx.empty() && (!next || self->rx.front().at < *next)) next = self->rx.front().at;
                if (!next && !self->rbrFull) {
                    self->waitingForByte = true;
                    self->cv.notify_all();
                    self->cv.wait(lock, [self] { return !self->rx.empty() || self->stopRequested; });
                    self->waitingForByte = false;
                    self->Arrive(t);
                    if (!self->rx.empty() && !self->rbrFull) next = self->rx.front().at;
                }
                if (next) {
                    t = *next;
                    self->now.store(t, std::memory_order_relaxed);
                    self->Arrive(t);
                }
                status = self->Status(t);
            }
            if (self->stopRequested) {
                uc_emu_stop(uc);
                return kStatusTxReady;
            }
            self->overrunFlag = false;
            self->lastStatus = status;
            return status;
        }
        self->idleStatusReads = 0;
        if (port == kPortRx) {
            // Reading the buffer takes the byte; with none there it repeats the last.
            self->rbrFull = false;
            return self->rxLatch;
        }
        if (port == kPortControl) return self->control;
        return 0xFFFF;
    }

    static void PortOut(uc_engine*, uint32_t port, int, uint32_t value, void* user) {
        auto* self = static_cast<Impl*>(user);
        const auto byte = static_cast<uint8_t>(value);
        bool transmit = false;
        {
            std::lock_guard<std::mutex> lock(self->mutex);
            self->idleStatusReads = 0;
            if (port == kPortTx) {
                const uint64_t t = self->now.load(std::memory_order_relaxed);
                if (t < self->txBusyUntil) {
                    ++self->txOverruns;  // the transmitter is still busy: the byte is lost
                } else {
                    self->txBusyUntil = t + self->charInsns;
                    transmit = true;
                }
            } else if (port == kPortService) {
                self->serviceWrites.push_back(byte);
            } else if (port == kPortControl) {
                if ((self->control & kControlPulseBit) && !(byte & kControlPulseBit)) ++self->controlPulses;
                self->control = byte;
            }
        }
        if (transmit && self->owner.onTransmit) self->owner.onTransmit(byte);
    }

    static void AtResetVector(uc_engine* uc, uint64_t, uint32_t, void* user) {
        static_cast<Impl*>(user)->restart = true;
        uc_emu_stop(uc);
    }

    void Check(uc_err err, const char* what) {
        if (err != UC_ERR_OK) {
            std::fprintf(stderr, "SensorCpu: %s: %s\n", what, uc_strerror(err));
            std::abort();
        }
    }

    void Open() {
        Check(uc_open(UC_ARCH_X86, UC_MODE_16, &uc), "uc_open");
        Check(uc_mem_map(uc, 0, kRamEnd, UC_PROT_ALL), "map RAM");
        Check(uc_mmio_map(uc, kFlashBase, flash.Size(), FlashRead, this, FlashWrite, this), "map flash");
        Check(uc_mmio_map(uc, kFlashBase + flash.Size(), kResetPage - (kFlashBase + flash.Size()), OpenBusRead, nullptr,
                          OpenBusWrite, nullptr),
              "map open bus");
        // The top page holds the reset vector; reaching it means a restart.
        Check(uc_mem_map(uc, kResetPage, kMemoryEnd - kResetPage, UC_PROT_READ | UC_PROT_EXEC), "map reset page");
        const uint8_t haltLoop[] = {0xEB, 0xFE};  // jmp $
        Check(uc_mem_write(uc, kResetVector, haltLoop, sizeof haltLoop), "reset vector");
        uc_hook hook;
        Check(uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(PortIn), this, 1, 0, UC_X86_INS_IN),
              "hook IN");
        Check(uc_hook_add(uc, &hook, UC_HOOK_INSN, reinterpret_cast<void*>(PortOut), this, 1, 0, UC_X86_INS_OUT),
              "hook OUT");
        Check(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(AtResetVector), this, kResetVector,
                          kResetVector),
              "hook reset");
        Check(uc_hook_add(uc, &hook, UC_HOOK_CODE, reinterpret_cast<void*>(CountInstruction), this, 1, 0),
              "hook clock");
    }

    uint64_t CurrentLinearPc() {
        uint32_t cs = 0, ip = 0;
        uc_reg_read(uc, UC_X86_REG_CS, &cs);
        uc_reg_read(uc, UC_X86_REG_IP, &ip);
        return (uint64_t{cs & 0xFFFF} << 4) + (ip & 0xFFFF);
    }
};

SensorCpu::SensorCpu(FlashModel& flash) : impl_(std::make_unique<Impl>(*this, flash)) { impl_->Open(); }

SensorCpu::~SensorCpu() {
    if (impl_->uc) uc_close(impl_->uc);
}

void SensorCpu::LoadImage(const uint8_t* data, size_t size, uint16_t seg, uint16_t off) {
    const uint64_t at = (uint64_t{seg} << 4) + off;
    if (size > 0) impl_->Check(uc_mem_write(impl_->uc, at, data, size), "load image");
    const int zeroRegs[] = {UC_X86_REG_AX, UC_X86_REG_BX, UC_X86_REG_CX, UC_X86_REG_DX, UC_X86_REG_SI, UC_X86_REG_DI,
                            UC_X86_REG_BP, UC_X86_REG_SP, UC_X86_REG_DS, UC_X86_REG_ES, UC_X86_REG_SS};
    uint32_t zero = 0;
    for (int reg : zeroRegs) uc_reg_write(impl_->uc, reg, &zero);
    uint32_t flags = 0x0002;
    uc_reg_write(impl_->uc, UC_X86_REG_EFLAGS, &flags);
    uint32_t cs = seg, ip = off;
    impl_->Check(uc_reg_write(impl_->uc, UC_X86_REG_CS, &cs), "set CS");
    impl_->Check(uc_reg_write(impl_->uc, UC_X86_REG_IP, &ip), "set IP");
}

SensorCpu::Exit SensorCpu::Run() {
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        if (d.stopRequested) {
            d.stopRequested = false;
            return Exit::Stopped;
        }
        d.running = true;
        d.idleStatusReads = 0;
    }
    d.restart = false;
    // In 16-bit mode unicorn takes the start as a linear address and derives
    // IP from it and the CS already set.
    const uint64_t begin = d.CurrentLinearPc();
    const uc_err err = uc_emu_start(d.uc, begin, kResetVector, 0, 0);
    const bool atReset = d.restart || d.CurrentLinearPc() == kResetVector;

    std::lock_guard<std::mutex> lock(d.mutex);
    d.running = false;
    if (atReset && err == UC_ERR_OK) {
        d.stopRequested = false;
        return Exit::Restart;
    }
    if (d.stopRequested) {
        d.stopRequested = false;
        return err == UC_ERR_OK ? Exit::Stopped : Exit::Fault;
    }
    if (err != UC_ERR_OK) {
        std::fprintf(stderr, "SensorCpu: emulation fault at %05llx: %s\n",
                     static_cast<unsigned long long>(d.CurrentLinearPc()), uc_strerror(err));
    }
    return Exit::Fault;
}

void SensorCpu::Stop() {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stopRequested = true;
    d.cv.notify_all();
    if (d.running) uc_emu_stop(d.uc);
}

bool SensorCpu::WaitUntilReceiving(int timeoutMs) {
    Impl& d = *impl_;
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                         [&d] { return d.waitingForByte && d.rx.empty() && !d.rbrFull; });
}

void SensorCpu::SetLineRate(int baud, int bitsPerChar) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    if (baud > 0 && bitsPerChar > 0)
        d.charInsns = static_cast<uint64_t>(bitsPerChar) * kInstructionsPerSecond / static_cast<uint64_t>(baud);
}

void SensorCpu::PushRx(uint8_t byte) {
    Impl& d = *impl_;
    std::lock_guard<std::mutex> lock(d.mutex);
    // It has arrived now (the line delivers a byte once it has crossed),
    // but never sooner than one character time after the byte before it.
    uint64_t at = d.now.load(std::memory_order_relaxed);
    if (d.anyArrival) at = std::max(at, d.lastArrival + d.charInsns);
    d.anyArrival = true;
    d.lastArrival = at;
    d.rx.push_back({byte, at});
    d.cv.notify_all();
}

uint64_t SensorCpu::ReceiveOverruns() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->overruns;
}

uint64_t SensorCpu::TransmitOverruns() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->txOverruns;
}

uint64_t SensorCpu::Instructions() const { return impl_->now.load(std::memory_order_relaxed); }

std::vector<uint8_t> SensorCpu::ServiceWrites() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->serviceWrites;
}

uint64_t SensorCpu::Port82Pulses() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->controlPulses;
}

}  // namespace sim
