// The flash models against their data sheets, driven directly on the bus.
#include "sim/cpu/SensorCpu.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

void Unlock(sim::FlashModel& f) {
    f.Write(0x5555, 0xAA);
    f.Write(0x2AAA, 0x55);
}

void Command(sim::FlashModel& f, uint8_t cmd) {
    Unlock(f);
    f.Write(0x5555, cmd);
}

TEST(Am29F010Model, AutoselectAndCommandDecoding) {
    auto f = sim::MakeAm29F010();
    ASSERT_EQ(f->Size(), 0x20000u);
    f->Cells()[0] = 0x5A;
    Command(*f, 0x90);
    EXPECT_EQ(f->Read(0), 0x01);
    EXPECT_EQ(f->Read(1), 0x20);
    EXPECT_EQ(f->Read(0x4001), 0x20);
    Command(*f, 0xF0);
    EXPECT_EQ(f->Read(0), 0x5A);
    // Command addresses decode A14..A0 only.
    f->Write(0xD555, 0xAA);
    f->Write(0x12AAA, 0x55);
    f->Write(0x5555, 0x90);
    EXPECT_EQ(f->Read(0), 0x01);
    f->Write(0, 0xF0);  // single-cycle reset
    EXPECT_EQ(f->Read(0), 0x5A);
    // An unlock at the wrong address is not a command.
    f->Write(0x5555, 0xAA);
    f->Write(0x2AAB, 0x55);
    f->Write(0x5555, 0x90);
    EXPECT_EQ(f->Read(0), 0x5A);
    // A broken program sequence changes nothing.
    f->Write(0x5555, 0xAA);
    f->Write(0x2AAA, 0x55);
    f->Write(0x5554, 0xA0);
    f->Write(0x10, 0x00);
    EXPECT_EQ(f->Cells()[0x10], 0xFF);
}

TEST(Am29F010Model, ProgramOnlyClearsBitsAndPollsLikeTheDataSheet) {
    auto f = sim::MakeAm29F010();
    Command(*f, 0xA0);
    f->Write(0x100, 0x3C);
    // Busy: DQ7 complemented, DQ6 toggling.
    const uint8_t s1 = f->Read(0x100), s2 = f->Read(0x100);
    EXPECT_EQ(s1 & 0x80, 0x80);
    EXPECT_NE(s1 & 0x40, s2 & 0x40);
    EXPECT_EQ(f->Read(0x100), 0x3C);
    // Writes outside a command sequence do not program.
    f->Write(0x100, 0x00);
    EXPECT_EQ(f->Read(0x100), 0x3C);
    // Turning a zero into a one fails: DQ5 set, DQ7 stays complemented until reset.
    Command(*f, 0xA0);
    f->Write(0x100, 0xC3);
    uint8_t s = 0;
    for (int i = 0; i < 5; ++i) s = f->Read(0x100);
    EXPECT_EQ(s & 0xA0, 0x20);
    EXPECT_EQ(f->Cells()[0x100], 0x00);  // the zeros it could program are programmed
    f->Write(0, 0xF0);
    EXPECT_EQ(f->Read(0x100), 0x00);
    // A stuck cell keeps its bits.
    f->SetStuckCell(0x200);
    Command(*f, 0xA0);
    f->Write(0x200, 0x00);
    for (int i = 0; i < 5; ++i) s = f->Read(0x200);
    EXPECT_EQ(s & 0x20, 0x20);
    EXPECT_EQ(f->Cells()[0x200], 0xFF);
}

TEST(Am29F010Model, SectorEraseTakesItsTimeAndErasesOnlyItsSectors) {
    auto f = sim::MakeAm29F010(40);
    std::fill(f->Cells().begin(), f->Cells().end(), 0x00);
    Command(*f, 0x80);
    Unlock(*f);
    f->Write(0x4000, 0x30);
    f->Write(0xC123, 0x30);  // a second sector inside the window
    const uint8_t status = f->Read(0xC000);
    EXPECT_EQ(status & 0x88, 0x08);  // DQ7 0, DQ3 erase begun
    EXPECT_EQ(f->Read(0xC000) & 0x80, 0x00);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(f->Read(0xC000), 0xFF);
    const auto& c = f->Cells();
    EXPECT_EQ(c[0x3FFF], 0x00);
    EXPECT_EQ(c[0x4000], 0xFF);
    EXPECT_EQ(c[0x7FFF], 0xFF);
    EXPECT_EQ(c[0x8000], 0x00);
    EXPECT_EQ(c[0xFFFF], 0xFF);
    EXPECT_EQ(c[0x10000], 0x00);

    // Another command inside the window cancels the erase.
    Command(*f, 0x80);
    Unlock(*f);
    f->Write(0x0, 0x30);
    f->Write(0x0, 0xF0);
    EXPECT_EQ(f->Read(0x0), 0x00);
    EXPECT_EQ(f->Cells()[0x0], 0x00);
}

TEST(Am29F010Model, PowerCutInAnEraseLeavesTheSectorUnderWayHalfErased) {
    auto f = sim::MakeAm29F010(60000);
    std::fill(f->Cells().begin(), f->Cells().end(), 0x00);
    Command(*f, 0x80);
    Unlock(*f);
    f->Write(0x4000, 0x30);
    f->Write(0x8000, 0x30);
    EXPECT_EQ(f->Read(0x4000) & 0x80, 0x00);  // erasing
    f->PowerCut();
    const auto& c = f->Cells();
    EXPECT_EQ(c[0x4000], 0xFF);
    EXPECT_EQ(c[0x5FFF], 0xFF);
    EXPECT_EQ(c[0x6000], 0x00);
    EXPECT_EQ(c[0x8000], 0x00);  // its turn had not come
    // Powered again, the part reads its array.
    EXPECT_EQ(f->Read(0x7000), 0x00);
}

// Defects that stay with the part: what the erase leaves, what its status
// says, and that the defect is recorded only when it changed something.
TEST(Am29F010Model, EraseDefectsLeaveTheirCellsAndSaySoOrNot) {
    struct Case {
        int defect;
        uint8_t fill;               // the sectors' contents before the erase
        bool failed;                // DQ5 after the erase
        uint32_t keptFrom, keptTo;  // cells left as they were
        size_t hits;
    };
    const Case cases[] = {
        {1, 0x00, true, 0x4000, 0x8000, 1},   // fails: the first sector left, DQ5
        {3, 0x00, false, 0x6000, 0x8000, 1},  // partial: its upper half left, no word of it
        {1, 0xFF, true, 0, 0, 0},             // nothing to keep: no hit (the status still fails)
        {3, 0xFF, false, 0, 0, 0},
    };
    for (const Case& k : cases) {
        auto f = sim::MakeAm29F010(5);
        std::fill(f->Cells().begin(), f->Cells().end(), k.fill);
        f->SetEraseDefect(k.defect);
        Command(*f, 0x80);
        Unlock(*f);
        f->Write(0x4000, 0x30);
        f->Write(0x8000, 0x30);
        f->Read(0x8000);
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        uint8_t status = 0;
        for (int i = 0; i < 3; ++i) status = f->Read(0x8000);
        // A failed erase shows DQ7 0 and DQ5; a finished one reads the array.
        EXPECT_EQ(status, k.failed ? (status & 0x5C) | 0x28 : 0xFF) << k.defect;
        f->Write(0, 0xF0);
        const auto& c = f->Cells();
        for (uint32_t a : {0x4000u, 0x5FFFu, 0x6000u, 0x7FFFu, 0x8000u, 0xBFFFu}) {
            const bool kept = a >= k.keptFrom && a < k.keptTo;
            EXPECT_EQ(c[a], kept ? k.fill : 0xFF) << k.defect << " at " << a;
        }
        EXPECT_EQ(f->TakeDefectHits().size(), k.hits) << k.defect;
    }
    // An erase that never completes keeps showing "erasing" until the power
    // is cut, and says so once.
    auto f = sim::MakeAm29F010(1);
    std::fill(f->Cells().begin(), f->Cells().end(), 0x00);
    f->SetEraseDefect(2);
    Command(*f, 0x80);
    Unlock(*f);
    f->Write(0x4000, 0x30);
    f->Read(0x4000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(f->Read(0x4000) & 0xA0, 0x00);  // DQ7 0, no DQ5: still erasing
    EXPECT_EQ(f->Cells()[0x4000], 0x00);
    const auto hits = f->TakeDefectHits();
    ASSERT_EQ(hits.size(), 1u);
    EXPECT_EQ(hits[0].what, "erase never completes");
    f->PowerCut();
    EXPECT_EQ(f->Read(0x4000), 0xFF);
}

TEST(FamilyAModel, IdentifyProgramAndErasePulses) {
    auto f = sim::MakeFamilyA(2);
    ASSERT_EQ(f->Size(), 0x20000u);
    f->Write(0, 0x90);
    EXPECT_EQ(f->Read(0), 0x89);
    EXPECT_EQ(f->Read(1), 0xB4);
    f->Write(0, 0x00);
    EXPECT_EQ(f->Read(0), 0xFF);
    // Plain writes do not change cells; the program pulse does, and only clears bits.
    f->Write(0x10, 0x12);
    EXPECT_EQ(f->Read(0x10), 0xFF);
    f->Write(0x10, 0x40);
    f->Write(0x10, 0x12);
    f->Write(0x10, 0xC0);
    EXPECT_EQ(f->Read(0x10), 0x12);
    f->Write(0x10, 0x40);
    f->Write(0x10, 0xFF);
    f->Write(0x10, 0xC0);
    EXPECT_EQ(f->Read(0x10), 0x12);
    // Erase verify reads the latched address; this part needs two pulses.
    f->Write(0, 0x20);
    f->Write(0, 0x20);
    f->Write(0x10, 0xA0);
    EXPECT_EQ(f->Read(0x10), 0x12);
    f->Write(0, 0x20);
    f->Write(0, 0x21);  // not confirmed: no pulse
    f->Write(0x10, 0xA0);
    EXPECT_EQ(f->Read(0x10), 0x12);
    f->Write(0, 0x20);
    f->Write(0, 0x20);
    f->Write(0x10, 0xA0);
    EXPECT_EQ(f->Read(0x10), 0xFF);
}

}  // namespace
