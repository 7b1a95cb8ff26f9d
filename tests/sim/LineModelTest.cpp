// The sensor-side building blocks without a line: application images and
// what a UART set to another speed makes of characters.
#include <gtest/gtest.h>

#include "sim/FirmwareImage.h"
#include "sim/Uart.h"

#include <chrono>
#include <utility>

namespace {

std::vector<uint8_t> FlashWith(const std::vector<uint8_t>& app) {
    std::vector<uint8_t> flash(sim::kFlashSize, 0xFF);
    std::copy(app.begin(), app.end(), flash.begin());
    const auto boot = sim::BootAreaImage();
    std::copy(boot.begin(), boot.end(), flash.begin() + sim::kBootAreaOffset);
    return flash;
}

TEST(FirmwareImage, ValidImageCarriesItsVersion) {
    const auto img = sim::MakeFirmwareImage("3.10", 16384);
    ASSERT_EQ(img.size(), 16384u);
    const auto flash = FlashWith(img);
    EXPECT_TRUE(sim::ApplicationValid(flash));
    EXPECT_EQ(sim::FindVersionMarker(flash).value_or("none"), "3.10");
    EXPECT_NE(sim::MakeFirmwareImage("3.20", 16384), img);
}

TEST(FirmwareImage, ErasedOrPartlyProgrammedAreaIsNotStarted) {
    std::vector<uint8_t> erased(sim::kFlashSize, 0xFF);
    EXPECT_FALSE(sim::ApplicationValid(erased));
    EXPECT_FALSE(sim::FindVersionMarker(erased).has_value());

    auto img = sim::MakeFirmwareImage("3.10", 4000);
    auto partial = FlashWith(std::vector<uint8_t>(img.begin(), img.begin() + 2400));
    EXPECT_FALSE(sim::ApplicationValid(partial));
    // The marker sits at the start, so even a partial image shows it.
    EXPECT_EQ(sim::FindVersionMarker(partial).value_or("none"), "3.10");

    auto flipped = FlashWith(img);
    flipped[3999] ^= 0x01;
    EXPECT_FALSE(sim::ApplicationValid(flipped));
}

TEST(FirmwareImage, BootAreaHasNoVersionMarker) {
    const auto flash = FlashWith({});
    EXPECT_FALSE(sim::FindVersionMarker(flash).has_value());
    EXPECT_EQ(sim::BootAreaImage().size(), sim::kBootAreaSize);
}

TEST(Reframe, SameSpeedAndParityPassesBytesWhateverTheStopBits) {
    // A receiver checks the first stop bit only: two stop bits to a one-stop
    // receiver, or one to a two-stop receiver, change nothing.
    const uint8_t data[] = {'i', 'd', '\n', 0x00, 0xFF};
    const std::pair<sim::Framing, sim::Framing> cases[] = {
        {{38400, false, 2}, {38400, false, 1}},
        {{38400, true, 1}, {38400, true, 2}},
        {{38400, true, 2}, {38400, true, 2}},
    };
    for (const auto& [a, b] : cases) {
        const auto out = sim::Reframe(data, sizeof data, a, b);
        ASSERT_EQ(out.size(), sizeof data);
        for (size_t i = 0; i < sizeof data; ++i) {
            EXPECT_EQ(out[i].value, data[i]);
            EXPECT_FALSE(out[i].error);
            EXPECT_FALSE(out[i].parityError);
        }
    }
}

TEST(Reframe, TenBitCharactersGarbleForATwelveBitReceiver) {
    // 8N1 characters at the right speed to a receiver set to 8E2 (a host that
    // kept its own framing for a download): back to back, the stop bit is
    // taken for the parity bit and the next start bit for the stop bit.
    const uint8_t header[] = {0x4C, 0x2C, 0x00, 0x00, 0x00, 0x01, 0x00, 0x04, 0x00, 0x01, 0x00, 0x04};
    const auto out = sim::Reframe(header, sizeof header, {38400, false, 1}, {38400, true, 2});
    bool framing = false, changed = out.size() != sizeof header;
    for (size_t i = 0; i < out.size(); ++i) {
        framing |= out[i].error;
        changed |= i < sizeof header && out[i].value != header[i];
    }
    EXPECT_TRUE(framing);
    EXPECT_TRUE(changed);
    // One character alone keeps its value, but its stop bit (1) passes for
    // even parity only with an odd number of ones.
    const uint8_t two = 0x03, one = 0x01;
    const auto a = sim::Reframe(&two, 1, {38400, false, 1}, {38400, true, 2});
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a[0].value, 0x03);
    EXPECT_TRUE(a[0].parityError);
    EXPECT_FALSE(a[0].error);
    const auto b = sim::Reframe(&one, 1, {38400, false, 1}, {38400, true, 2});
    ASSERT_EQ(b.size(), 1u);
    EXPECT_FALSE(b[0].parityError);
}

TEST(PacedLine, EveryByteTakesItsCharacterTimeAndIdleLineEarnsNoCredit) {
    using namespace std::chrono;
    sim::PacedLine line;
    const auto t0 = steady_clock::now();
    const auto ct = microseconds(312);
    EXPECT_FALSE(line.NextDone());
    line.Add(3, t0, ct);
    EXPECT_EQ(line.TakeDone(t0 + ct - microseconds(1)), 0u);
    EXPECT_EQ(*line.NextDone(), t0 + ct);
    EXPECT_EQ(*line.LastDone(), t0 + 3 * ct);
    // Looked at late, the run catches up to its exact rate, no further.
    EXPECT_EQ(line.TakeDone(t0 + 2 * ct + microseconds(10)), 2u);
    EXPECT_EQ(line.TakeDone(t0 + 10 * ct), 1u);
    EXPECT_EQ(line.Queued(), 0u);
    // A byte after a pause starts when it comes, not when the line went idle.
    const auto t1 = t0 + milliseconds(50);
    line.Add(1, t1, ct);
    EXPECT_EQ(line.TakeDone(t1 + ct / 2), 0u);
    EXPECT_EQ(line.TakeDone(t1 + ct), 1u);
    // Bytes added while the line is busy follow the ones before them.
    line.Add(2, t1 + ct, ct);
    line.Add(1, t1 + ct + microseconds(1), ct);
    EXPECT_EQ(*line.LastDone(), t1 + 4 * ct);
}

TEST(Reframe, OtherSpeedGarblesTheCommand) {
    const std::string cmd = "id\n";
    const auto* p = reinterpret_cast<const uint8_t*>(cmd.data());
    for (int hostBaud : {19200, 9600, 4800}) {
        const auto out = sim::Reframe(p, cmd.size(), {hostBaud, false, 2}, {38400, false, 1});
        std::string seen;
        bool anyError = false;
        for (auto c : out) {
            seen.push_back(static_cast<char>(c.value));
            anyError |= c.error;
        }
        EXPECT_EQ(seen.find("id"), std::string::npos) << hostBaud;
        // A slow sender looks like runs of zero bits to a fast receiver.
        EXPECT_TRUE(anyError) << hostBaud;
        EXPECT_GT(out.size(), cmd.size()) << hostBaud;
    }
    // A fast sender squeezes several characters into one slow one.
    const auto fast = sim::Reframe(p, cmd.size(), {38400, false, 1}, {9600, false, 1});
    EXPECT_LT(fast.size(), cmd.size());
}

TEST(Reframe, SlowZeroByteIsABreakToAFastReceiver) {
    // A 0x00 sent at 4800 holds the line low for eight 38400 characters:
    // the receiver reads zeros with framing errors.
    const uint8_t zero = 0x00;
    const auto out = sim::Reframe(&zero, 1, {4800, false, 1}, {38400, false, 1});
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out[0].value, 0x00);
    EXPECT_TRUE(out[0].error);
}

}  // namespace
