// The emulated processor's serial unit: a one-byte receive buffer that a
// late reader finds overwritten, and a transmitter that is busy for one
// character time after each write. Both run in emulated time, so these
// hold however busy the machine is.
#include "sim/cpu/SensorCpu.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Waits LOOPS instructions, reads the status and the receive buffer, sends
// the byte it read, waits for the transmitter and sends the status it read:
//         mov cx, LOOPS / l: loop l
//         mov dx, 0xFF66 / in al, dx / mov bl, al
//         mov dx, 0xFF68 / in al, dx / mov dx, 0xFF6A / out dx, al
//         mov dx, 0xFF66 / t: in al, dx / test al, 0x08 / jz t
//         mov al, bl / mov dx, 0xFF6A / out dx, al / jmp 0xFFFF:0x0000
Bytes ReadLate(uint16_t loops) {
    return {0xb9,
            static_cast<uint8_t>(loops),
            static_cast<uint8_t>(loops >> 8),
            0xe2,
            0xfe,
            0xba,
            0x66,
            0xff,
            0xec,
            0x88,
            0xc3,
            0xba,
            0x68,
            0xff,
            0xec,
            0xba,
            0x6a,
            0xff,
            0xee,
            0xba,
            0x66,
            0xff,
            0xec,
            0xa8,
            0x08,
            0x74,
            0xfb,
            0x88,
            0xd8,
            0xba,
            0x6a,
            0xff,
            0xee,
            0xea,
            0x00,
            0x00,
            0xff,
            0xff};
}

// Sends '1' and at once '2', then waits for the transmitter and sends '3':
//         mov al, 0x31 / mov dx, 0xFF6A / out dx, al / mov al, 0x32 / out dx, al
//         mov dx, 0xFF66 / t: in al, dx / test al, 0x08 / jz t
//         mov al, 0x33 / mov dx, 0xFF6A / out dx, al / jmp 0xFFFF:0x0000
const Bytes kWriteTwice{0xb0, 0x31, 0xba, 0x6a, 0xff, 0xee, 0xb0, 0x32, 0xee, 0xba, 0x66, 0xff, 0xec, 0xa8,
                        0x08, 0x74, 0xfb, 0xb0, 0x33, 0xba, 0x6a, 0xff, 0xee, 0xea, 0x00, 0x00, 0xff, 0xff};

struct Result {
    Bytes sent;
    uint64_t rxOverruns, txOverruns;
    sim::SensorCpu::Exit exit;
};

Result Execute(const Bytes& code, const Bytes& incoming) {
    auto flash = sim::MakeAm29F010();
    sim::SensorCpu cpu(*flash);
    Result r{};
    cpu.onTransmit = [&r](uint8_t b) { r.sent.push_back(b); };
    cpu.SetLineRate(38400, 12);  // 625 instructions a character
    cpu.LoadImage(code.data(), code.size());
    for (uint8_t b : incoming) cpu.PushRx(b);
    r.exit = cpu.Run();
    r.rxOverruns = cpu.ReceiveOverruns();
    r.txOverruns = cpu.TransmitOverruns();
    return r;
}

}  // namespace

TEST(SerialUnit, ReceiveBufferHoldsOneByteAndALateReaderFindsItOverwritten) {
    // Two bytes back to back arrive a character time (625 instructions)
    // apart. Read after 100 instructions: the first, and no overrun.
    const Result early = Execute(ReadLate(100), {'a', 'b'});
    EXPECT_EQ(early.exit, sim::SensorCpu::Exit::Restart);
    EXPECT_EQ(early.sent, (Bytes{'a', 0x48}));  // transmitter ready, byte there
    EXPECT_EQ(early.rxOverruns, 0u);
    // Read after 2000 instructions: the second has overwritten the first,
    // and the status shows the overrun.
    const Result late = Execute(ReadLate(2000), {'a', 'b'});
    EXPECT_EQ(late.exit, sim::SensorCpu::Exit::Restart);
    EXPECT_EQ(late.sent, (Bytes{'b', 0x4C}));
    EXPECT_EQ(late.rxOverruns, 1u);
}

TEST(SerialUnit, TransmitterIsBusyForACharacterAfterAWrite) {
    const Result r = Execute(kWriteTwice, {});
    EXPECT_EQ(r.exit, sim::SensorCpu::Exit::Restart);
    // The second byte, written while the first was still going out, is lost;
    // the third waited for the transmitter and went out.
    EXPECT_EQ(r.sent, (Bytes{'1', '3'}));
    EXPECT_EQ(r.txOverruns, 1u);
}
