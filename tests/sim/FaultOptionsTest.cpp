// The fault options a campaign places and the report that tells it what
// fired: parsing, stage points (power loss, silence, notices), faults cleared
// in place, a damaged boot firmware, and the report written on a signal.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "sim/Faults.h"
#include "sim/FirmwareImage.h"
#include "tests/sim/SimHost.h"

using namespace simtest;

namespace {

std::string ReadText(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The entries of one list in the report ("name": [ ... ]).
std::string ReportList(const std::string& report, const std::string& name) {
    const size_t at = report.find("\"" + name + "\": [");
    if (at == std::string::npos) return {};
    return report.substr(at, report.find(']', at) - at);
}

TEST(FaultOptions, StagePointsPositionsAndErrorRepliesParse) {
    sim::StagePoint p;
    ASSERT_TRUE(sim::ParseStagePoint("program:500", p));
    EXPECT_EQ(p.stage, sim::Stage::Program);
    EXPECT_EQ(p.count, 500);
    ASSERT_TRUE(sim::ParseStagePoint("calshow", p));
    EXPECT_EQ(p.stage, sim::Stage::CalShow);
    EXPECT_EQ(p.count, -1);
    for (const char* bad : {"", "bogus:1", "erase:", "erase:-1", "erase:1x", "Program:5"})
        EXPECT_FALSE(sim::ParseStagePoint(bad, p)) << bad;

    sim::ByteFault f;
    ASSERT_TRUE(sim::ParsePositions("7,telegram:12,echo:0x10", f));
    EXPECT_EQ(f.positions, std::set<uint64_t>{7});
    EXPECT_EQ(f.phasePositions[sim::LinePhase::Telegram], std::set<uint64_t>{12});
    EXPECT_EQ(f.phasePositions[sim::LinePhase::Echo], std::set<uint64_t>{16});
    for (const char* bad : {"reply:x", "nosuch:1", "1,,2", "-3"}) {
        sim::ByteFault g;
        EXPECT_FALSE(sim::ParsePositions(bad, g)) << bad;
    }
    // A phase position counts within its phase only.
    std::mt19937_64 rng(1);
    EXPECT_TRUE(f.Hit(99, sim::LinePhase::Telegram, 12, rng));
    EXPECT_FALSE(f.Hit(99, sim::LinePhase::Download, 12, rng));
    EXPECT_FALSE(f.Hit(99, sim::LinePhase::Telegram, 13, rng));
    EXPECT_TRUE(f.Hit(7, sim::LinePhase::Text, 0, rng));

    sim::FaultConfig c;
    ASSERT_TRUE(sim::ParseErrorReplies("F1:2:25", c));
    EXPECT_EQ(c.errorReplies.errorByte, 0xF1);
    EXPECT_EQ(c.errorReplies.count, 2);
    EXPECT_EQ(c.errorReplies.command, 0x25);
    ASSERT_TRUE(sim::ParseErrorReplies("f0:3", c));
    EXPECT_EQ(c.errorReplies.command, -1);
    for (const char* bad : {"F1", "1FF:1", "F1:x", "F1:2:100", ":2"})
        EXPECT_FALSE(sim::ParseErrorReplies(bad, c)) << bad;

    // Power losses accumulate, each with its own point; "start" is no moment
    // of an update.
    ASSERT_TRUE(sim::ParsePowerLoss("download:300", c));
    ASSERT_TRUE(sim::ParsePowerLoss("program", c));
    EXPECT_FALSE(sim::ParsePowerLoss("start", c));
    ASSERT_EQ(c.powerLosses.size(), 2u);
    EXPECT_EQ(c.powerLosses[1].Text(), "program");
}

TEST(SimFaults, ReportIsWrittenOnASignalWithTheLineFaultsThatFired) {
    const std::string dir = TempDir("report");
    for (int sig : {SIGTERM, SIGINT}) {
        const std::string path = dir + "/report" + std::to_string(sig) + ".json";
        SimProcess proc;
        HostPort h;
        ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--report", path, "--rx-drop-at", "text:0"})));
        // The first command loses its first character; the sensor answers
        // the rest as an unknown command.
        EXPECT_TRUE(WaitApplication(h));
        EXPECT_NE(h.Command("id").find("DUX-K52 V3.00"), std::string::npos);
        proc.Signal(sig);
        EXPECT_EQ(proc.WaitExit(5000), 0);
        const std::string r = ReadText(path);
        EXPECT_NE(r.find(sig == SIGTERM ? "\"exit\": \"SIGTERM\"" : "\"exit\": \"SIGINT\""), std::string::npos) << r;
        EXPECT_NE(
            r.find("\"direction\": \"rx\", \"what\": \"drop\", \"index\": 0, \"phase\": \"text\", \"phase_index\": 0"),
            std::string::npos)
            << r;
        EXPECT_EQ(Count(ReportList(r, "line_faults"), "\"what\""), 1u);
        EXPECT_NE(ReportList(r, "modes").find("application firmware"), std::string::npos);
        EXPECT_NE(r.find("{\"op\": \"cmd:id\""), std::string::npos);
    }
}

// Bytes a noisy line adds, either way: the sensor takes a command byte
// twice or a byte of noise before it (the command is then unknown), the host
// gets an answer byte twice or one more byte before it.
TEST(SimFaults, InsertedAndDoubledBytesInEitherDirection) {
    struct Case {
        const char* option;
        const char* what;
        bool commandSpoiled;  // rx: the sensor no longer takes "id"
    };
    for (const Case& k : {Case{"--rx-dup-at", "duplicate", true}, Case{"--rx-insert-at", "insert", true},
                          Case{"--tx-dup-at", "duplicate", false}, Case{"--tx-insert-at", "insert", false}}) {
        const std::string path = TempDir("noise") + "/r.json";
        SimProcess proc;
        HostPort h;
        ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--report", path, k.option, "text:0"})));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::string reply = h.Command("id");
        const size_t at = reply.find("@");
        if (k.commandSpoiled) {
            EXPECT_EQ(reply.find("DUX-K52"), std::string::npos) << k.option << ": " << reply;
        } else {
            ASSERT_NE(at, std::string::npos) << reply;
            // The doubled byte is the '@'; an inserted one stands before it.
            const bool doubled = std::string(k.what) == "duplicate";
            EXPECT_EQ(reply.substr(0, 2), doubled ? std::string("@@") : reply.substr(0, 1) + "@") << reply;
            EXPECT_TRUE(doubled || reply[0] != '@') << reply;
        }
        EXPECT_NE(h.Command("id").find("DUX-K52 V3.00"), std::string::npos) << k.option;
        EXPECT_EQ(proc.Stop(), 0);
        const std::string r = ReadText(path);
        EXPECT_EQ(Count(ReportList(r, "line_faults"), std::string("\"what\": \"") + k.what + "\""), 1u) << r;
    }
}

// The line goes dead at its point with the device open: the answer is lost,
// the sensor runs on (it is in its boot firmware afterwards), and the report
// says where and what was lost. The state is saved on SIGUSR2 while it runs.
TEST(SimFaults, DeadLineLosesWhatCrossesAndSavedStateOnRequest) {
    const std::string dir = TempDir("break");
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--state", dir, "--report", dir + "/r.json", "--line-break",
                                   "boot:1", "--break-for", "0.5"})));
    ASSERT_TRUE(WaitApplication(h));
    EXPECT_EQ(h.Command("boot", 300), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    h.Write(std::string("\0\0", 2));
    EXPECT_NE(h.Command("id").find("DUX-K52 BOOT"), std::string::npos);
    proc.Signal(SIGUSR2);
    EXPECT_EQ(proc.ReadLine(2000).value_or("none"), "saved");
    const std::string running = ReadText(dir + "/r.json");
    EXPECT_NE(running.find("\"exit\": \"running\""), std::string::npos);
    const std::string breaks = ReportList(running, "line_breaks");
    EXPECT_NE(breaks.find("\"where\": \"boot:1\""), std::string::npos) << breaks;
    EXPECT_NE(breaks.find("\"tx_lost\": 8"), std::string::npos) << breaks;  // "boot__" CR LF
    EXPECT_NE(breaks.find("\"stage\": \"boot\", \"telegram\": \"cmd:boot\""), std::string::npos) << breaks;
    // What the host wrote: text lines and the NULs it sent ahead of "id".
    EXPECT_NE(running.find("\"nuls\": 2, \"binary\": 0, \"mismatched\": 0, \"lines\": [\"appl\", \"boot\", \"id\"]"),
              std::string::npos)
        << ReportList(running, "rx_traffic");
    EXPECT_NE(running.find("{\"op\": \"nul\""), std::string::npos);
    EXPECT_EQ(std::ifstream(dir + "/flash.bin", std::ios::binary).seekg(0, std::ios::end).tellg(), 0x20000);
    EXPECT_EQ(proc.Stop(), 0);
}

TEST(SimFaults, SilentSensorTakesAndSendsNothingFromItsPoint) {
    {
        SimProcess proc;
        HostPort h;
        ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--silent", "start"})));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(h.Command("id", 500), "");
        EXPECT_EQ(h.Command("appl", 500), "");
    }
    const std::string report = TempDir("silent") + "/r.json";
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--silent", "boot", "--report", report})));
    ASSERT_TRUE(WaitApplication(h));
    EXPECT_EQ(h.Command("boot", 500), "");
    EXPECT_EQ(h.Command("id", 500), "");
    EXPECT_EQ(proc.Stop(), 0);
    EXPECT_NE(ReportList(ReadText(report), "silent").find("hangs at boot:1"), std::string::npos);
}

TEST(SimFaults, RepeatedPowerLossesFireInTurnAndClearedFaultsStop) {
    const std::string report = TempDir("repeat") + "/r.json";
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--report", report, "--power-loss", "boot:1", "--power-loss",
                                   "boot:1", "--no-boot-answer"})));
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(WaitApplication(h));
        // Power fails as the command arrives: no answer, then a restart.
        EXPECT_EQ(h.Command("boot", 400), "") << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(900));
    }
    ASSERT_TRUE(WaitApplication(h));
    EXPECT_EQ(h.Command("boot", 400), "");  // no power loss left; the boot fault still holds
    proc.Signal(SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(h.Command("boot").find("boot__"), std::string::npos);
    EXPECT_EQ(proc.Stop(), 0);
    const std::string r = ReadText(report);
    EXPECT_EQ(Count(ReportList(r, "power_losses"), "\"where\": \"boot:1\""), 2u) << r;
    EXPECT_EQ(Count(ReportList(r, "boot_ignored"), "\"t\""), 1u);
    EXPECT_EQ(Count(ReportList(r, "faults_cleared"), "\"t\""), 1u);
}

TEST(SimFaults, NoticeIsPrintedWhenItsPointIsReached) {
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--notify", "boot:2", "--notify", "calshow"})));
    ASSERT_TRUE(WaitApplication(h));
    h.Command("calib:show", 200);
    EXPECT_EQ(proc.ReadLine(1000).value_or("none"), "notice calshow");
    EXPECT_NE(h.Command("boot").find("boot__"), std::string::npos);
    EXPECT_FALSE(proc.ReadLine(300));
    h.Command("boot");
    EXPECT_EQ(proc.ReadLine(1000).value_or("none"), "notice boot:2");
}

TEST(SimFaults, DamagedBootFirmwareAnswersNothing) {
    auto start = [](const std::vector<uint8_t>& flash, const std::string& tag) {
        const std::string dir = TempDir(tag);
        std::ofstream(dir + "/flash.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
        return dir;
    };
    std::vector<uint8_t> erased(sim::kFlashSize, 0xFF);
    const auto boot = sim::BootAreaImage();
    std::copy(boot.begin(), boot.end(), erased.begin() + sim::kBootAreaOffset);
    auto damaged = erased;
    damaged[sim::kBootAreaOffset + 100] ^= 0x01;
    {
        // No application, boot firmware intact: found in the boot firmware.
        SimProcess proc;
        HostPort h;
        ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--state", start(erased, "boot-ok")})));
        EXPECT_NE(h.Command("id").find("DUX-K52 BOOT"), std::string::npos);
    }
    {
        SimProcess proc;
        HostPort h;
        ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--state", start(damaged, "boot-bad")})));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(h.Command("id", 500), "");
    }
    // A valid application still runs, but cannot hand over to the boot firmware.
    auto app = damaged;
    const auto image = sim::MakeFirmwareImage("3.50", 1000);
    std::copy(image.begin(), image.end(), app.begin());
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--state", start(app, "app-bad-boot")})));
    ASSERT_TRUE(WaitApplication(h));
    EXPECT_NE(h.Command("id").find("DUX-K52 V3.50"), std::string::npos);
    EXPECT_EQ(h.Command("boot", 400), "");
    EXPECT_EQ(h.Command("id", 400), "");
}

}  // namespace
