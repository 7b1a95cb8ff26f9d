// A calibration transfer whose port goes away mid-way ends at once with a
// message naming the port, instead of waiting for a line that cannot drain.
#include "session/FrameUi.h"
#include "session/MainFrame.h"
#include "calibration/CalTransfer.h"
#include "serial/DUXKSerial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct QuietUi : IFrameUi {
    void SetStatusText(const std::string&) override {}
    bool EnableMenuCommands(const int*, int, bool) override { return true; }
    void ShowMessageBox(const std::string&, const std::string&, BoxIcon) override {}
};

struct Sink : CalTransferSink {
    void SetProgress(int) override {}
    void SetStatusText(const std::string&) override {}
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon) override {
        boxes.push_back(caption + ": " + text);
    }
    std::vector<std::string> boxes;
};

class CalPortLoss : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        std::snprintf(frame_.m_search.szPort, sizeof frame_.m_search.szPort, "%s", ptsname(master_));
        std::snprintf(frame_.m_search.szBaud, sizeof frame_.m_search.szBaud, "38400");
        ASSERT_TRUE(frame_.ReopenSensorPort());
        frame_.m_bSensorFound = 1;
        dir_ = std::filesystem::temp_directory_path() / ("duxk-calloss-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
        // A load's copy of the sensor's calibration would go there.
        if (const char* temp = getenv("TEMP")) oldTemp_ = temp;
        setenv("TEMP", dir_.c_str(), 1);
    }
    void TearDown() override {
        oldTemp_.empty() ? unsetenv("TEMP") : setenv("TEMP", oldTemp_.c_str(), 1);
        GetSensorChannel().Close();
        if (master_ >= 0) close(master_);
        std::filesystem::remove_all(dir_);
    }
    std::string oldTemp_;
    int master_ = -1;
    QuietUi ui_;
    CMainFrameCore frame_{ui_};
    std::filesystem::path dir_;
};

TEST_P(CalPortLoss, EndsWithMessageNamingThePort) {
    const bool save = GetParam();
    Sink sink;
    CalTransfer transfer(frame_, &sink);
    const std::string file = (dir_ / "x.cal").string();
    std::ofstream(file) << " pack 02\r\n@AB 01 1.0\r\n@AB 02 2.0\r\n";
    ASSERT_TRUE(save ? transfer.OnSave(file) : transfer.OnLoad(file));
    transfer.Tick();
    transfer.Tick();
    EXPECT_TRUE(sink.boxes.empty());

    close(master_);  // the adapter is unplugged
    master_ = -1;
    transfer.Tick();
    ASSERT_EQ(sink.boxes.size(), 1u);
    EXPECT_NE(sink.boxes[0].find("connection to " + std::string(frame_.m_search.szPort) + " was lost"),
              std::string::npos)
        << sink.boxes[0];
    EXPECT_EQ(transfer.LoadStep(), 0);
    EXPECT_EQ(save ? transfer.SaveFailures() : transfer.LoadFailures(), 1);
    EXPECT_EQ(transfer.SavesWritten() + transfer.LoadsDone(), 0);
    transfer.Tick();  // at rest: nothing more is reported
    EXPECT_EQ(sink.boxes.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(SaveAndLoad, CalPortLoss, ::testing::Bool());

}  // namespace
