// The virtual sensor over its pseudo-terminal, with a host played by the
// test: identity, line speed, listings, calibration, boot loader verdicts,
// fault options, port map link and kept state.
#include <gtest/gtest.h>

#include <chrono>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/sim/SimHost.h"

using namespace simtest;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        out.push_back(l);
    }
    return out;
}

// One running sensor and an open host port.
struct Sensor {
    SimProcess proc;
    HostPort host;
    std::string path;
    explicit Sensor(std::vector<std::string> args, int baud = 38400, bool waitApp = true) {
        args.insert(args.begin(), {"--startup", "0.3"});
        path = proc.Start(args);
        EXPECT_FALSE(path.empty());
        EXPECT_TRUE(host.Open(path, baud, true));
        if (waitApp) {
            EXPECT_TRUE(WaitApplication(host));
        }
    }
};

uint32_t Sum(const std::vector<uint8_t>& v) {
    uint32_t s = 0;
    for (uint8_t b : v) s += b;
    return s;
}

// Header, image and checksum bytes of a download, as the boot loader wants them.
std::vector<uint8_t> Download(const std::vector<uint8_t>& image, int checksumSkew = 0) {
    std::vector<uint8_t> d;
    auto le32 = [&d](uint32_t v) {
        for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    le32(static_cast<uint32_t>(image.size()));
    le32(0x04000100);
    le32(0x04000100);
    d.insert(d.end(), image.begin(), image.end());
    const uint32_t sum = Sum(std::vector<uint8_t>(d.begin() + 4, d.end())) + static_cast<uint32_t>(checksumSkew);
    d.push_back(static_cast<uint8_t>(sum));
    d.push_back(static_cast<uint8_t>(sum >> 8));
    return d;
}

bool EnterLoader(HostPort& h) {
    if (h.Command("boot").find("boot__") == std::string::npos) return false;
    const auto reply = h.Command("flsh");
    return reply.rfind("flsh", 0) == 0 && reply.compare(4, 4, "flas") == 0;
}

TEST(SimSensor, IdentityAndSerialNumber) {
    Sensor s({"--serial", "K52X98765"});
    const auto id = s.host.Command("id");
    ASSERT_FALSE(Lines(id).empty());
    EXPECT_TRUE(IdentityValid(Lines(id)[0])) << id;
    EXPECT_EQ(Lines(id)[0].substr(4), "DUX-K52 V3.00");

    const auto spec = s.host.Command("spec");
    EXPECT_NE(spec.find("ID:SER K52X98765\r\n"), std::string::npos) << spec;
    EXPECT_EQ(s.host.Command("appl"), "oper________\r\n");
    EXPECT_EQ(s.host.Command("nonsense"), "syntax error_\r\n");
    // XON bytes and a CR before the LF are not part of the command.
    EXPECT_TRUE(IdentityValid(Lines(s.host.Command("\x11\x11id\r"))[0]));
    EXPECT_EQ(s.proc.Stop(), 0);
}

TEST(SimSensor, AnswersBootDuringStartAndIdentityNoiseBeforeTheAt) {
    SimProcess proc;
    const auto path = proc.Start({"--startup", "1.5", "--id-noise", "x#~"});
    HostPort h;
    ASSERT_TRUE(h.Open(path));
    EXPECT_EQ(h.Command("id"), "boot_\r\n");
    ASSERT_TRUE(WaitApplication(h));
    const auto id = Lines(h.Command("id"))[0];
    ASSERT_EQ(id.rfind("x#~@", 0), 0u) << id;
    EXPECT_TRUE(IdentityValid(id.substr(3)));
}

TEST(SimSensor, RequestAtWrongSpeedGetsNoValidAnswer) {
    Sensor s({"--baud", "9600"}, 9600);
    for (int baud : {38400, 19200, 4800}) {
        s.host.SetLine(baud, true);
        for (int i = 0; i < 3; ++i) {
            const auto reply = s.host.Command("id", 400);
            for (const auto& l : Lines(reply)) {
                const auto at = l.rfind('@');
                EXPECT_FALSE(at != std::string::npos && IdentityValid(l.substr(at))) << baud << ": " << l;
            }
        }
    }
    s.host.SetLine(9600, true);
    s.host.Command("id");  // may still meet the rest of a garbled line
    EXPECT_TRUE(IdentityValid(Lines(s.host.Command("id"))[0]));
}

TEST(SimSensor, ListingsCarryPackMarkersAfterPreambleAndArriveInPieces) {
    Sensor s({});
    struct Case {
        const char* cmd;
        const char* marker;
    } cases[] = {{"SPEC", "Pack "}, {"STAT:MEAS", "PACK "}, {"calib:show", "pack "}};
    for (const auto& c : cases) {
        s.host.Write(std::string(c.cmd) + "\n");
        // The first line comes alone; the rest follows line by line.
        const auto first = s.host.ReadLine(1000);
        ASSERT_TRUE(first.has_value()) << c.cmd;
        EXPECT_EQ(first->find(c.marker), std::string::npos) << c.cmd;
        const auto rest = Lines(s.host.Collect(300));
        ASSERT_GE(rest.size(), 3u) << c.cmd;
        bool marker = false;
        for (const auto& l : rest) marker |= l.find(c.marker) != std::string::npos;
        EXPECT_TRUE(marker) << c.cmd;
    }
    s.host.Write("STAT:ERR:CODE\nSERV:TEST\n");
    const auto test = s.host.Collect(600);
    EXPECT_NE(test.find("ERR:CODE"), std::string::npos);
    EXPECT_NE(test.find("SELFTEST passed"), std::string::npos);
    EXPECT_NE(s.host.Command("STAT:ERR:TEXT").find("ERR:TEXT"), std::string::npos);
}

// The calibration listing is complete by the " NN " rule only with its last line.
TEST(SimSensor, CalibrationListingCompletesWithItsLastLine) {
    Sensor s({});
    s.host.Write("calib:show\n");
    std::string text;
    std::vector<std::string> lines;
    while (auto l = s.host.ReadLine(1000)) {
        lines.push_back(*l);
        text += *l + "\r\n";
        if (l->rfind("end ", 0) == 0) break;
    }
    ASSERT_GE(lines.size(), 3u);
    const auto header = text.find(" pack ");
    ASSERT_NE(header, std::string::npos);
    const std::string count = text.substr(header + 6, 2);
    const std::string pattern = " " + count + " ";
    EXPECT_EQ(text.find(pattern), text.rfind(lines.back()) + lines.back().find(pattern));
    // Records carry their numbers 01..NN at the fourth and fifth place after '@'.
    int n = 0;
    for (const auto& l : lines) {
        if (!l.empty() && l[0] == '@') {
            EXPECT_EQ(std::stoi(l.substr(4, 2)), ++n) << l;
        }
    }
    EXPECT_EQ(n, std::stoi(count));
}

TEST(SimSensor, CalibrationLoadThenShowRoundTripAndIsKept) {
    const std::string state = TempDir("cal");
    const std::vector<std::string> records = {"@CAL01 T=+10.0 K0=+1.11111E+00", "@CAL02 T=+30.0 K0=+2.22222E+00",
                                              "@CAL03 T=+50.0 K0=+3.33333E+00"};
    {
        Sensor s({"--state", state});
        // Locked: a read is refused and changes nothing.
        EXPECT_EQ(s.host.Command("calib:read"), "locked_\r\n");
        EXPECT_EQ(s.host.Command("calib:unlock apple"), "denied_\r\n");
        s.host.Command("calib:lock");
        EXPECT_EQ(s.host.Command("calib:unlock mulberry"), "unlocked_\r\n");
        EXPECT_EQ(s.host.Command("calib:read"), "");
        // A calibration file as a save wrote it: preamble and trailer are no records.
        s.host.Write("CAL:SER K52A01234\n");
        for (const auto& r : records) s.host.Write(r + "\n");
        s.host.Write("end 03 records\n\n");
        EXPECT_EQ(s.host.Command("calib:lock"), "");
        const auto shown = Lines(s.host.Command("calib:show", 400));
        ASSERT_GE(shown.size(), 6u);
        EXPECT_EQ(shown[1], " pack 03");
        EXPECT_EQ(std::vector<std::string>(shown.begin() + 2, shown.begin() + 5), records);
        EXPECT_EQ(shown[5], "end 03 records");
        EXPECT_EQ(s.proc.Stop(), 0);
    }
    {
        Sensor s({"--state", state});
        const auto shown = Lines(s.host.Command("calib:show", 400));
        ASSERT_GE(shown.size(), 5u);
        EXPECT_EQ(shown[2], records[0]);
        EXPECT_NE(s.host.Command("spec").find("ID:SER K52A01234"), std::string::npos);
    }
}

TEST(SimSensor, BusyAndBootAnswersToTheFirstListingRequests) {
    Sensor s({"--boot-answers", "1", "--busy", "2"});
    EXPECT_EQ(s.host.Command("SPEC"), "boot_\r\n");
    EXPECT_EQ(s.host.Command("STAT:MEAS"), "busy_\r\n");
    EXPECT_EQ(s.host.Command("SPEC"), "busy_\r\n");
    EXPECT_NE(s.host.Command("SPEC").find("Pack 01"), std::string::npos);
    // The identity query is no listing request.
    EXPECT_TRUE(IdentityValid(Lines(s.host.Command("id"))[0]));
}

TEST(SimSensor, BootFirmwareAndNoBootAnswer) {
    {
        Sensor s({});
        EXPECT_EQ(s.host.Command("boot"), "boot__\r\n");
        const auto id = Lines(s.host.Command("id"))[0];
        EXPECT_TRUE(IdentityValid(id));
        EXPECT_EQ(id.substr(4), "DUX-K52 BOOT");
        EXPECT_NE(s.host.Command("xyz").find("SYNTAX"), std::string::npos);
        EXPECT_EQ(s.host.Command("appl"), "oper________\r\n");
        EXPECT_EQ(Lines(s.host.Command("id"))[0].substr(4), "DUX-K52 V3.00");
    }
    {
        Sensor s({"--no-boot-answer"});
        EXPECT_EQ(s.host.Command("boot", 500), "");
        EXPECT_TRUE(IdentityValid(Lines(s.host.Command("id"))[0]));
    }
}

TEST(SimSensor, DownloadVerdicts) {
    std::vector<uint8_t> image(600);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7);
    {
        Sensor s({});
        ASSERT_TRUE(EnterLoader(s.host));
        const auto d = Download(image, 1);
        s.host.Write(d.data(), d.size());
        EXPECT_EQ(s.host.ReadByte(2000).value_or(0), 'C');
        // The loader is back in the boot firmware and a new attempt can follow.
        EXPECT_EQ(s.host.Collect(300), "");
        EXPECT_EQ(s.host.Command("boot"), "boot__\r\n");
    }
    {
        Sensor s({"--verdict", "Err 3"});
        ASSERT_TRUE(EnterLoader(s.host));
        const auto d = Download(image);
        s.host.Write(d.data(), d.size());
        EXPECT_EQ(s.host.ReadLine(2000).value_or("none"), "Err 3");
    }
    {
        Sensor s({"--verdict", "O"});
        ASSERT_TRUE(EnterLoader(s.host));
        const auto d = Download(image);
        s.host.Write(d.data(), d.size());
        EXPECT_EQ(s.host.ReadByte(2000).value_or(0), 'O');
    }
}

TEST(SimSensor, DownloadInTheSensorsOwnFramingIsNotAccepted) {
    // A host that stays at one stop bit (and so, on a pseudo-terminal, at no
    // parity) sends 10-bit characters to the loader's 12-bit receiver.
    std::vector<uint8_t> image(600);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13);
    Sensor s({});
    ASSERT_TRUE(EnterLoader(s.host));
    ASSERT_TRUE(s.host.SetLine(38400, false));
    const auto d = Download(image);
    s.host.Write(d.data(), d.size());
    const auto verdict = s.host.ReadByte(3000);
    ASSERT_TRUE(verdict.has_value());
    EXPECT_NE(*verdict, 'T');
}

TEST(SimSensor, PacedLineHoldsTheHostsWritesToItsRate) {
    // 1,000 bytes at 9600 baud (10 bits each) take 1.04 s on a line. A
    // pseudo-terminal takes a write at once, but once the sensor has seen
    // more than 16 bytes waiting, the host's next write waits until the line
    // has nearly caught up, as it waits for a real UART's transmitter.
    Sensor s({"--pace", "--baud", "9600"}, 9600, false);
    ASSERT_TRUE(s.host.SetLine(9600, false));
    const std::string chunk(1000, 'x');
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the sensor sees the chunk
        s.host.Write(chunk);
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GE(took, 2 * (1000 - 16) * 10.0 / 9600);
}

TEST(SimSensor, InvalidApplicationKeepsTheBootFirmwareFindable) {
    const std::string dir = TempDir("boot");
    const std::string fw = dir + "/broken.bin";
    {
        std::ofstream f(fw, std::ios::binary);
        f << "not a firmware image";
    }
    Sensor s({"--firmware", fw, "--serial", "K52B55555"}, 38400, false);
    const auto id = Lines(s.host.Command("id"))[0];
    EXPECT_TRUE(IdentityValid(id));
    EXPECT_EQ(id.substr(4), "DUX-K52 BOOT");
    EXPECT_NE(s.host.Command("spec").find("ID:SER K52B55555"), std::string::npos);
    EXPECT_EQ(s.host.Command("SPEC"), "boot_\r\n");
    EXPECT_EQ(s.host.Command("boot"), "boot__\r\n");
}

TEST(SimSensor, PortMapLinkLivesAsLongAsTheSensor) {
    const std::string ports = TempDir("ports") + "/sub";
    SimProcess proc;
    const auto path = proc.Start({"--com", "4"}, {"DUXK_PORTS_DIR=" + ports});
    ASSERT_FALSE(path.empty());
    char target[256] = {};
    ASSERT_GT(readlink((ports + "/com4").c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(path, target);
    EXPECT_EQ(proc.Stop(), 0);
    struct stat st;
    EXPECT_NE(lstat((ports + "/com4").c_str(), &st), 0);
}

TEST(SimSensor, NeverReplacesALinkOrWritesThroughOne) {
    // A map entry that is already there is someone else's: the sensor
    // refuses to start rather than take COM4 over.
    const std::string ports = TempDir("ports-taken");
    const std::string link = ports + "/com4";
    ASSERT_EQ(symlink("/dev/ttyUSB9", link.c_str()), 0);
    SimProcess taken;
    EXPECT_EQ(taken.Start({"--com", "4"}, {"DUXK_PORTS_DIR=" + ports}), "");
    EXPECT_EQ(taken.Stop(), 1);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/ttyUSB9");

    // A trace file planted as a link is not followed.
    const std::string victim = ports + "/victim", trace = ports + "/trace";
    { std::ofstream(victim) << "precious"; }
    ASSERT_EQ(symlink(victim.c_str(), trace.c_str()), 0);
    SimProcess traced;
    EXPECT_EQ(traced.Start({"--trace", trace}), "");
    EXPECT_EQ(traced.Stop(), 2);
    std::ifstream in(victim);
    std::string kept;
    std::getline(in, kept);
    EXPECT_EQ(kept, "precious");
}

TEST(SimSensor, RxFaultsAtPositionsSpoilTheCommand) {
    // Bytes 0.. of the host stream: "id\n" then "id\n"; byte 1 is dropped.
    SimProcess proc;
    const auto path = proc.Start({"--startup", "0", "--rx-drop-at", "1"});
    HostPort h;
    ASSERT_TRUE(h.Open(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(h.Command("id"), "syntax error_\r\n");
    EXPECT_TRUE(IdentityValid(Lines(h.Command("id"))[0]));
}

}  // namespace
