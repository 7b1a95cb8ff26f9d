// The sensor search against the virtual sensor.

#include "session/MainFrame.h"
#include "serial/DUXKSerial.h"
#include "serial/Link.h"
#include "tests/session/TestSupport.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

TEST(SearchSimTest, FindsSensorAt9600AndLeavesTheChannelThere) {
    TempEnv env;
    SimProcess sim(2, 9600, {"--serial", "K52A01234"});
    ASSERT_TRUE(sim.Ready());
    ResetReplyState();
    RecordingUi ui;
    CMainFrameCore frame(ui);
    frame.StartSearch();
    ASSERT_TRUE(frame.WaitSearchEnd(40000));
    frame.StopSearch();
    ASSERT_EQ(frame.SearchExitCode(), 0u);
    EXPECT_EQ(frame.m_bSensorFound.load(), 1);
    EXPECT_STREQ(frame.m_search.szPort, "COM2");
    EXPECT_STREQ(frame.m_search.szBaud, "9600");
    EXPECT_STREQ(frame.m_search.szSerial, "K52A01234");
    EXPECT_EQ(ui.Status().back(), "Found Sensor 'K52A01234' at COM2, 9600 baud");
    EXPECT_TRUE(GetSensorChannel().IsOpen());
    EXPECT_EQ(GetSensorChannel().GetBaudRate(), 9600);
    EXPECT_EQ(env.ReadLastPortFile(), "COM2\r\n");

    // The sensor still answers at the rate found after a reopen.
    GetSensorChannel().Close();
    ASSERT_TRUE(frame.ReopenSensorPort());
    EXPECT_EQ(GetSensorChannel().GetBaudRate(), 9600);
    GetSensorChannel().Close();
}

}  // namespace
