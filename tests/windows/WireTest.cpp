// The Windows programs on the wire: the same operations run with the Linux
// duxk and with duxk.exe and duxkupdate.exe under Wine, each against a fresh
// virtual sensor of the same state, and the sensor's two traces compared.
//
// Bytes and their order must be the same in each direction: the host's all
// through, but for the boot entry's repeats of "boot" (it repeats when the
// first line it reads is not the boot firmware's answer, which a late line
// of the search before may be, as the host's timing has it), the sensor's
// from the host's "flsh" on. Of the host's
// silences, measured where the sensor sees them, only those the protocol
// fixes are checked, each run on its own against the protocol's value:
//   - every echo of a transfer-program byte at least 9 ms after the byte (the
//     host echoes 10 ms after reading it; 1 ms for clock steps);
//   - the fixed waits of an update, placed by the bytes themselves: 1 s
//     after "boot", 0.5 + 0.3 s before the download header, 0.4 s before each
//     512-byte block, 0.5 s before its checksum, 0.2 s before the flash steps
//     (1 s before the last power-off, 0.1 s before the checksum request), 0.1 s
//     before reading a reply's length and its checksum, 0.9 s before "appl"
//     and 0.4 s before the reopened port's "appl". Each at least its value less
//     50 ms: the sensor timestamps a chunk when it reads it, so that a late
//     read of the byte before shortens what it sees.
// A loaded machine only ever lengthens a wait, by up to a second at single
// waits here, so the two systems are compared as a whole: the median
// difference of the fixed waits within 0.25 s, of the echoes within 50 ms.
#include "tests/windows/WineSupport.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <tuple>
#include <utility>

namespace {

using namespace winetest;

constexpr double kEchoFloor = 0.009, kReadSlack = 0.05, kWaitMedian = 0.25, kEchoMedian = 0.05;

// The host's bytes with the time of each, and its echoes with their
// distance from the sensor's byte.
struct Wire {
    std::string host, sensor;
    std::vector<double> time;
    std::vector<std::pair<size_t, double>> echoes;
    double Gap(size_t at) const { return at ? time[at] - time[at - 1] : 0; }
};

// The sensor's bytes count from the host's "flsh" on, where there is one
// (before it the boot entry purges the line, and what the sensor sent before,
// the search's last lines and its boot answers, depends on when the host
// looked), up to a closing "appl" (a program closes the port without waiting
// for its answer).
Wire WireFrom(const std::vector<TraceChunk>& chunks) {
    Wire w;
    bool sensor = std::none_of(chunks.begin(), chunks.end(),
                               [](const TraceChunk& c) { return c.host && c.bytes.rfind("flsh\n", 0) == 0; });
    const auto last = std::find_if(chunks.rbegin(), chunks.rend(), [](const TraceChunk& c) { return c.host; });
    const size_t end = last != chunks.rend() && last->bytes == "appl\n" ? chunks.rend() - last : chunks.size();
    for (size_t i = 0; i < chunks.size(); ++i) {
        const TraceChunk& c = chunks[i];
        if (!c.host) {
            if (sensor && i < end) w.sensor += c.bytes;
            continue;
        }
        sensor = sensor || c.bytes.rfind("flsh\n", 0) == 0;
        const TraceChunk* prev = i ? &chunks[i - 1] : nullptr;
        if (prev && !prev->host && prev->bytes.size() == 1 && c.bytes[0] == prev->bytes[0])
            w.echoes.emplace_back(w.host.size(), c.time - prev->time);
        w.time.resize(w.time.size() + c.bytes.size(), c.time);
        w.host += c.bytes;
    }
    return w;
}

// Where an update's fixed waits stand in the host's bytes, and how long
// each is; none for anything else.
std::vector<std::pair<size_t, double>> FixedWaits(const std::string& host) {
    std::vector<std::pair<size_t, double>> waits;
    const auto byte = [&](size_t at) { return at < host.size() ? static_cast<unsigned char>(host[at]) : 0u; };
    const size_t flsh = host.find("flsh\n", host.find("boot\n"));
    if (flsh == std::string::npos || flsh + 19 > host.size()) return waits;
    waits.emplace_back(flsh, 1.0);
    const size_t header = flsh + 5, image = header + 12, size = byte(header) | byte(header + 1) << 8;
    waits.emplace_back(header, 0.8);
    for (size_t block = image; block < image + size; block += 512) waits.emplace_back(block, 0.4);
    waits.emplace_back(image + size, 0.5);
    // Telegrams: length, body, two checksum bytes; the reply, every byte
    // echoed, likewise. The first six steps and the first program block
    // follow 0.2 s; the last three 1.0, 0.1 and 0.2 s; the program blocks
    // follow each other at once.
    std::vector<size_t> telegrams;
    size_t at = image + size + 2;
    while (at < host.size() && host.compare(at, 5, "appl\n") != 0) {
        telegrams.push_back(at);
        const size_t reply = at + byte(at) + 3;
        waits.emplace_back(reply, 0.1);
        waits.emplace_back(reply + 1 + byte(reply), 0.1);
        at = reply + byte(reply) + 3;
    }
    const double last[] = {1.0, 0.1, 0.2};
    for (size_t i = 0; i < telegrams.size(); ++i) {
        const size_t fromEnd = telegrams.size() - i;
        if (fromEnd <= 3)
            waits.emplace_back(telegrams[i], last[3 - fromEnd]);
        else if (i < 7)
            waits.emplace_back(telegrams[i], 0.2);
    }
    if (at < host.size()) waits.emplace_back(at, 0.9);
    if (host.compare(at + 5, 5, "appl\n") == 0) waits.emplace_back(at + 5, 0.4);
    return waits;
}

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

// An update from its last "boot" on. The boot entry sends "boot" again when
// the line it reads first is not the boot firmware's answer, which a late
// line of the search before it may be: how often depends on the host's
// timing, on either system.
std::vector<TraceChunk> FromLastBoot(std::vector<TraceChunk> chunks) {
    const auto starts = [](const char* text) {
        return [text](const TraceChunk& c) { return c.host && c.bytes.rfind(text, 0) == 0; };
    };
    const auto flsh = std::find_if(chunks.begin(), chunks.end(), starts("flsh\n"));
    const auto boot = std::find_if(std::make_reverse_iterator(flsh), chunks.rend(), starts("boot\n"));
    if (flsh != chunks.end() && boot != chunks.rend()) chunks.erase(chunks.begin(), std::prev(boot.base()));
    return chunks;
}

// What the host sent before its first "boot".
std::string BeforeBoot(const std::vector<TraceChunk>& chunks) {
    const std::string host = HostBytes(chunks);
    return host.substr(0, host.find("boot\n"));
}

std::string Around(const std::string& bytes, size_t at) {
    std::string out;
    char hex[4];
    for (size_t i = at < 8 ? 0 : at - 8; i < std::min(bytes.size(), at + 8); ++i) {
        std::snprintf(hex, sizeof hex, i == at ? "[%02X" : " %02X", static_cast<unsigned char>(bytes[i]));
        out += hex;
    }
    return out;
}

// Windows against Linux. gui: the desktop application, which goes on after
// the Linux bytes (it asks the sensor more after an update) and waits for
// its result box to be answered before the closing "appl".
void CompareWire(const std::string& what, const Wire& lin, const Wire& win, bool gui) {
    SCOPED_TRACE(what);
    for (const auto& [name, l, w] : {std::tuple{"host", &lin.host, &win.host}, {"sensor", &lin.sensor, &win.sensor}}) {
        const std::string& common = gui ? w->substr(0, l->size()) : *w;
        const size_t at = std::mismatch(l->begin(), l->end(), common.begin(), common.end()).first - l->begin();
        ASSERT_TRUE(common == *l) << name << " bytes differ at " << at << " of " << l->size() << "/" << w->size()
                                  << ": Linux" << Around(*l, at) << ", Windows" << Around(*w, at);
    }
    std::vector<double> echoes[2];
    for (const auto& [side, wire] : {std::pair{0, &lin}, {1, &win}}) {
        for (const auto& [at, pause] : wire->echoes) {
            if (at >= lin.host.size()) continue;
            echoes[side].push_back(pause);
            EXPECT_GE(pause, kEchoFloor) << (side ? "Windows" : "Linux") << " echo at host byte " << at;
        }
    }
    const auto waits = FixedWaits(lin.host);
    const size_t answered = gui && !waits.empty() ? lin.host.rfind("appl\n", lin.host.size() - 6) : std::string::npos;
    std::vector<double> differences;
    for (const auto& [at, value] : waits) {
        const double l = lin.Gap(at), w = win.Gap(at);
        EXPECT_GE(l, value - kReadSlack) << "Linux's wait before host byte " << at << Around(lin.host, at);
        EXPECT_GE(w, value - kReadSlack) << "Windows' wait before host byte " << at << Around(lin.host, at)
                                         << ", Linux's " << l << " s";
        if (at != answered) differences.push_back(w - l);
    }
    const double waitShift = Median(differences), echoShift = Median(echoes[1]) - Median(echoes[0]);
    EXPECT_LE(std::fabs(waitShift), kWaitMedian);
    EXPECT_LE(std::fabs(echoShift), kEchoMedian);
    std::printf(
        "[ wire ] %s: %zu host and %zu sensor bytes alike; %zu echoes after %.3f s on Linux, %.3f s on "
        "Windows (medians); %zu fixed waits, Windows %+.3f s (median)\n",
        what.c_str(), lin.host.size(), lin.sensor.size(), echoes[0].size(), Median(echoes[0]), Median(echoes[1]),
        waits.size(), waitShift);
}

// The programs find the sensor on the port named (at its first rate): a
// port opened directly is sent "appl" first, whose answer may come after the
// update's purge and cost it a second "boot", as the host's timing has it.
class WireTest : public WinePrefixTest {
protected:
    // A fresh sensor in its own directory; its trace after `run` is done
    // with it.
    std::vector<TraceChunk> Traced(const std::string& name, const std::function<void(Sim&)>& run) {
        const std::string dir = dir_ + "/" + name;
        fs::create_directories(dir);
        {
            Sim sim(dir, "K52W00030", {"--erase-ms", "20"});
            run(sim);
        }
        return ReadSimTrace(dir + "/sim.trace");
    }

    std::vector<TraceChunk> Linux(const std::string& name, std::vector<std::string> args) {
        return Traced(name, [&](Sim& sim) {
            std::vector<std::string> all{EnvOr("DUXK_BIN_DIR", "bin") + "/duxk", "--port", sim.Device()};
            all.insert(all.end(), args.begin(), args.end());
            // TEMP of its own: no marker or last-port file of the user's.
            setenv("TEMP", (dir_ + "/" + name).c_str(), 1);
            const ProgramRun run = RunProgram(all, dir_ + "/" + name + "/duxk", 300);
            unsetenv("TEMP");
            EXPECT_EQ(run.status, 0) << run.out << run.err;
        });
    }

    std::vector<TraceChunk> Windows(const std::string& name, std::vector<std::string> args) {
        return Traced(name, [&](Sim& sim) {
            Attach(sim);
            // As on Linux, a %TEMP% of its own.
            EXPECT_TRUE(SetTemp(WindowsPath(dir_ + "/" + name), dir_ + "/" + name + "/reg-temp"));
            args.insert(args.begin(), {"--port", "COM1"});
            const ProgramRun run = Duxk(name + "/duxk", args, 300);
            EXPECT_EQ(run.status, 0) << run.out << run.err;
        });
    }
};

TEST_F(WireTest, WindowsProgramsSendAndWaitAsTheLinuxOnes) {
    const std::string fw = dir_ + "/fw.bin";
    ASSERT_EQ(RunProgram({EnvOr("DUXK_BIN_DIR", "bin") + "/duxk-mkfw", fw, "--version", "9.87", "--size", "1500"},
                         dir_ + "/mkfw", 60)
                  .status,
              0);
    // duxk.exe against duxk: a listing, then an update (the search before
    // it alike too).
    const std::vector<TraceChunk> linuxUpdate = Linux("linux-update", {"update", fw});
    const std::vector<TraceChunk> windowsUpdate = Windows("windows-update", {"update", WindowsPath(fw)});
    EXPECT_EQ(BeforeBoot(windowsUpdate), BeforeBoot(linuxUpdate));
    CompareWire("duxk.exe listing", WireFrom(Linux("linux-listing", {"info", "spec"})),
                WireFrom(Windows("windows-listing", {"info", "spec"})), false);
    CompareWire("duxk.exe update", WireFrom(FromLastBoot(linuxUpdate)), WireFrom(FromLastBoot(windowsUpdate)), false);
    EXPECT_GT(FixedWaits(WireFrom(linuxUpdate).host).size(), 50u) << "an update's waits found";

    // duxkupdate.exe's update, from its "boot" on, against duxk's.
    const std::string driver = EnvOr("DUXK_WINDOWS_UIDRIVER", "");
    const std::string gui = EnvOr("DUXK_WINDOWS_GUI_EXE", "");
    if (!WineGui::Missing(driver).empty() || access(gui.c_str(), R_OK) != 0)
        GTEST_SKIP() << "duxkupdate.exe not compared: " << WineGui::Missing(driver) << " " << gui;
    const Wire lin = WireFrom(FromLastBoot(linuxUpdate));
    const Wire win = WireFrom(FromLastBoot(Traced("windows-gui-update", [&](Sim& sim) {
        Attach(sim);
        WineGui app(dir_ + "/windows-gui-update", wine_, wineserver_, driver);
        ASSERT_TRUE(app.Start({gui, "/port:COM1", "/baud:38400"}));
        const ProgramRun run = app.Ui("update", {"frame", "view|Sensor port opened directly", "menu|32775",
                                                 "dialog|Firmware Update", "set|1000|" + WindowsPath(fw), "click|1005",
                                                 "box|Success|Firmware transferred successfully", "ok", "close"});
        EXPECT_EQ(run.status, 0) << run.out;
    })));
    CompareWire("duxkupdate.exe update", lin, win, true);
}

}  // namespace
