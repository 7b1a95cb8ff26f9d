// The sensor search against a sensor played by the test on a pseudo-terminal:
// identity replies, serial-number lines, the "noSNcheck" switch and the
// remembered port.

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "tests/session/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testsupport;

namespace {

class SearchTest : public ::testing::Test {
protected:
    void SetUp() override { ResetReplyState(); }
    void TearDown() override {
        frame.StopSearch();
        if (GetSensorChannel().IsOpen()) GetSensorChannel().Close();
    }
    // Runs the search until it ends (or the time is up).
    bool Search(int timeoutMs) {
        frame.StartSearch();
        bool ended = frame.WaitSearchEnd(timeoutMs);
        frame.StopSearch();
        return ended && frame.SearchExitCode() == 0 && frame.m_bSensorFound == 1;
    }
    std::vector<std::string> LookingTexts() const {
        std::vector<std::string> out;
        for (const auto& s : ui.Status())
            if (s.rfind("Looking for Sensor at", 0) == 0) out.push_back(s);
        return out;
    }

    TempEnv env;
    RecordingUi ui;
    CMainFrameCore frame{ui};
};

TEST_F(SearchTest, AcceptsIdentityAfterNoiseAndSerialInsideALine) {
    PtySensor sensor(env, 1,
                     {"id" + IdReply("DUX-K52 V3.10"),
                      {{"DUX-K52 Specification", "no number here", "Type K52  ID:SER 1A2B3C", "Range 0..100"}}});
    ASSERT_TRUE(Search(15000));

    EXPECT_STREQ(frame.m_search.szPort, "COM1");
    EXPECT_STREQ(frame.m_search.szBaud, "38400");
    EXPECT_STREQ(frame.m_search.szSerial, "1A2B3C");
    auto status = ui.Status();
    ASSERT_EQ(status.size(), 4u);
    EXPECT_EQ(status[0], "Looking for sensor...");
    EXPECT_EQ(status[1], "Looking for Sensor at COM1, 38400 baud...");
    EXPECT_EQ(status[2], "Getting S/N of Sensor at COM1...");
    EXPECT_EQ(status[3], "Found Sensor '1A2B3C' at COM1, 38400 baud");
    EXPECT_EQ(env.ReadLastPortFile(), "COM1\r\n");
    auto calls = ui.MenuCalls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_TRUE(calls[1].second) << "commands enabled on acceptance";

    // The channel stays open at the port and rate found.
    EXPECT_TRUE(GetSensorChannel().IsOpen());
    EXPECT_EQ(GetSensorChannel().GetBaudRate(), 38400);
    EXPECT_EQ(sensor.Commands(), (std::vector<std::string>{"id", "id", "id", "appl", "spec"}));
}

TEST_F(SearchTest, ShortOrCutSerialNumbersMoveOnToTheNextRate) {
    // 12.3_x cleans to 12_3 and 1A2B3 has five characters: both too short.
    PtySensor sensor(env, 2, {IdReply("DUX-K52 V3.10"), {{"ID:SER 12.3_x"}, {"ID:SER 1A2B3"}, {"ID:SER 1A2B3.C4"}}});
    ASSERT_TRUE(Search(30000));

    EXPECT_STREQ(frame.m_search.szSerial, "1A2B3_C4");
    EXPECT_STREQ(frame.m_search.szPort, "COM2");
    EXPECT_STREQ(frame.m_search.szBaud, "9600");
    EXPECT_EQ(sensor.SpecCount(), 3);
    EXPECT_EQ(LookingTexts(), (std::vector<std::string>{"Looking for Sensor at COM2, 38400 baud...",
                                                        "Looking for Sensor at COM2, 19200 baud...",
                                                        "Looking for Sensor at COM2, 9600 baud..."}));
    EXPECT_EQ(ui.Status().back(), "Found Sensor '1A2B3_C4' at COM2, 9600 baud");
}

TEST_F(SearchTest, InvalidIdentityIsNotAskedForItsSerialNumber) {
    std::string bad = IdReply("DUX-K52 V3.10");
    bad[2] = bad[2] == '0' ? '1' : '0';  // wrong checksum
    PtySensor sensor(env, 1, {bad, {{"ID:SER 1A2B3C"}}});
    frame.StartSearch();
    ASSERT_TRUE(ui.WaitStatus("COM1, 19200 baud", 10000));
    frame.StopSearch();
    EXPECT_EQ(frame.SearchExitCode(), static_cast<unsigned>(-1));
    EXPECT_EQ(sensor.SpecCount(), 0);
    for (const auto& s : ui.Status()) EXPECT_EQ(s.find("Getting S/N"), std::string::npos) << s;
}

TEST_F(SearchTest, NoSnCheckAcceptsWithoutSerialAndKeepsTheLastPortFile) {
    frame.m_strCmdLine = "/usr/bin/duxkupdate -nosncheck";
    env.WriteLastPortFile("COM5\r\n");  // not in the port map: costs nothing
    PtySensor sensor(env, 3, {IdReply("DUX-K52 V3.10"), {{"DUX-K52", "ID:SER 1A2B3"}}});
    ASSERT_TRUE(Search(15000));

    EXPECT_STREQ(frame.m_search.szPort, "COM3");
    EXPECT_STREQ(frame.m_search.szBaud, "38400");
    EXPECT_STREQ(frame.m_search.szSerial, "1A2B3") << "keeps the short text it got";
    EXPECT_EQ(ui.Status().back(), "Getting S/N of Sensor at COM3...");
    EXPECT_EQ(env.ReadLastPortFile(), "COM5\r\n");
    EXPECT_TRUE(GetSensorChannel().IsOpen());
}

TEST_F(SearchTest, RemembersPortNameAsWrittenInLowerCase) {
    env.WriteLastPortFile("com3\r\n");
    PtySensor sensor(env, 3, {IdReply("DUX-K52 V3.10"), {{"ID:SER K52A01234"}}});
    ASSERT_TRUE(Search(15000));
    EXPECT_STREQ(frame.m_search.szPort, "com3");
    auto looking = LookingTexts();
    ASSERT_EQ(looking.size(), 1u);
    EXPECT_EQ(looking[0], "Looking for Sensor at com3, 38400 baud...");
    EXPECT_EQ(env.ReadLastPortFile(), "com3\r\n");
}

TEST_F(SearchTest, OnlyPortRestrictsEveryPass) {
    PtySensor other(env, 1, {IdReply("DUX-K52 V3.10"), {{"ID:SER 111111"}}});
    PtySensor sensor(env, 6, {IdReply("DUX-K52 V3.10"), {{"ID:SER 666666"}}});
    std::strcpy(frame.m_search.szOnlyPort, "COM6");
    ASSERT_TRUE(Search(15000));
    EXPECT_STREQ(frame.m_search.szSerial, "666666");
    EXPECT_EQ(other.IdCount(), 0);
}

}  // namespace
