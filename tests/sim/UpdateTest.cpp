// Whole updates against the virtual sensor, with the test as the host: boot
// entry, download of the real transfer-program image, and the telegram
// sequence with the program running on the emulated processor.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include "sim/FirmwareImage.h"
#include "tests/sim/SimHost.h"

using namespace simtest;

namespace {

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void Le32(std::vector<uint8_t>& d, uint32_t v) {
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The host's side of the update, reduced to what the sensor must see.
class TestHost {
public:
    explicit TestHost(HostPort& h) : h_(h) {}

    bool EnterBootAndLoad(const std::vector<uint8_t>& image, char expectVerdict = 'T') {
        h_.SetLine(38400, false);
        if (h_.Command("boot").find("boot__") == std::string::npos) return false;
        const auto r = h_.Command("flsh");
        if (r.size() < 8 || r.compare(4, 4, "flas") != 0) return false;
        h_.SetLine(38400, true);  // the boot framing; parity is invisible on a pty
        std::vector<uint8_t> d;
        Le32(d, static_cast<uint32_t>(image.size()));
        Le32(d, 0x04000100);
        Le32(d, 0x04000100);
        uint32_t sum = 0;
        for (size_t i = 4; i < d.size(); ++i) sum += d[i];
        for (uint8_t b : image) sum += b;
        h_.Write(d.data(), d.size());
        h_.Write(image.data(), image.size());
        const uint8_t ck[2] = {static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)};
        h_.Write(ck, 2);
        if (h_.ReadByte(3000).value_or(0) != expectVerdict) return false;
        // The program clears its receiver when it starts; a host gives it
        // time for that before the first telegram (the real one waits 0.7 s).
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        return true;
    }

    // Sends a telegram and receives the reply body, echoing every reply byte.
    std::vector<uint8_t> Exchange(const std::vector<uint8_t>& body, int firstByteMs = 2000) {
        std::vector<uint8_t> t{static_cast<uint8_t>(body.size())};
        t.insert(t.end(), body.begin(), body.end());
        unsigned sum = 0;
        for (uint8_t b : body) sum += b;
        t.push_back(static_cast<uint8_t>(sum));
        t.push_back(static_cast<uint8_t>(sum >> 8));
        h_.Write(t.data(), t.size());

        auto n = EchoedByte(firstByteMs);
        if (!n) return {};
        std::vector<uint8_t> reply;
        unsigned rsum = 0;
        for (int i = 0; i < *n; ++i) {
            auto b = EchoedByte(1000);
            if (!b) return {};
            reply.push_back(static_cast<uint8_t>(*b));
            rsum += static_cast<unsigned>(*b);
        }
        auto lo = EchoedByte(1000), hi = EchoedByte(1000);
        if (!lo || !hi || ((*hi << 8) | *lo) != static_cast<int>(rsum & 0xFFFF)) return {0xEE};
        return reply;
    }

    static std::vector<uint8_t> WithAddress(std::vector<uint8_t> head, uint32_t a) {
        Le32(head, a);
        return head;
    }

private:
    std::optional<int> EchoedByte(int ms) {
        auto b = h_.ReadByte(ms);
        if (!b) return std::nullopt;
        h_.Write(&*b, 1);
        return *b;
    }
    HostPort& h_;
};

uint32_t Sum(const std::vector<uint8_t>& v) {
    uint32_t s = 0;
    for (uint8_t b : v) s += b;
    return s;
}

std::vector<uint8_t> TransferProgram() { return ReadFile(BuildDir() + "/target/dux_tra.bin"); }

std::string ReadText(const std::string& path) {
    const auto v = ReadFile(path);
    return std::string(v.begin(), v.end());
}

// Everything after the download: the host's telegram sequence. Returns the
// flash sum the sensor reported.
uint32_t FlashSequence(TestHost& t, const std::vector<uint8_t>& fw, std::vector<uint8_t>* programStatus = nullptr) {
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0xA2, 0x44}));
    auto id = t.Exchange(TestHost::WithAddress({0x21, 0x01, 0x15}, 0x80000));
    EXPECT_EQ(id.size(), 9u);
    EXPECT_EQ(id.empty() ? 0 : id[0], 0xA1);
    auto erase = TestHost::WithAddress({0x27, 0x01, 0x15}, 0x80000);
    Le32(erase, 0x1C000);
    auto er = t.Exchange(erase, 10000);
    EXPECT_EQ(er.size(), 6u);
    EXPECT_EQ(er.empty() ? 0 : er[0], 0xA7);
    EXPECT_EQ(er.size() > 1 ? er[1] : 0, 0x40);
    EXPECT_EQ(t.Exchange({0x23}), (std::vector<uint8_t>{0xA3, 0x46}));
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0xA2, 0x44}));
    EXPECT_EQ(t.Exchange(TestHost::WithAddress({0x21, 0x01, 0x15}, 0x80000)).size(), 9u);
    for (size_t at = 0; at < fw.size(); at += 240) {
        const size_t n = std::min<size_t>(240, fw.size() - at);
        auto body = TestHost::WithAddress({0x25, 0x01, 0x15}, static_cast<uint32_t>(0x80000 + at));
        body.push_back(static_cast<uint8_t>(n));
        body.push_back(0);
        body.insert(body.end(), fw.begin() + static_cast<long>(at), fw.begin() + static_cast<long>(at + n));
        auto r = t.Exchange(body);
        EXPECT_EQ(r.empty() ? 0 : r[0], 0xA5) << at;
        if (programStatus && r.size() > 1) programStatus->push_back(r[1]);
    }
    EXPECT_EQ(t.Exchange({0x23}), (std::vector<uint8_t>{0xA3, 0x46}));
    auto ck = TestHost::WithAddress({0x26, 0x01}, 0x80000);
    Le32(ck, static_cast<uint32_t>(fw.size()));
    auto c = t.Exchange(ck);
    EXPECT_EQ(c.size(), 5u);
    if (c.size() != 5) return 0;
    return c[1] | (c[2] << 8) | (c[3] << 16) | (static_cast<uint32_t>(c[4]) << 24);
}

std::vector<uint8_t> BootAreaOf(const std::string& state) {
    const auto flash = ReadFile(state + "/flash.bin");
    if (flash.size() != sim::kFlashSize) return {};
    return std::vector<uint8_t>(flash.begin() + sim::kBootAreaOffset, flash.end());
}

TEST(SimUpdate, CompleteUpdateReportsTheNewFirmwareAndLeavesTheBootAreaAlone) {
    const auto tra = TransferProgram();
    ASSERT_EQ(tra.size(), 11340u);
    const auto fw = sim::MakeFirmwareImage("3.20", 2000);
    const std::string state = TempDir("update");
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(
        proc.Start({"--startup", "0.3", "--erase-ms", "50", "--state", state, "--report", state + "/report.json"})));
    ASSERT_TRUE(WaitApplication(h));

    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(tra));
    EXPECT_EQ(FlashSequence(t, fw), Sum(fw));
    EXPECT_EQ(t.Exchange({0x49}), std::vector<uint8_t>{0x48});

    // The program restarts the sensor into the new application.
    h.SetLine(38400, false);
    ASSERT_TRUE(WaitApplication(h));
    auto id = h.Command("id");
    EXPECT_NE(id.find("DUX-K52 V3.20"), std::string::npos) << id;
    EXPECT_EQ(proc.Stop(), 0);
    EXPECT_EQ(BootAreaOf(state), sim::BootAreaImage());
    // The report holds the erase and its duration (seven sectors at the
    // 50 ms asked for), and the program's end.
    const std::string report = ReadText(state + "/report.json");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        report, m,
        std::regex("\"erases\": \\[\\s*\\{\"t\": [0-9.]+, \"ms\": ([0-9.]+), \"stage\": \"erase\"[^}]*\\}\\s*\\]")))
        << report;
    EXPECT_GE(std::stod(m[1]), 350.0);
    EXPECT_NE(report.find("\"program_ends\": [\n    {"), std::string::npos);
}

TEST(SimUpdate, TelegramErrorRepliesComeFromTheProgram) {
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--erase-ms", "50", "--telegram-errors", "2:22"})));
    ASSERT_TRUE(WaitApplication(h));
    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    // Only power-on telegrams are spoiled, and only the first two.
    EXPECT_EQ(t.Exchange({0x23}), (std::vector<uint8_t>{0xA3, 0x46}));
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0x20, 0xF4}));
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0x20, 0xF4}));
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0xA2, 0x44}));
    // Ending the sensor while the program runs ends it cleanly.
    EXPECT_EQ(proc.Stop(), 0);
}

TEST(SimUpdate, StuckCellFailsProgrammingAndTheChecksumShowsIt) {
    const auto fw = sim::MakeFirmwareImage("3.30", 600);
    // The stuck cell keeps its bits through erase as well: start from a
    // short application so that the cell is erased to begin with.
    const std::string dir = TempDir("stuck");
    {
        const auto small = sim::MakeFirmwareImage("3.00", 200);
        std::ofstream f(dir + "/small.bin", std::ios::binary);
        f.write(reinterpret_cast<const char*>(small.data()), static_cast<std::streamsize>(small.size()));
    }
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--erase-ms", "50", "--firmware", dir + "/small.bin",
                                   "--stuck-cell", "0x80100", "--report", dir + "/report.json"})));
    ASSERT_TRUE(WaitApplication(h));
    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    std::vector<uint8_t> status;
    EXPECT_NE(FlashSequence(t, fw, &status), Sum(fw));
    EXPECT_EQ(status, (std::vector<uint8_t>{0x42, 0x43, 0x42}));
    EXPECT_EQ(proc.Stop(), 0);
    EXPECT_NE(ReadText(dir + "/report.json").find("\"stuck_cell\": {\"address\": 524544, \"hits\": 1}"),
              std::string::npos);
}

TEST(SimUpdate, PowerLossWhileProgrammingLeavesABootableSensor) {
    const auto fw = sim::MakeFirmwareImage("3.40", 2000);
    const std::string state = TempDir("powerloss");
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(
        h.Open(proc.Start({"--startup", "0.3", "--erase-ms", "50", "--state", state, "--power-loss", "program:500"})));
    ASSERT_TRUE(WaitApplication(h));
    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0xA2, 0x44}));
    EXPECT_EQ(t.Exchange(TestHost::WithAddress({0x21, 0x01, 0x15}, 0x80000)).size(), 9u);
    auto erase = TestHost::WithAddress({0x27, 0x01, 0x15}, 0x80000);
    Le32(erase, 0x1C000);
    EXPECT_EQ(t.Exchange(erase, 10000).size(), 6u);
    // Program telegrams until the power fails: no reply any more.
    bool silent = false;
    for (size_t at = 0; at < fw.size() && !silent; at += 240) {
        auto body = TestHost::WithAddress({0x25, 0x01, 0x15}, static_cast<uint32_t>(0x80000 + at));
        const size_t n = std::min<size_t>(240, fw.size() - at);
        body.push_back(static_cast<uint8_t>(n));
        body.push_back(0);
        body.insert(body.end(), fw.begin() + static_cast<long>(at), fw.begin() + static_cast<long>(at + n));
        silent = t.Exchange(body).empty();
    }
    ASSERT_TRUE(silent);
    // Back from the power loss in the boot firmware: the application is
    // incomplete, but the sensor can be found and updated again.
    h.SetLine(38400, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    h.Flush();
    auto id = h.Command("id");
    EXPECT_NE(id.find("DUX-K52 BOOT"), std::string::npos) << id;
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    EXPECT_EQ(FlashSequence(t, fw), Sum(fw));
    EXPECT_EQ(t.Exchange({0x49}), std::vector<uint8_t>{0x48});
    h.SetLine(38400, false);
    ASSERT_TRUE(WaitApplication(h));
    EXPECT_NE(h.Command("id").find("DUX-K52 V3.40"), std::string::npos);
    EXPECT_EQ(proc.Stop(), 0);
    EXPECT_EQ(BootAreaOf(state), sim::BootAreaImage());
}

TEST(SimUpdate, WatchdogRestartsASensorLeftInTheProgram) {
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--erase-ms", "50", "--watchdog", "1"})));
    ASSERT_TRUE(WaitApplication(h));
    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    // What a host sends after a failed update (still in the boot framing)
    // only feeds the program's telegram reader, which sends back the bytes
    // it takes for unknown commands; then the program falls silent and the
    // watchdog bites.
    h.Write("appl\n");
    EXPECT_EQ(h.Collect(300), "pl");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    h.SetLine(38400, false);
    ASSERT_TRUE(WaitApplication(h, 4000));
    EXPECT_NE(h.Command("id").find("DUX-K52 V3.00"), std::string::npos);
}

}  // namespace

namespace {

TEST(SimUpdate, ErrorRepliesComeFromTheSensorByteByByteAgainstEchoes) {
    const std::string report = TempDir("errreply") + "/r.json";
    SimProcess proc;
    HostPort h;
    ASSERT_TRUE(h.Open(proc.Start({"--startup", "0.3", "--error-replies", "F3:2:22", "--report", report})));
    ASSERT_TRUE(WaitApplication(h));
    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    EXPECT_EQ(t.Exchange({0x23}), (std::vector<uint8_t>{0xA3, 0x46}));
    // The reply's first byte, and nothing more until the host echoes it.
    const uint8_t powerOn[] = {0x01, 0x22, 0x22, 0x00};
    h.Write(powerOn, sizeof powerOn);
    EXPECT_EQ(h.ReadByte(2000).value_or(0), 0x02);
    EXPECT_EQ(h.Collect(300), "");
    const uint8_t echo = 0x02;
    h.Write(&echo, 1);
    EXPECT_EQ(h.ReadByte(2000).value_or(0), 0x20);
    // Echo by echo: 0xF3, then the sum 0x0113, least significant byte first.
    std::vector<int> rest;
    for (uint8_t b : {0x20, 0xF3, 0x13, 0x01}) {
        h.Write(&b, 1);
        if (b != 0x01) rest.push_back(h.ReadByte(2000).value_or(-1));
    }
    EXPECT_EQ(rest, (std::vector<int>{0xF3, 0x13, 0x01}));
    // The second one through the host's usual exchange, then the program's
    // own answer: it never saw the two telegrams.
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0x20, 0xF3}));
    EXPECT_EQ(t.Exchange({0x22}), (std::vector<uint8_t>{0xA2, 0x44}));
    EXPECT_EQ(t.Exchange(TestHost::WithAddress({0x21, 0x01, 0x15}, 0x80000)).size(), 9u);
    EXPECT_EQ(proc.Stop(), 0);
    const std::string r = ReadText(report);
    EXPECT_NE(r.find("\"byte\": \"F3\", \"command\": \"22\""), std::string::npos) << r;
    EXPECT_EQ(r.find("\"telegram_errors\": [\n"), std::string::npos);
}

TEST(SimUpdate, PulledCableLeavesTheProgramRunningAndComesBackAsANewDevice) {
    SimProcess proc;
    HostPort h;
    const std::string first =
        proc.Start({"--startup", "0.3", "--watchdog", "0", "--cut", "power:4", "--replug-after", "0.5"});
    ASSERT_TRUE(h.Open(first));
    ASSERT_TRUE(WaitApplication(h));
    TestHost t(h);
    ASSERT_TRUE(t.EnterBootAndLoad(TransferProgram()));
    // The cable goes with the power-on telegram's last byte: its reply is
    // lost and the host's port hangs up.
    const uint8_t powerOn[] = {0x01, 0x22, 0x22, 0x00};
    h.Write(powerOn, sizeof powerOn);
    pollfd p{h.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    const auto replug = proc.ReadLine(3000);
    ASSERT_TRUE(replug && replug->rfind("replugged /dev/", 0) == 0) << replug.value_or("");
    h.Close();
    HostPort again;
    ASSERT_TRUE(again.Open(replug->substr(10), 38400, true));
    // The program still waits for the echo of its reply's first byte.
    const uint8_t echo = 0x02;
    again.Write(&echo, 1);
    EXPECT_EQ(again.ReadByte(2000).value_or(0), 0xA2);
}

}  // namespace
