// duxk without a sensor: help, usage errors, the port map commands, the
// --json object and the exit status when no sensor is found.

#include "tests/app/TestSupport.h"
#include "tests/cli/RunDuxk.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace testsupport;

namespace {

class CliTest : public ::testing::Test {
protected:
    DuxkResult Run(const std::vector<std::string>& args) { return RunDuxk(env.temp, args); }
    TempEnv env;
};

TEST_F(CliTest, HelpOnEveryLevelWithExamples) {
    for (auto args : std::vector<std::vector<std::string>>{{"--help"}, {"find", "--help"}, {"ports", "--help"}}) {
        DuxkResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_NE(r.out.find("Examples:"), std::string::npos) << r.out;
    }
    DuxkResult top = Run({"--help"});
    for (const char* word : {"find", "ports", "--port", "--baud", "--no-sn-check", "--trace", "--timeout", "--json"})
        EXPECT_NE(top.out.find(word), std::string::npos) << word;
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},                                    // no command
        {"frobnicate"},                        // unknown command
        {"--bogus", "find"},                   // unknown option
        {"--baud", "1234", "find"},            // not one of the four rates
        {"--timeout", "-1", "find"},           // not a positive time
        {"ports", "map", "COM9", "/dev/null"}, // only COM1..COM7 are mapped
        {"ports", "map", "COM3"},              // device missing
        {"ports", "unmap", "LPT1"},
    };
    for (const auto& args : cases) {
        DuxkResult r = Run(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.exitCode, 2) << joined << "\n" << r.err;
    }
}

TEST_F(CliTest, PortsMapListAndUnmap) {
    DuxkResult r = Run({"ports", "map", "com3", "/dev/ttyUSB7"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(std::filesystem::read_symlink(env.ports + "/com3"), "/dev/ttyUSB7");

    r = Run({"ports"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("COM3  mapped   /dev/ttyUSB7 (missing)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("COM1  not mapped"), std::string::npos) << r.out;

    r = Run({"ports", "unmap", "COM3"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(std::filesystem::is_symlink(env.ports + "/com3"));
}

TEST_F(CliTest, JsonObjectEscapesItsTexts) {
    // Global options are taken after the command as well.
    DuxkResult r = Run({"ports", "map", "COM2", "/dev/a\"b\\c\td", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("{\"command\":\"ports\",", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\"message\":\"COM2 -> /dev/a\\\"b\\\\c\\td\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"result\":0,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line only";
}

TEST_F(CliTest, NoSensorWithinTheTimeOutExitsWithThree) {
    DuxkProcess plain(env.temp, {"find", "--timeout", "5"});
    DuxkProcess json(env.temp, {"--json", "--timeout", "2", "find"});
    DuxkResult r = plain.Wait();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "Looking for sensor...\n");
    EXPECT_NE(r.err.find("no sensor found within 5 s"), std::string::npos) << r.err;

    r = json.Wait();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out.rfind("{\"command\":\"find\",\"port\":null,\"baud\":null,\"serial\":null,\"result\":3,", 0), 0u)
        << r.out;
    EXPECT_NE(r.err.find("Looking for sensor..."), std::string::npos) << "status lines move to stderr";
}

}  // namespace
