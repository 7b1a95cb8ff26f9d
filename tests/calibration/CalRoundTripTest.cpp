// Calibration transfer and listings against the virtual sensor, through the
// duxk command-line tool.
#include "tests/session/TestSupport.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

using testsupport::SimProcess;
using testsupport::TempEnv;

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

struct ToolRun {
    int status;
    std::string out, err;
};

class CalRoundTrip : public ::testing::Test {
protected:
    ToolRun Duxk(const std::string& args) {
        const char* bin = getenv("DUXK_BIN_DIR");
        const std::string out = env.temp + "/out.txt", err = env.temp + "/err.txt";
        const std::string cmd = std::string(bin ? bin : "bin") + "/duxk --port COM1 --baud 38400 --timeout 30 " + args +
                                " >" + out + " 2>" + err;
        const int rc = std::system(cmd.c_str());
        return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, Slurp(out), Slurp(err)};
    }

    TempEnv env;
};

TEST_F(CalRoundTrip, SaveEditLoadSaveShowsTheChange) {
    SimProcess sim(1, 38400, {"--state", env.temp + "/state", "--startup", "0"});
    ASSERT_TRUE(sim.Ready());
    const std::string first = env.temp + "/first.cal", second = env.temp + "/second.cal";

    ToolRun save = Duxk("cal save " + first);
    ASSERT_EQ(save.status, 0) << save.out << save.err;
    EXPECT_NE(save.err.find("Saving Cal data...\nDone."), std::string::npos) << save.err;
    EXPECT_EQ(save.out, "Calibration data saved to " + first + "\n");
    std::string cal = Slurp(first);
    ASSERT_NE(cal.find(" pack "), std::string::npos) << cal;
    EXPECT_NE(cal.find("\r\n"), std::string::npos);

    const std::string before = cal;
    // Change one value of the second record.
    const size_t rec = cal.find("@CAL02");
    ASSERT_NE(rec, std::string::npos) << cal;
    const size_t k0 = cal.find("K0=", rec);
    ASSERT_NE(k0, std::string::npos);
    cal.replace(k0, 14, "K0=+1.23456E+00");
    std::ofstream(first, std::ios::binary) << cal;

    ToolRun load = Duxk("cal load " + first);
    ASSERT_EQ(load.status, 0) << load.out << load.err;
    EXPECT_NE(load.err.find("Done."), std::string::npos);
    EXPECT_EQ(load.out, "Calibration data of " + first + " loaded into the sensor\n");

    ASSERT_EQ(Duxk("cal save " + second).status, 0);
    EXPECT_EQ(Slurp(second), cal);
    // The load kept the calibration it replaced, as a save takes it.
    std::vector<std::string> copies;
    for (const auto& entry : std::filesystem::directory_iterator(env.temp))
        if (entry.path().filename().string().rfind("DUXKCal-", 0) == 0) copies.push_back(entry.path().string());
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_NE(copies[0].find(".replaced.cal"), std::string::npos) << copies[0];
    EXPECT_EQ(Slurp(copies[0]), before);

    ToolRun info = Duxk("info caldata");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.err.find("Reading CalData...\n"), std::string::npos) << info.err;
    EXPECT_EQ(info.out.find(" pack 05\n"), 0u) << info.out;
    EXPECT_NE(info.out.find("K0=+1.23456E+00"), std::string::npos) << info.out;
    EXPECT_EQ(info.out.find("CAL:SER"), std::string::npos) << "lines before the pack header are not shown";
}

TEST_F(CalRoundTrip, BusySensorListingIsRepeatedAndMissingLoadFileIsRefused) {
    SimProcess sim(1, 38400, {"--state", env.temp + "/state", "--startup", "0", "--busy", "2"});
    ASSERT_TRUE(sim.Ready());
    ToolRun spec = Duxk("--json info spec");
    ASSERT_EQ(spec.status, 0) << spec.err;
    EXPECT_NE(spec.out.find("\"command\":\"info\""), std::string::npos) << spec.out;
    EXPECT_NE(spec.out.find("Pack 01 specification"), std::string::npos) << spec.out;
    EXPECT_EQ(spec.out.find("busy"), std::string::npos) << spec.out;

    // Checked before the search, named with its reason.
    ToolRun load = Duxk("cal load " + env.temp + "/none.cal");
    EXPECT_EQ(load.status, 2);
    EXPECT_NE(load.err.find(env.temp + "/none.cal: no such file or directory"), std::string::npos) << load.err;
}

}  // namespace
