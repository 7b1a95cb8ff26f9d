// Linked only while the emulated processor (sim/cpu) is not part of the
// build: a flash that is a plain array, and a processor that cannot run
// anything. The sensor then answers its text commands but fails every
// downloaded program.
#include "sim/cpu/SensorCpu.h"

namespace sim {

namespace {

class ArrayFlash : public FlashModel {
public:
    ArrayFlash() : cells_(0x20000, 0xFF) {}
    uint8_t Read(uint32_t offset) override { return cells_[offset % cells_.size()]; }
    void Write(uint32_t, uint8_t) override {}
    std::vector<uint8_t>& Cells() override { return cells_; }
    uint32_t Size() const override { return static_cast<uint32_t>(cells_.size()); }
    const char* Name() const override { return "array"; }

private:
    std::vector<uint8_t> cells_;
};

}  // namespace

std::unique_ptr<FlashModel> MakeAm29F010(uint32_t) { return std::make_unique<ArrayFlash>(); }
std::unique_ptr<FlashModel> MakeFamilyA() { return std::make_unique<ArrayFlash>(); }

struct SensorCpu::Impl {};
SensorCpu::SensorCpu(FlashModel&) {}
SensorCpu::~SensorCpu() = default;
void SensorCpu::LoadImage(const uint8_t*, size_t, uint16_t, uint16_t) {}
SensorCpu::Exit SensorCpu::Run() { return Exit::Fault; }
void SensorCpu::Stop() {}
void SensorCpu::PushRx(uint8_t) {}
std::vector<uint8_t> SensorCpu::ServiceWrites() const { return {}; }
uint64_t SensorCpu::Port82Pulses() const { return 0; }

}  // namespace sim
