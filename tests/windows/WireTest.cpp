// The Windows programs on the wire: the same operations run with the Linux
// duxk and with duxk.exe and duxkupdate.exe under Wine, each against a fresh
// virtual sensor of the same state, and the sensor's two traces compared.
//
// Bytes and their order must be the same in each direction. Pauses are the
// host's silences before a byte, measured where the sensor sees them; only
// those the protocol fixes are compared, with bounds that a loaded machine
// keeps (it only ever lengthens a wait):
//   - every echo of a transfer-program byte comes at least 9 ms after the
//     byte (the host echoes 10 ms after reading it; 1 ms for clock steps);
//   - the fixed waits (0.2 s between flash steps, 0.3/0.4/0.5 s around the
//     download blocks, 0.9 s before "appl", 1 s after "boot": every Linux
//     silence of 150 ms or more) stand at the same bytes on Windows, at
//     least 150 ms long and within 0.5 s of the Linux one; and Windows keeps
//     no silence of 0.6 s or more that Linux has not.
#include "tests/windows/WineSupport.h"

#include <cmath>
#include <cstdio>
#include <functional>
#include <tuple>
#include <utility>

namespace {

using namespace winetest;

constexpr double kEchoFloor = 0.009, kFixedWait = 0.15, kFixedSlack = 0.5, kExtraWait = 0.6;

// One direction's bytes and, for each host byte, the silence before it
// (-1 within a burst).
struct Wire {
    std::string host, sensor;
    std::vector<double> pause;
    std::vector<size_t> echoes;  // host bytes echoing the sensor's single byte before
};

Wire WireFrom(const std::vector<TraceChunk>& chunks) {
    Wire w;
    for (size_t i = 0; i < chunks.size(); ++i) {
        const TraceChunk& c = chunks[i];
        if (!c.host) {
            w.sensor += c.bytes;
            continue;
        }
        const TraceChunk* prev = i ? &chunks[i - 1] : nullptr;
        if (prev && !prev->host && prev->bytes.size() == 1 && c.bytes[0] == prev->bytes[0])
            w.echoes.push_back(w.host.size());
        w.pause.push_back(prev ? c.time - prev->time : -1);
        w.pause.resize(w.pause.size() + c.bytes.size() - 1, -1);
        w.host += c.bytes;
    }
    return w;
}

// The chunks from the host's first "boot" on: an update, whatever came before.
std::vector<TraceChunk> FromBoot(std::vector<TraceChunk> chunks) {
    auto boot = std::find_if(chunks.begin(), chunks.end(),
                             [](const TraceChunk& c) { return c.host && c.bytes.rfind("boot\n", 0) == 0; });
    chunks.erase(chunks.begin(), boot);
    return chunks;
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

// Windows against Linux. prefix: Windows may go on after the Linux bytes
// (the desktop application asks the sensor more after an update).
void CompareWire(const std::string& what, const Wire& lin, const Wire& win, bool prefix) {
    SCOPED_TRACE(what);
    for (const auto& [name, l, w] : {std::tuple{"host", &lin.host, &win.host}, {"sensor", &lin.sensor, &win.sensor}}) {
        const std::string& common = prefix ? w->substr(0, l->size()) : *w;
        const size_t at = std::mismatch(l->begin(), l->end(), common.begin(), common.end()).first - l->begin();
        ASSERT_TRUE(common == *l) << name << " bytes differ at " << at << " of " << l->size() << "/" << w->size()
                                  << ": Linux" << Around(*l, at) << ", Windows" << Around(*w, at);
    }
    for (const auto& [name, wire] : {std::pair{"Linux", &lin}, {"Windows", &win}}) {
        for (size_t at : wire->echoes) {
            if (at < lin.host.size()) {
                EXPECT_GE(wire->pause[at], kEchoFloor) << name << " echo at host byte " << at;
            }
        }
    }
    double worst = 0;
    size_t fixed = 0;
    for (size_t at = 1; at < lin.host.size(); ++at) {
        const double l = lin.pause[at], w = win.pause[at];
        if (l >= kFixedWait) {
            ++fixed;
            worst = std::max(worst, std::fabs(w - l));
            EXPECT_TRUE(w >= kFixedWait && std::fabs(w - l) <= kFixedSlack)
                << "wait before host byte " << at << Around(lin.host, at) << ": Linux " << l << " s, Windows " << w
                << " s";
        } else {
            EXPECT_LT(w, kExtraWait) << "Windows waits before host byte " << at << Around(lin.host, at)
                                     << ", Linux " << l << " s";
        }
    }
    std::printf("[ wire ] %s: %zu host and %zu sensor bytes alike, %zu echoes, %zu fixed waits within %.3f s\n",
                what.c_str(), lin.host.size(), lin.sensor.size(), lin.echoes.size(), fixed, worst);
}

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
            std::vector<std::string> all{EnvOr("DUXK_BIN_DIR", "bin") + "/duxk", "--port", sim.Device(), "--baud",
                                         "38400"};
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
            args.insert(args.begin(), {"--port", "COM1", "--baud", "38400"});
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
    // duxk.exe against duxk: a listing, then an update.
    const std::vector<TraceChunk> linuxUpdate = Linux("linux-update", {"update", fw});
    for (const auto& [name, lin, winArgs] :
         {std::tuple{"listing", WireFrom(Linux("linux-listing", {"info", "spec"})),
                     std::vector<std::string>{"info", "spec"}},
          {"update", WireFrom(linuxUpdate), std::vector<std::string>{"update", WindowsPath(fw)}}}) {
        ASSERT_FALSE(lin.host.empty());
        CompareWire(std::string("duxk.exe ") + name, lin, WireFrom(Windows(std::string("windows-") + name, winArgs)),
                    false);
    }
    EXPECT_GT(WireFrom(linuxUpdate).echoes.size(), 100u);

    // duxkupdate.exe's update, from its "boot" on, against duxk's.
    const std::string driver = EnvOr("DUXK_WINDOWS_UIDRIVER", "");
    const std::string gui = EnvOr("DUXK_WINDOWS_GUI_EXE", "");
    if (!WineGui::Missing(driver).empty() || access(gui.c_str(), R_OK) != 0)
        GTEST_SKIP() << "duxkupdate.exe not compared: " << WineGui::Missing(driver) << " " << gui;
    const Wire lin = WireFrom(FromBoot(linuxUpdate));
    const Wire win = WireFrom(FromBoot(Traced("windows-gui-update", [&](Sim& sim) {
        Attach(sim);
        WineGui app(dir_ + "/windows-gui-update", wine_, wineserver_, driver);
        ASSERT_TRUE(app.Start({gui, "/port:COM1", "/baud:38400"}));
        const ProgramRun run =
            app.Ui("update", {"frame", "view|Sensor port opened directly", "menu|32775", "dialog|Firmware Update",
                              "set|1000|" + WindowsPath(fw), "click|1005",
                              "box|Success|Firmware transferred successfully", "close"});
        EXPECT_EQ(run.status, 0) << run.out;
    })));
    CompareWire("duxkupdate.exe update", lin, win, true);
}

}  // namespace
