// duxk backup, duxk verify and update --backup/--verify against the virtual
// sensor running the real transfer-program image, on both flash families.
// The scenarios are independent and run side by side: whole-flash reads take
// minutes of echoed bytes.
#include "E2eSupport.h"

#include "Scenarios.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <future>

using namespace e2e;

namespace {

#define CHECK_THAT(cond)                                    \
    do {                                                    \
        if (!(cond)) failures += std::string(#cond) + "\n"; \
    } while (0)

constexpr size_t kFlashBytes = 131072;
constexpr size_t kBootArea = 0x1C000;

// Reads cost a round trip with the host's echo for every byte, which a
// loaded machine stretches: the sensors here do not pace their lines (the
// read-back's time on a paced line is measured by bench/readback).
constexpr bool kPaced = false;

std::string Dir(const std::string& name) { return ScenarioDir("duxk_readback_e2e", name); }

// The whole flash, boot area included, from a family-A part; the sensor is
// back in its application afterwards.
std::string WholeFlashBackupFamilyA() {
    std::string failures;
    const std::string dir = Dir("backup_family_a");
    Sim sim(dir, {"--flash", "family-a", "--startup", "0.3"}, 38400, false, kPaced);
    const std::string before = sim.Flash();
    const std::string backup = dir + "/flash.bin";
    const Run run = Duxk(dir, "backup", sim, {"backup", "--fast", backup});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(run.out == "Flash saved to " + backup + " (131072 bytes, 0x80000-0x9FFFF)\n");
    CHECK_THAT(Contains(run.err, "Read Flash Memory: 100%"));
    const std::string saved = ReadAll(backup);
    CHECK_THAT(saved.size() == kFlashBytes);
    CHECK_THAT(saved == before);
    CHECK_THAT(saved.size() > kBootArea && Contains(saved.substr(kBootArea), "BOOT FIRMWARE"));
    const Run find = Duxk(dir, "find", sim, {"find"});
    CHECK_THAT(find.status == 0);
    CHECK_THAT(Contains(find.out, "Sensor 'DUX-K52 V3.00'"));
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

// The backup holds the flash as it was before the erase; the programmed
// range is read back before the program end.
std::string UpdateWithBackupAndVerify() {
    std::string failures;
    const std::string dir = Dir("update_backup_verify");
    const std::string fw = MakeFirmware(dir, "9.21", 2000);
    Sim sim(dir, {"--startup", "0.3"}, 38400, false, kPaced);
    const std::string before = sim.Flash();
    const std::string backup = dir + "/before.bin";
    const Run run = Duxk(dir, "update", sim, {"update", "--fast", "--backup", backup, "--verify", fw});
    CHECK_THAT(run.status == 0);
    CHECK_THAT(Contains(run.out, "Success: Firmware transferred successfully\n"));
    CHECK_THAT(Contains(run.out, "Flash as it was before the update saved in " + backup + "\n"));
    CHECK_THAT(Contains(run.err, "Backup Flash Memory: 100%"));
    CHECK_THAT(Contains(run.err, "Verify Flash Memory: 100%"));
    CHECK_THAT(ReadAll(backup) == before);
    const std::string image = ReadAll(fw);
    CHECK_THAT(sim.Flash().compare(0, image.size(), image) == 0);
    if (!failures.empty()) failures += run.out + run.err;
    return failures;
}

// A cell that will not program: the update fails on its sum, and verify
// tells where the flash differs and by how many bytes.
std::string StuckCellShowsInVerify() {
    std::string failures;
    const std::string dir = Dir("stuck_cell");
    const std::string fw = MakeFirmware(dir, "9.22", 600);
    Sim sim(dir, {"--stuck-cell", "0x80100", "--startup", "0.3", "--watchdog", "4"}, 38400, false, kPaced);
    const Run update = Duxk(dir, "update", sim, {"update", fw});
    CHECK_THAT(update.status == 1);
    // A failed update leaves the sensor in the transfer program, until its
    // watchdog restarts it.
    for (int i = 0; i < 100 && !Contains(sim.Trace(), "watchdog restart"); ++i) poll(nullptr, 0, 100);
    CHECK_THAT(Contains(sim.Trace(), "watchdog restart"));
    const std::string image = ReadAll(fw), flash = sim.Flash();
    size_t differ = 0;
    for (size_t i = 0; i < image.size(); ++i) differ += image[i] != flash[i];
    const Run verify = Duxk(dir, "verify", sim, {"--json", "verify", fw});
    CHECK_THAT(verify.status == 1);
    CHECK_THAT(differ > 0);
    CHECK_THAT(Contains(verify.out, "\"message\":\"Flash differs from " + fw + ": " + std::to_string(differ) +
                                        " of 600 bytes differ, the first at 0x80100\""));
    CHECK_THAT(Contains(verify.out, "\"command\":\"verify\""));
    CHECK_THAT(Contains(verify.out, "\"result\":1,"));
    if (!failures.empty()) failures += verify.out + verify.err;
    return failures;
}

// A reply byte spoiled on the way back in the read phase (the byte 1000
// the sensor sends lies in the fourth read reply): the read is repeated and
// the comparison still holds. Standard echoes with their pause.
std::string CorruptedReadReplyIsRepeated() {
    std::string failures;
    const std::string dir = Dir("corrupted_reply");
    Sim sim(dir, {"--tx-corrupt-at", "1000", "--startup", "0.3"}, 38400, false, kPaced);
    const std::string head = sim.Flash().substr(0, 2000);
    const std::string file = dir + "/head.bin";
    std::ofstream(file, std::ios::binary) << head;
    const Run verify = Duxk(dir, "verify", sim, {"-v", "verify", file});
    CHECK_THAT(verify.status == 0);
    CHECK_THAT(verify.out == "Flash matches " + file + " (2000 bytes from 0x80000)\n");
    CHECK_THAT(Contains(verify.err, "  In boot mode\n"));
    CHECK_THAT(Contains(verify.err, "failed: Host checksum error"));
    if (!failures.empty()) failures += verify.out + verify.err;
    return failures;
}

// An interrupt in the read phase: the reads stop, the sensor still gets its
// program end (and is found in its application afterwards), nothing is
// written, and the process ends by the interrupt.
std::string InterruptedBackupRestartsTheSensor() {
    std::string failures;
    const std::string dir = Dir("interrupted_backup");
    Sim sim(dir, {"--startup", "0.3"}, 38400, false, kPaced);
    const std::string backup = dir + "/flash.bin";
    const pid_t pid = Spawn({BinDir() + "/duxk", "-v", "--port", sim.Device(), "--baud", "38400", "backup", backup},
                            dir + "/backup.out", dir + "/backup.err");
    for (int i = 0; i < 600 && !Contains(ReadAll(dir + "/backup.err"), "  ReadFlash\n"); ++i) poll(nullptr, 0, 100);
    poll(nullptr, 0, 1000);
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    CHECK_THAT(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    const std::string err = ReadAll(dir + "/backup.err");
    CHECK_THAT(Contains(err, "SIGINT received: stopping after the telegram in flight"));
    CHECK_THAT(Contains(err, "FLASH read error: Stopped by the user; the flash was not changed."));
    CHECK_THAT(Contains(err, "  ProgEnd\n"));
    CHECK_THAT(access(backup.c_str(), F_OK) != 0);
    const Run find = Duxk(dir, "find", sim, {"find"});
    CHECK_THAT(find.status == 0);
    CHECK_THAT(Contains(find.out, "Sensor 'DUX-K52 V3.00'"));
    if (!failures.empty()) failures += err + find.err;
    return failures;
}

}  // namespace

TEST(ReadBackEndToEnd, ScenariosAgainstTheVirtualSensor) {
    const std::vector<std::pair<const char*, e2e::Scenario>> scenarios{
        {"whole-flash backup, family A", WholeFlashBackupFamilyA},
        {"update with backup and verify", UpdateWithBackupAndVerify},
        {"stuck cell", StuckCellShowsInVerify},
        {"corrupted read reply", CorruptedReadReplyIsRepeated},
        {"interrupted backup", InterruptedBackupRestartsTheSensor},
    };
    e2e::RunScenariosSideBySide(scenarios, "duxk_readback_e2e");
}
