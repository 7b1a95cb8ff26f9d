// duxk without a sensor: help, usage errors, the port map commands, the
// --json object and the exit status when no sensor is found.

#include "cli/Cli.h"
#include "tests/session/TestSupport.h"
#include "tests/cli/RunDuxk.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace testsupport;

namespace {

class CliTest : public ::testing::Test {
protected:
    DuxkResult Run(const std::vector<std::string>& args) { return RunDuxk(env.temp, args); }
    TempEnv env;
};

TEST_F(CliTest, HelpOnEveryLevelWithExamplesAndTheGlobalOptions) {
    const std::vector<std::vector<std::string>> helps = {
        {"--help"},           {"find", "--help"},   {"ports", "--help"},       {"update", "--help"},
        {"backup", "--help"}, {"verify", "--help"}, {"cal", "save", "--help"}, {"info", "--help"}};
    for (const auto& args : helps) {
        DuxkResult r = Run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_TRUE(r.err.empty()) << r.err;
        for (const char* word : {"--port", "--baud", "--no-sn-check", "--trace", "--timeout", "--json", "--quiet",
                                 "--verbose", "--version"})
            EXPECT_NE(r.out.find(word), std::string::npos) << args[0] << " " << word;
        if (args.size() == 2 && args[0] != "info") {
            EXPECT_NE(r.out.find("Examples:"), std::string::npos) << r.out;
        }
    }
    DuxkResult top = Run({"--help"});
    for (const char* word : {"find", "ports", "backup", "verify", "update", "cal", "info"})
        EXPECT_NE(top.out.find(word), std::string::npos) << word;
    // The update's help tells the phases, their times and what to do after a failure.
    DuxkResult update = Run({"update", "--help"});
    for (const char* word : {"Download Transfer-Prg", "Erase Flash Memory", "Program Flash Memory", "14 s",
                             "After a failure", "--verify", "--backup", "interrupt"})
        EXPECT_NE(update.out.find(word), std::string::npos) << word;
}

TEST_F(CliTest, VersionOnStandardOutput) {
    DuxkResult r = Run({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("duxk (DUXKUpdate) ", 0), 0u) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line";
    EXPECT_TRUE(r.err.empty());
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},                           // no command
        {"frobnicate"},               // unknown command
        {"--bogus", "find"},          // unknown option
        {"--baud", "1234", "find"},   // not one of the four rates
        {"--timeout", "-1", "find"},  // not a positive time
        {"--timeout", "0", "find"},
        {"--timeout", "nan", "find"},  // no time at all
        {"--timeout", "inf", "find"},
        {"--timeout", "1e400", "find"},              // beyond a double
        {"--port", std::string(5000, 'p'), "find"},  // longer than any path
        {"ports", "map", "COM9", "/dev/null"},       // only COM1..COM7 are mapped
        {"ports", "map", "COM3"},                    // device missing
        {"ports", "unmap", "LPT1"},
        {"--baud", "38400", "find"},        // a rate belongs to a port
        {"-q", "-v", "find"},               // quiet and verbose at once
        {"cal", "save", "a.cal", "b.cal"},  // one file only
    };
    for (const auto& args : cases) {
        DuxkResult r = Run(args);
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(r.exitCode, 2) << joined << "\n" << r.err;
    }
}

// The port options are checked as the desktop applications check them; the
// words are duxk's own, and a rate is judged before its need of a port.
TEST_F(CliTest, PortOptionErrorsInDuxksWords) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--port", "", "find"}, "--port: empty port name\n"},
        {{"--port", std::string(5000, 'p'), "find"}, "--port: port name too long: 5000 bytes, at most 4095\n"},
        {{"--baud", "1234", "find"}, "--baud: 1234 not in {38400,19200,9600,4800}\n"},
        {{"--baud", "38400", "find"}, "--baud requires --port\n"},
    };
    for (const auto& [args, text] : cases) {
        const DuxkResult r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << text;
        EXPECT_EQ(r.err.rfind(text, 0), 0u) << r.err;
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
    EXPECT_EQ(r.out.rfind("{\"command\":\"ports map\",", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\"message\":\"COM2 -> /dev/a\\\"b\\\\c\\td\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"result\":0,"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << "one line only";
}

TEST_F(CliTest, NoSensorWithinTheTimeOutExitsWithThree) {
    DuxkProcess plain(env.temp, {"find", "--timeout", "5"});
    DuxkProcess json(env.temp, {"--json", "--timeout", "2", "find"});
    DuxkProcess quiet(env.temp, {"-q", "find", "--timeout", "2"});
    DuxkResult r = plain.Wait();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "") << "the search's chatter is no result";
    EXPECT_NE(r.err.find("Looking for sensor...\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no sensor found within 5 s"), std::string::npos) << r.err;

    r = quiet.Wait();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.find("Looking for sensor"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no sensor found within 2 s"), std::string::npos) << "errors stay";

    r = json.Wait();
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.out.rfind("{\"command\":\"find\",\"port\":null,\"baud\":null,\"serial\":null,\"result\":3,", 0), 0u)
        << r.out;
    EXPECT_NE(r.err.find("Looking for sensor..."), std::string::npos) << "status lines move to stderr";
}

// Files named on the command line are checked before the search: with no
// sensor anywhere, each run ends at once with exit status 2 and a message
// that names the file and what is wrong with it.
TEST_F(CliTest, UnusableInputFilesAreRefusedBeforeTheSearch) {
    const std::string dir = env.temp + "/dir";
    std::filesystem::create_directory(dir);
    const std::string fifo = env.temp + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string empty = env.temp + "/empty.bin";
    std::ofstream(empty).close();
    const std::string big = env.temp + "/big.bin";
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 0x1D000);
    const std::string longLine = env.temp + "/long.cal";
    std::ofstream(longLine) << "ok\n" << std::string(70000, 'x') << "\n";
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"update", empty}, empty + ": the file is empty"},
        {{"update", dir + "/"}, dir + "/: is a directory"},
        {{"update", fifo}, fifo + ": not a regular file"},
        {{"update", big}, big + ": too large: 118784 bytes"},
        {{"update", env.temp + "/none.bin"}, env.temp + "/none.bin: no such file or directory"},
        {{"cal", "load", "/dev/zero"}, "/dev/zero: not a regular file"},
        {{"cal", "load", dir}, dir + ": is a directory"},
        {{"cal", "load", longLine}, longLine + ": line 2 is longer than 65536 bytes"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--timeout", "60"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        DuxkResult r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << c.message << "\n" << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Looking for sensor"), std::string::npos) << "no search: " << r.err;
    }
}

// A port named with --port that cannot be opened ends at once with its
// reason, not in a search until the time-out.
TEST_F(CliTest, NamedPortThatCannotBeOpenedEndsWithItsReason) {
    const std::string file = env.temp + "/plain-file";
    std::ofstream(file) << "not a port";
    const std::string fifo = env.temp + "/port-fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        std::string reason;
    };
    const Case cases[] = {
        {{"--port", env.temp + "/ttyNONE", "find"}, "does not exist"},
        {{"--port", "COM6", "find"}, "COM6 does not exist"},
        {{"--port", file, "find"}, "is not a serial port"},
        {{"--port", fifo, "--baud", "9600", "find"}, "is not a serial port"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"--timeout", "60"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        DuxkResult r = Run(args);
        EXPECT_EQ(r.exitCode, 2) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        // No advice to hand a plain file to the serial group.
        EXPECT_EQ(r.err.find("chgrp"), std::string::npos) << r.err;
    }
    std::ifstream in(file);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "not a port") << "the file is left alone";
}

// Names and texts from outside reach a terminal with their control
// characters escaped; into a file they go unchanged.
TEST(TerminalText, ControlCharactersAreEscapedOnATerminal) {
    EXPECT_EQ(EscapeControls("a\x1b]0;owned\x07"
                             "b",
                             true),
              "a\\x1b]0;owned\\x07b");
    EXPECT_EQ(EscapeControls("line\r\nnext\tcol\rover", true), "line\r\nnext\tcol\\x0dover");
    EXPECT_EQ(EscapeControls("l1\nl2", false), "l1\\x0al2");
    EXPECT_EQ(EscapeControls("del\x7f", true), "del\\x7f");
    // UTF-8 stays; C1 controls (encoded or as raw bytes) and broken
    // sequences do not.
    EXPECT_EQ(EscapeControls("Kalibrierdaten \xc3\xa4\xc3\x84 \xe2\x82\xac", true),
              "Kalibrierdaten \xc3\xa4\xc3\x84 \xe2\x82\xac");
    EXPECT_EQ(EscapeControls("\xc2\x9b"
                             "31m",
                             true),
              "\\xc2\\x9b"
              "31m");
    EXPECT_EQ(EscapeControls("\x9b"
                             "31m\xff",
                             true),
              "\\x9b"
              "31m\\xff");
    EXPECT_EQ(EscapeControls("\xe2\x82", true), "\\xe2\\x82");

    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(TerminalText(file, "\x1b[2J"), "\x1b[2J");
    std::fclose(file);
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    FILE* terminal = std::fopen(ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    EXPECT_EQ(TerminalText(terminal, "\x1b[2J"), "\\x1b[2J");
    std::fclose(terminal);
    close(master);
}

}  // namespace

namespace {

// A command ended by an interrupt that nothing holds off (here the questions
// to a port whose far end never answers) gives the line back as it found it.
TEST_F(CliTest, InterruptedCommandGivesThePortBack) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    const int probe = open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    termios before{}, now{};
    ASSERT_EQ(tcgetattr(probe, &before), 0);
    before.c_lflag |= ICANON | ECHO;
    cfsetspeed(&before, B4800);
    ASSERT_EQ(tcsetattr(probe, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(probe, &before), 0);
    DuxkProcess duxk(env.temp, {"--port", slave, "--baud", "38400", "--timeout", "60", "find"});
    for (int i = 0; i < 1200 && tcgetattr(probe, &now) == 0 && (now.c_lflag & ICANON); ++i) poll(nullptr, 0, 50);
    ASSERT_EQ(now.c_lflag & ICANON, 0u) << "the tool never took the line";
    duxk.Signal(SIGINT);
    EXPECT_EQ(duxk.Wait().exitCode, -1) << "ended by the interrupt";
    ASSERT_EQ(tcgetattr(probe, &now), 0);
    EXPECT_EQ(now.c_iflag, before.c_iflag);
    EXPECT_EQ(now.c_cflag, before.c_cflag);
    EXPECT_EQ(now.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&now), static_cast<speed_t>(B4800));
    close(probe);
    close(master);
}

TEST_F(CliTest, UsageErrorsPrintTheJsonObjectToo) {
    DuxkResult r = Run({"--json", "--baud", "38400", "find"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.rfind("{\"command\":\"find\",\"port\":null,", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\"result\":2,"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("--port"), std::string::npos) << "the message names the problem: " << r.out;

    r = Run({"cal", "save", "--json", "--bogus"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out.rfind("{\"command\":\"cal save\",", 0), 0u) << r.out;

    r = Run({"--help", "--json"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.find("{\"command\""), std::string::npos) << "help is no usage error";
}

// Files named on the command line are judged before any port is touched:
// each case ends at once with the file and the reason, without a search.
TEST_F(CliTest, UnusableFilesAreRefusedBeforeTheSearch) {
    const std::string dir = env.temp + "/dir";
    std::filesystem::create_directory(dir);
    const std::string empty = env.temp + "/empty.bin", big = env.temp + "/big.bin", fifo = env.temp + "/fifo";
    std::ofstream(empty).close();
    std::ofstream(big).close();
    std::filesystem::resize_file(big, 0x1C001);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"verify", dir + "/"}, dir + "/: is a directory"},
        {{"verify", env.temp + "/missing.bin"}, env.temp + "/missing.bin: no such file or directory"},
        {{"verify", empty}, empty + ": the file is empty"},
        {{"verify", big}, big + ": too large: 114689 bytes"},
        {{"verify", fifo}, fifo + ": not a regular file"},
        {{"backup", dir}, dir + ": is a directory"},
        {{"backup", env.temp + "/no/such/dir/flash.bin"},
         env.temp + "/no/such/dir/flash.bin: cannot create a file in " + env.temp + "/no/such/dir: no such file"},
        {{"backup", fifo}, fifo + ": not a regular file"},
        {{"update", "--backup", dir, empty}, ""},  // the firmware's own check comes first
        {{"update", "--backup", dir, big}, ""},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> all = {"--timeout", "60"};
        all.insert(all.end(), args.begin(), args.end());
        DuxkResult r = Run(all);
        EXPECT_EQ(r.exitCode, 2) << args[0] << " " << args.back() << "\n" << r.err;
        if (!message.empty()) {
            EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        }
        EXPECT_EQ(r.err.find("Looking for sensor"), std::string::npos) << "no search: " << r.err;
    }
    // The backup file of an update is checked as well, before the search.
    const std::string fw = env.temp + "/fw.bin";
    std::ofstream(fw) << "firmware";
    DuxkResult r = Run({"--json", "update", "--backup", dir, fw});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find(dir + ": is a directory"), std::string::npos) << r.err;
    EXPECT_EQ(r.out.rfind("{\"command\":\"update\",", 0), 0u) << r.out;
    EXPECT_EQ(r.err.find("Looking for sensor"), std::string::npos) << r.err;
}

// A backup file that exists is the only copy of a flash as it was: it is
// not replaced without --force, and the firmware file is never the backup,
// however it is named. Refused before the search, the file untouched.
TEST_F(CliTest, ExistingBackupAndTheFirmwareFileAreRefusedBeforeTheSearch) {
    const std::string fw = env.temp + "/fw.bin", old = env.temp + "/old.bin";
    std::ofstream(fw) << "firmware";
    std::ofstream(old) << "good backup";
    const std::string exists = old + ": the file exists; it is not replaced without --force";
    const std::string isFirmware = ": is the firmware file " + fw;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"backup", old}, exists},
        {{"backup", "--fast", old}, exists},
        {{"update", "--backup", old, fw}, exists},
        {{"update", "--backup", fw, fw}, fw + isFirmware},
        {{"update", "--force", "--backup", env.temp + "/../" + env.temp.substr(5) + "/fw.bin", fw}, isFirmware},
    };
    for (const auto& [args, message] : cases) {
        std::vector<std::string> all = {"--timeout", "60"};
        all.insert(all.end(), args.begin(), args.end());
        DuxkResult r = Run(all);
        EXPECT_EQ(r.exitCode, 2) << args.back() << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Looking for sensor"), std::string::npos) << "no search: " << r.err;
    }
    // --force lets the backup go on to the search (none is found here).
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"backup", "--force", old}, {"update", "--backup", old, "--force", fw}}) {
        std::vector<std::string> all = {"--timeout", "1"};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(Run(all).exitCode, 3) << args[0];
    }
    std::ifstream in(old), firmware(fw);
    std::string kept, image;
    std::getline(in, kept);
    std::getline(firmware, image);
    EXPECT_EQ(kept, "good backup");
    EXPECT_EQ(image, "firmware");
}

}  // namespace
