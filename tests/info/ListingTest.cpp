#include "info/Listing.h"
#include "tests/calibration/SensorPty.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using caltest::SensorPty;
using Clock = std::chrono::steady_clock;

class ListingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.Opened()); }
    SensorPty pty;
};

TEST_F(ListingTest, BusyRepeatsSpecificationAndTextStartsAtPackLine) {
    ListingCollector listing(LISTING_SPECIFICATION, pty.Frame(), &pty.ui);
    listing.SendListingRequest();
    EXPECT_EQ(pty.Expect("SPEC\n"), "SPEC\n");
    EXPECT_FALSE(listing.Tick());

    ASSERT_TRUE(pty.Answer("ID x\r\n pack 01\r\nline 1__\r\n"));
    EXPECT_TRUE(listing.Tick());
    EXPECT_EQ(listing.Text(), " pack 01\r\nline 1\r\n\r\n");

    // "Again": the old listing stays shown until the new answer brings bytes.
    listing.SendListingRequest();
    EXPECT_EQ(pty.Expect("SPEC\n"), "SPEC\n");
    ASSERT_TRUE(pty.Answer("busy_"));
    EXPECT_FALSE(listing.Tick());
    EXPECT_EQ(pty.Expect("SPEC\n"), "SPEC\n");
    EXPECT_EQ(listing.Requests(), 3);
    EXPECT_TRUE(listing.Received().empty());
    EXPECT_EQ(listing.Text(), " pack 01\r\nline 1\r\n\r\n");

    // Lines without any pack marker show as nothing.
    ASSERT_TRUE(pty.Answer("no marker\r\n"));
    EXPECT_TRUE(listing.Tick());
    EXPECT_EQ(listing.Text(), "");
    EXPECT_TRUE(pty.ui.status.empty());
}

TEST_F(ListingTest, BootRepeatsSettings) {
    ListingCollector listing(LISTING_SETTINGS, pty.Frame(), &pty.ui);
    listing.SendListingRequest();
    EXPECT_EQ(pty.Expect("STAT:MEAS\n"), "STAT:MEAS\n");
    ASSERT_TRUE(pty.Answer("xx boot_ yy"));
    listing.Tick();
    EXPECT_EQ(pty.Expect("STAT:MEAS\n"), "STAT:MEAS\n");
    EXPECT_EQ(listing.Requests(), 2);
}

TEST_F(ListingTest, CalDataWaitsASecondAndNeverRepeats) {
    ListingCollector listing(LISTING_CALDATA, pty.Frame(), &pty.ui);
    const auto start = Clock::now();
    listing.SendListingRequest();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(990));
    EXPECT_EQ(pty.Expect("calib:show\n"), "calib:show\n");
    EXPECT_EQ(pty.ui.status, (std::vector<std::string>{"Reading CalData...", ""}));

    ASSERT_TRUE(pty.Answer("boot_\r\nbusy_\r\n pack 01\r\n@AB 01 v\r\n"));
    EXPECT_TRUE(listing.Tick());
    EXPECT_EQ(listing.Requests(), 1);
    EXPECT_EQ(pty.Sent(), "");
    EXPECT_EQ(listing.Text(), " pack 01\r\n@AB 01 v\r\n\r\n");
}

TEST_F(ListingTest, SelftestSendsItsSequenceShowsEverythingAndRepeatsOnlyOnBoot) {
    ListingCollector listing(LISTING_SELFTEST, pty.Frame(), &pty.ui);
    const auto start = Clock::now();
    listing.SendListingRequest();
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2490));
    EXPECT_EQ(pty.Expect("STAT:ERR:CODE\nSERV:TEST\nSTAT:ERR:TEXT\n"), "STAT:ERR:CODE\nSERV:TEST\nSTAT:ERR:TEXT\n");
    EXPECT_EQ(pty.ui.status, (std::vector<std::string>{"Selftest, please wait...", ""}));

    ASSERT_TRUE(pty.Answer("0\r\nbusy_\r\nno error__\r\n"));
    EXPECT_TRUE(listing.Tick());
    EXPECT_EQ(listing.Text(), "0\r\nbusy\r\nno error\r\n\r\n");
    EXPECT_EQ(listing.Requests(), 1);

    ASSERT_TRUE(pty.Answer("boot_"));
    EXPECT_FALSE(listing.Tick());
    EXPECT_EQ(listing.Requests(), 2);
    EXPECT_EQ(pty.Expect("STAT:ERR:CODE\nSERV:TEST\nSTAT:ERR:TEXT\n"), "STAT:ERR:CODE\nSERV:TEST\nSTAT:ERR:TEXT\n");
}

TEST_F(ListingTest, NothingIsSentWhileNoSensorWasFound) {
    pty.Frame().m_bSensorFound = 0;
    ListingCollector listing(LISTING_SPECIFICATION, pty.Frame(), &pty.ui);
    listing.SendListingRequest();
    EXPECT_EQ(listing.Requests(), 0);
    EXPECT_EQ(pty.Sent(), "");
    EXPECT_STREQ(ListingCollector::Title(LISTING_CALDATA), "Calibration Data");
}

}  // namespace
