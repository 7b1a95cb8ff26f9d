// Whole firmware updates with `duxk update`, in standard mode and in fast mode,
// against the virtual sensor running the real transfer-program image on a
// paced line. The scenarios are independent (each has its own sensor on its
// own pseudo-terminal) and run side by side, since every update takes tens of
// seconds of protocol waits.
#include "E2eSupport.h"

#include "Scenarios.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace e2e;

namespace {

std::string ScenarioDir(const std::string& name) { return e2e::ScenarioDir("duxk_update_e2e", name); }

// Each scenario returns its failures as text (empty: passed), so that the
// scenarios can run on their own threads and report together.
using Scenario = std::function<std::string()>;

#define CHECK_THAT(cond)                                    \
    do {                                                    \
        if (!(cond)) failures += std::string(#cond) + "\n"; \
    } while (0)

std::string SuccessfulUpdate() {
    std::string failures;
    const std::string dir = ScenarioDir("success");
    const std::string fw = MakeFirmware(dir, "9.87", 2000);
    Sim sim(dir, {}, 38400, true);
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.out, "Success: Firmware transferred successfully"));
    CHECK_THAT(Contains(run.err, "Program Flash Memory: 100%"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    // Back in its application, the sensor reports the new firmware.
    const Run find = Duxk(dir, "find", sim, {"find"});
    CHECK_THAT(find.status == 0);
    CHECK_THAT(Contains(sim.Trace(), "restart: application valid, VER=9.87"));
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

std::string OversizedFileLeavesTheSensorAlone() {
    std::string failures;
    const std::string dir = ScenarioDir("oversized");
    const std::string fw = dir + "/big.bin";
    std::ofstream(fw).put('x');
    fs::resize_file(fw, 0x1C001);
    Sim sim(dir, {});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 2);
    CHECK_THAT(Contains(run.err, "too large"));
    CHECK_THAT(!Contains(sim.Trace(), " RX "));
    return failures;
}

std::string FileReplacedDuringTheUpdateChangesNothing() {
    // The image is read once before the sensor is touched: a file renamed
    // over it mid-update (0x1D000 zero bytes, past the erased area) is never
    // looked at, and no telegram reaches the boot area above 0x9BFFF.
    std::string failures;
    const std::string dir = ScenarioDir("replaced");
    const std::string fw = MakeFirmware(dir, "9.06", 2400);
    const std::string original = ReadAll(fw);
    const std::string bigger = dir + "/bigger.bin";
    std::ofstream(bigger, std::ios::binary).close();
    fs::resize_file(bigger, 0x1D000);
    Sim sim(dir, {});
    const std::string before = sim.Flash();
    const pid_t pid = Spawn({BinDir() + "/duxk", "--port", sim.Device(), "--baud", "38400", "update", fw},
                            dir + "/update.out", dir + "/update.err");
    bool replaced = false;
    for (int i = 0; i < 3000 && !replaced; ++i) {
        if (Contains(sim.Trace(), "command \"flsh\""))
            replaced = std::rename(bigger.c_str(), fw.c_str()) == 0;
        else
            poll(nullptr, 0, 20);
    }
    CHECK_THAT(replaced);
    int status = 0;
    waitpid(pid, &status, 0);
    CHECK_THAT(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const std::string out = ReadAll(dir + "/update.out");
    CHECK_THAT(Contains(out, "Success: Firmware transferred successfully"));
    const std::string after = sim.Flash();
    CHECK_THAT(after.size() == 0x20000 && before.size() == 0x20000);
    if (after.size() == 0x20000 && before.size() == 0x20000) {
        CHECK_THAT(after.compare(0, original.size(), original) == 0);
        CHECK_THAT(after.find_first_not_of('\xFF', original.size()) >= 0x1C000);
        CHECK_THAT(after.compare(0x1C000, 0x4000, before, 0x1C000, 0x4000) == 0);
    }
    if (!failures.empty()) failures += out + ReadAll(dir + "/update.err");
    return failures;
}

std::string DownloadVerdictC() {
    std::string failures;
    const std::string dir = ScenarioDir("verdict_c");
    const std::string fw = MakeFirmware(dir, "9.01", 600);
    Sim sim(dir, {"--verdict", "C"});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH programming error: Checksum error"));
    return failures;
}

std::string DownloadVerdictText() {
    std::string failures;
    const std::string dir = ScenarioDir("verdict_text");
    const std::string fw = MakeFirmware(dir, "9.02", 600);
    Sim sim(dir, {"--verdict", "Err 3"});
    const Run run = Duxk(dir, "update", sim, {"--json", "update", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH: Err 3\n"));
    CHECK_THAT(Contains(run.err, "FLASH programming error: Unknown download result"));
    CHECK_THAT(Contains(run.out, "\"message\":\"Unknown download result\""));
    return failures;
}

std::string TelegramErrorsAreRecovered() {
    std::string failures;
    const std::string dir = ScenarioDir("telegram_errors");
    const std::string fw = MakeFirmware(dir, "9.03", 1000);
    // Identify telegrams: the very first telegram (power on) gets no second
    // chance, its retry window having run out during the download.
    Sim sim(dir, {"--telegram-errors", "3:21"});
    const Run run = Duxk(dir, "update", sim, {"--json", "update", fw});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.out, "\"result\":0"));
    CHECK_THAT(Contains(run.out, "\"message\":\"Firmware transferred successfully\""));
    CHECK_THAT(Contains(sim.Trace(), "telegram checksum spoiled"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    return failures;
}

std::string StuckCellEndsInChecksumError() {
    std::string failures;
    const std::string dir = ScenarioDir("stuck_cell");
    const std::string fw = MakeFirmware(dir, "9.04", 600);
    Sim sim(dir, {"--stuck-cell", "0x80100"});
    const Run run = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH programming error: Checksum error"));
    return failures;
}

std::string SecondUpdateAfterPowerLoss() {
    std::string failures;
    const std::string dir = ScenarioDir("power_loss");
    const std::string fw = MakeFirmware(dir, "9.05", 3000);
    Sim sim(dir, {"--power-loss", "program"});
    const Run first = Duxk(dir, "update1", sim, {"update", fw});
    CHECK_THAT(first.status == 1);
    CHECK_THAT(Contains(first.err, "FLASH programming error"));
    const Run second = Duxk(dir, "update2", sim, {"update", fw});
    CHECK_THAT(second.status == 0);
    CHECK_THAT(Contains(second.out, "Success: Firmware transferred successfully"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += first.err + second.out + second.err;
    return failures;
}

// One update in either mode at a rate the search uses; the flash must hold
// the image and the sensor, back in its application, report its version.
std::string UpdateAt(bool fast, int baud, bool dataSheetErase = false) {
    std::string failures;
    const std::string dir = ScenarioDir(std::string(fast ? "fast_" : "std_") + std::to_string(baud));
    const std::string version = std::to_string(baud % 10) + "." + std::to_string(10 + baud / 1000);
    const std::string fw = MakeFirmware(dir, version, 1000);
    Sim sim(dir, {}, baud, dataSheetErase);
    std::vector<std::string> args{"update", fw};
    if (fast) args.insert(args.begin() + 1, "--fast");
    const Run run = Duxk(dir, "update", sim, args);
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.out, "Success: Firmware transferred successfully"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    CHECK_THAT(Duxk(dir, "find", sim, {"find"}).status == 0);
    CHECK_THAT(Contains(sim.Trace(), "restart: application valid, VER=" + version));
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

std::string FastFamilyAFailsAsStandardMode() {
    std::string failures;
    // The update drives the AM29F010 (family B); a family-A part does not
    // take its erase, and both modes end with the same message.
    std::string message[2];
    for (int fast = 0; fast < 2; ++fast) {
        const std::string dir = ScenarioDir(fast ? "fast_family_a" : "std_family_a");
        const std::string fw = MakeFirmware(dir, "8.02", 600);
        Sim sim(dir, {"--flash", "family-a"});
        std::vector<std::string> args{"update", fw};
        if (fast) args.insert(args.begin() + 1, "--fast");
        const Run run = Duxk(dir, "update", sim, args);
        CHECK_THAT(run.status == 1);
        CHECK_THAT(Contains(run.err, "FLASH programming error: "));
        CHECK_THAT(Contains(sim.Trace(), "mode: downloaded program"));
        message[fast] = run.err.substr(run.err.rfind("FLASH programming error"));
    }
    CHECK_THAT(message[0] == message[1]);
    if (!failures.empty()) failures += message[0] + message[1];
    return failures;
}

std::string FastFirstPowerOnIsRepeated() {
    std::string failures;
    const std::string dir = ScenarioDir("fast_power_on_errors");
    const std::string fw = MakeFirmware(dir, "8.03", 1000);
    // Standard mode gives the first power-on no second chance; fast mode gives
    // it a retry window of its own.
    Sim sim(dir, {"--telegram-errors", "3:22"});
    const Run run = Duxk(dir, "update", sim, {"update", "--fast", fw});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(sim.Trace(), "telegram checksum spoiled"));
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

std::string FastRecoversFromCorruptedBytes() {
    std::string failures;
    const std::string dir = ScenarioDir("fast_corrupted");
    const std::string fw = MakeFirmware(dir, "8.04", 2000);
    // A telegram byte and a reply byte spoiled on the line, both in the
    // program telegrams: a checksum error reply, a reply with a wrong sum.
    Sim sim(dir, {"--rx-corrupt-at", "12500", "--tx-corrupt-at", "140"});
    const Run run = Duxk(dir, "update", sim, {"update", "--fast", fw});
    CHECK_THAT(run.status == 0);
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

std::string FastLostBytesNeverPassForSuccess() {
    std::string failures;
    const std::string dir = ScenarioDir("fast_lost");
    const std::string fw = MakeFirmware(dir, "8.05", 2000);
    // A lost byte leaves the transfer program waiting for one more; the
    // protocol may not find back in time. Either way the result must be
    // true, and the same update run again (once the sensor's watchdog has
    // ended a program left running) must succeed.
    Sim sim(dir, {"--rx-drop-at", "12000", "--tx-drop-at", "120", "--watchdog", "3"});
    const std::string image = ReadAll(fw);
    const Run first = Duxk(dir, "update1", sim, {"update", "--fast", fw});
    std::this_thread::sleep_for(std::chrono::seconds(4));
    if (first.status == 0) {
        CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    } else {
        CHECK_THAT(first.status == 1);
        CHECK_THAT(Contains(first.err, "FLASH programming error"));
    }
    const Run second = Duxk(dir, "update2", sim, {"update", "--fast", fw});
    CHECK_THAT(second.status == 0);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += first.err + second.out + second.err;
    return failures;
}

std::string FastStuckCell() {
    std::string failures;
    const std::string dir = ScenarioDir("fast_stuck_cell");
    const std::string fw = MakeFirmware(dir, "8.06", 600);
    Sim sim(dir, {"--stuck-cell", "0x80100"});
    const Run run = Duxk(dir, "update", sim, {"update", "--fast", fw});
    CHECK_THAT(run.status == 1);
    CHECK_THAT(Contains(run.err, "FLASH programming error: Checksum error"));
    return failures;
}

std::string FastPowerLoss() {
    std::string failures;
    const std::string dir = ScenarioDir("fast_power_loss");
    const std::string fw = MakeFirmware(dir, "8.07", 3000);
    Sim sim(dir, {"--power-loss", "program"});
    const Run first = Duxk(dir, "update1", sim, {"update", "--fast", fw});
    CHECK_THAT(first.status == 1);
    CHECK_THAT(Contains(first.err, "FLASH programming error"));
    const Run second = Duxk(dir, "update2", sim, {"update", "--fast", fw});
    CHECK_THAT(second.status == 0);
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += first.err + second.out + second.err;
    return failures;
}

}  // namespace

TEST(UpdateEndToEnd, ScenariosAgainstTheVirtualSensor) {
    const std::vector<std::pair<const char*, Scenario>> scenarios{
        {"successful update", SuccessfulUpdate},
        {"oversized file", OversizedFileLeavesTheSensorAlone},
        {"file replaced during the update", FileReplacedDuringTheUpdateChangesNothing},
        {"verdict C", DownloadVerdictC},
        {"text verdict", DownloadVerdictText},
        {"telegram errors", TelegramErrorsAreRecovered},
        {"stuck cell", StuckCellEndsInChecksumError},
        {"power loss", SecondUpdateAfterPowerLoss},
        {"standard mode at 19200 baud", [] { return UpdateAt(false, 19200); }},
        {"standard mode at 9600 baud", [] { return UpdateAt(false, 9600); }},
        {"standard mode at 4800 baud", [] { return UpdateAt(false, 4800); }},
        {"fast mode at 38400 baud, data-sheet erase", [] { return UpdateAt(true, 38400, true); }},
        {"fast mode at 19200 baud", [] { return UpdateAt(true, 19200); }},
        {"fast mode at 9600 baud", [] { return UpdateAt(true, 9600); }},
        {"fast mode at 4800 baud", [] { return UpdateAt(true, 4800); }},
        {"fast mode, flash family A", FastFamilyAFailsAsStandardMode},
        {"fast mode, first power-on refused", FastFirstPowerOnIsRepeated},
        {"fast mode, corrupted bytes", FastRecoversFromCorruptedBytes},
        {"fast mode, lost bytes", FastLostBytesNeverPassForSuccess},
        {"fast mode, stuck cell", FastStuckCell},
        {"fast mode, power loss", FastPowerLoss},
    };
    e2e::RunScenariosSideBySide(scenarios, "duxk_update_e2e");
}
