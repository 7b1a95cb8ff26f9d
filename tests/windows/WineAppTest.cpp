// The Windows installer under Wine: it installs silently, the installed
// duxkupdate.exe finds the virtual sensor on COM1 and is driven through its
// windows by duxk-uidriver.exe (a listing, a refused empty firmware file, a
// firmware update, a calibration save and load), and the uninstaller removes
// what the installer put there. Skipped without the installer
// (scripts/package-windows.sh), the UI driver, wine or xvfb-run.
#include "tests/windows/WineSupport.h"

#include <cstdio>

namespace {

using namespace winetest;

const char kUninstallKey[] = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\DUXKUpdate";

class WineAppTest : public WinePrefixTest {
protected:
    static void SetUpTestSuite() {
        WinePrefixTest::SetUpTestSuite();
        setup_ = EnvOr("DUXK_WINDOWS_SETUP", "");
        driver_ = EnvOr("DUXK_WINDOWS_UIDRIVER", "");
        if (!skipReason_.empty()) return;
        if (setup_.empty() || access(setup_.c_str(), R_OK) != 0)
            skipReason_ = "no installer at '" + setup_ + "' (scripts/package-windows.sh makes it)";
        else
            skipReason_ = WineGui::Missing(driver_);
    }

    std::string InstallDir() const { return prefix_ + "/drive_c/Program Files/DUXKUpdate"; }
    std::string Shortcut() const {
        return prefix_ + "/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/DUXKUpdate.lnk";
    }
    ProgramRun UninstallKey(const std::string& tag) {
        return RunProgram({wine_, "reg", "query", kUninstallKey, "/reg:64"}, dir_ + "/" + tag, 120);
    }

    // Runs the uninstaller silently. It copies itself away and returns at
    // once: its work is done when the folder has gone.
    ProgramRun Uninstall(const std::string& tag) {
        ProgramRun run =
            RunProgram({wine_, "C:\\Program Files\\DUXKUpdate\\uninstall.exe", "/S"}, dir_ + "/" + tag, 120);
        for (int i = 0; i < 600 && fs::exists(InstallDir()); ++i) poll(nullptr, 0, 100);
        return run;
    }

    // Waits until the host has sent at least `count` bytes in all.
    std::string HostBytesUntil(const std::string& trace, size_t count) {
        std::string bytes;
        for (int i = 0; i < 300 && bytes.size() < count; ++i) {
            bytes = HostBytes(ReadSimTrace(trace));
            if (bytes.size() < count) poll(nullptr, 0, 100);
        }
        return bytes;
    }

    static inline std::string setup_, driver_;
};

TEST_F(WineAppTest, InstallDriveTheApplicationAndUninstall) {
    const std::string version = EnvOr("DUXK_VERSION", "");
    // An installation left by an earlier run that stopped half-way goes first.
    if (UninstallKey("key-before").status == 0) Uninstall("uninstall-before");
    ASSERT_NE(UninstallKey("key-before-again").status, 0) << "DUXKUpdate stays installed in " << prefix_;

    ProgramRun run = RunProgram({wine_, setup_, "/S"}, dir_ + "/setup", 300);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* file : {"duxkupdate.exe", "duxk.exe", "README.txt", "uninstall.exe"})
        EXPECT_EQ(access((InstallDir() + "/" + file).c_str(), R_OK), 0) << file;
    const std::string readme = ReadAll(InstallDir() + "/README.txt");
    EXPECT_TRUE(Contains(readme, "# DUXKUpdate\r\n")) << "the README as Windows text";
    EXPECT_TRUE(Contains(ReadAll(Shortcut()), "duxkupdate.exe")) << "the Start menu's shortcut";
    run = UninstallKey("key");
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string key = WithoutCr(run.out);
    const std::string dir = "C:\\Program Files\\DUXKUpdate";
    // Each value on a line of its own; the size in KiB, not 0.
    for (const auto& [name, value] : std::vector<std::pair<std::string, std::string>>{
             {"DisplayName", "REG_SZ    DUXKUpdate " + version + "\n"},
             {"DisplayVersion", "REG_SZ    " + version + "\n"},
             {"Publisher", "REG_SZ    DUXKUpdate developers\n"},
             {"InstallLocation", "REG_SZ    " + dir + "\n"},
             {"DisplayIcon", "REG_SZ    " + dir + "\\duxkupdate.exe,0\n"},
             {"UninstallString", "REG_SZ    \"" + dir + "\\uninstall.exe\"\n"},
             {"QuietUninstallString", "REG_SZ    \"" + dir + "\\uninstall.exe\" /S\n"},
             {"EstimatedSize", "REG_DWORD    0x"}})
        EXPECT_TRUE(Contains(key, "    " + name + "    " + value)) << name << " " << value << " in\n" << key;
    EXPECT_FALSE(Contains(key, "EstimatedSize    REG_DWORD    0x0\n")) << key;

    // The installed application, started as the shortcut starts it.
    const std::string fw = dir_ + "/fw.bin", empty = dir_ + "/empty.bin";
    ASSERT_EQ(RunProgram({EnvOr("DUXK_BIN_DIR", "bin") + "/duxk-mkfw", fw, "--version", "9.87", "--size", "1500"},
                         dir_ + "/mkfw", 60)
                  .status,
              0);
    std::ofstream(empty).close();
    Sim sim(dir_, "K52W00010", {"--erase-ms", "20"});
    Attach(sim);
    const std::string trace = dir_ + "/sim.trace";
    {
        WineGui gui(dir_, wine_, wineserver_, driver_);
        ASSERT_TRUE(gui.Start({dir + "\\duxkupdate.exe"})) << ReadAll(dir_ + "/gui.err");
        run = gui.Ui("found", {"frame", "view|Sensor found", "status|Found Sensor 'K52W00010' at COM1, 38400 baud"});
        ASSERT_EQ(run.status, 0) << run.out << ReadAll(dir_ + "/gui.err").substr(0, 3000);
        std::printf("[ timing ] start to \"Sensor found\": %.1f s\n", gui.Elapsed());
        EXPECT_TRUE(Contains(run.out, "Firmware V3.00\\nSerial number K52W00010\\nCOM1, 38400 baud")) << run.out;

        run = gui.Ui("listing", {"menu|32771", "dialog|Specification", "get|1008|serial        K52W00010", "close"});
        ASSERT_EQ(run.status, 0) << run.out;
        EXPECT_TRUE(Contains(run.out, "get 1008: Pack 01 specification\\r\\n  range")) << run.out;

        // An empty firmware file is refused before anything is sent: the
        // line carries nothing from the command until the port comes back
        // ("appl") when the dialog has ended.
        const size_t before = HostBytes(ReadSimTrace(trace)).size();
        run = gui.Ui("empty", {"menu|32775", "dialog|Firmware Update", "set|1000|" + WindowsPath(empty), "click|1005",
                               "box|File Error|" + WindowsPath(empty) + ": the file is empty", "ok", "close"});
        ASSERT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(HostBytesUntil(trace, before + 5).substr(before), "appl\n");

        run = gui.Ui("update", {"menu|32775", "dialog|Firmware Update", "set|1000|" + WindowsPath(fw), "click|1005",
                                "box|Success|Firmware transferred successfully", "ok", "close", "view|Firmware V9.87"});
        ASSERT_EQ(run.status, 0) << run.out;
        const std::string image = ReadAll(fw);
        EXPECT_EQ(sim.Flash().compare(0, image.size(), image), 0) << "the flash holds the new firmware";
        EXPECT_TRUE(Contains(ReadAll(trace), "restart: application valid, VER=9.87"));

        // Calibration: save, change a coefficient, load, save again. The
        // calibration listing empties the status line between, so that the
        // load's "Done." is its own.
        const std::string first = dir_ + "/first.cal", second = dir_ + "/second.cal";
        run = gui.Ui("cal-save", {"menu|32774", "dialog|Calibration Data", "set|1009|" + WindowsPath(first),
                                  "click|1011", "status|Saving Cal data...", "status|Done.", "close"});
        ASSERT_EQ(run.status, 0) << run.out;
        std::string cal = ReadAll(first);
        const size_t k0 = cal.find("K0=", cal.find("@CAL02"));
        ASSERT_NE(k0, std::string::npos) << cal;
        cal.replace(k0, 15, "K0=+1.23456E+00");
        std::ofstream(first, std::ios::binary) << cal;
        run = gui.Ui("cal-load", {"menu|32776", "dialog|Calibration Data", "get|1008|@CAL02", "close", "menu|32774",
                                  "dialog|Calibration Data", "set|1009|" + WindowsPath(first), "click|1012",
                                  "status|Done.", "set|1009|" + WindowsPath(second), "click|1011",
                                  "status|Saving Cal data...", "status|Done.", "close"});
        ASSERT_EQ(run.status, 0) << run.out;
        EXPECT_EQ(ReadAll(second), cal);
        EXPECT_TRUE(gui.Stop()) << "File > Exit ends the application";
    }

    run = Uninstall("uninstall");
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_FALSE(fs::exists(InstallDir()));
    EXPECT_FALSE(fs::exists(Shortcut()));
    EXPECT_NE(UninstallKey("key-after").status, 0) << "the uninstall key stays";
}

}  // namespace
