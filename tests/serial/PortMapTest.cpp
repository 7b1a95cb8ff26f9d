#include "serial/PortDiagnosis.h"
#include "serial/PortMap.h"
#include "serial/WinCom.h"

#include "PtyTestSupport.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

// Runs a test with its own map directory (and restores the environment).
class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/duxk-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("DUXK_PORTS_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        for (int n = 1; n <= 7; ++n) UnmapPort("COM" + std::to_string(n));
        rmdir(dir.c_str());
        unsetenv("DUXK_PORTS_DIR");
    }
    std::string dir;
};

}  // namespace

TEST(PortMapNames, ComPortNumber) {
    EXPECT_EQ(ComPortNumber("COM1"), 1);
    EXPECT_EQ(ComPortNumber("com7"), 7);
    EXPECT_EQ(ComPortNumber("COM12"), 12);
    EXPECT_EQ(ComPortNumber("COM0"), 0);
    EXPECT_EQ(ComPortNumber("COM"), 0);
    EXPECT_EQ(ComPortNumber("COM1x"), 0);
    EXPECT_EQ(ComPortNumber("/dev/ttyUSB0"), 0);
    // Up to the last port number, and no number past it however long.
    EXPECT_EQ(ComPortNumber("COM256"), 256);
    for (const char* past : {"COM257", "COM2000000", "COM999999999", "COM4294967297", "COM99999999999999999999999"})
        EXPECT_EQ(ComPortNumber(past), 0) << past;
}

TEST(PortMapNames, DefaultDirectory) {
    unsetenv("DUXK_PORTS_DIR");
    setenv("XDG_CONFIG_HOME", "/tmp/duxk-nonexistent-config", 1);
    EXPECT_FALSE(PortMapIsExplicit());
    EXPECT_EQ(PortMapDir(), "/tmp/duxk-nonexistent-config/duxkupdate/ports");
    EXPECT_EQ(ResolvePortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
    unsetenv("XDG_CONFIG_HOME");
}

namespace {

// A fake /dev and /sys under DUXK_DEV_ROOT, and a default map directory of
// its own (no DUXK_PORTS_DIR), for the life of the test.
class PortDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/duxk-devroot-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        // Canonical, so that the devices found compare with paths built here.
        root = std::filesystem::canonical(tmpl).string();
        std::filesystem::create_directories(root + "/dev/serial/by-id");
        std::filesystem::create_directories(root + "/sys/class/tty");
        std::filesystem::create_directories(root + "/config");
        unsetenv("DUXK_PORTS_DIR");
        setenv("DUXK_DEV_ROOT", root.c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
    }
    void TearDown() override {
        unsetenv("DUXK_DEV_ROOT");
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(root);
    }
    void Node(const std::string& name) { std::ofstream(root + "/dev/" + name); }
    void ById(const std::string& name, const std::string& node) {
        std::filesystem::create_symlink("../../" + node, root + "/dev/serial/by-id/" + name);
    }
    // A ttyS port in sysfs with the port type the serial core reports
    // (0: no UART at that address).
    void Uart(const std::string& name, int type) {
        std::filesystem::create_directories(root + "/sys/class/tty/" + name);
        std::ofstream(root + "/sys/class/tty/" + name + "/type") << type << "\n";
    }
    std::string Dev(const std::string& name) const { return root + "/dev/" + name; }

    // Two by-id adapters (listed in name order, not node order), a ttyUSB
    // without by-id link, two ACM devices, ttyS ports with and without UART.
    void TypicalTree() {
        for (const char* n : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyACM10", "ttyACM2", "ttyS0", "ttyS1", "ttyS2",
                              "ttyS3", "ttyS10", "ttyS4x", "tty0"})
            Node(n);
        ById("usb-B_serial-if00-port0", "ttyUSB0");
        ById("usb-A_serial-if00-port0", "ttyUSB1");
        ById("usb-C_gone-if00-port0", "ttyUSB9");  // left behind by an unplugged adapter
        Uart("ttyS0", 4);
        Uart("ttyS1", 0);
        Uart("ttyS3", 4);
        Uart("ttyS10", 4);
        // ttyS2 has no sysfs entry at all
    }
    std::string root;
};

}  // namespace

TEST_F(PortDiscoveryTest, StableOrderEachDeviceOnce) {
    TypicalTree();
    const std::string byId = root + "/dev/serial/by-id/";
    std::vector<SerialDevice> found = DiscoverSerialDevices();
    std::vector<std::string> paths, kinds;
    for (const SerialDevice& d : found) {
        paths.push_back(d.path);
        kinds.push_back(d.kind);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{byId + "usb-A_serial-if00-port0", byId + "usb-B_serial-if00-port0",
                                               Dev("ttyUSB2"), Dev("ttyACM2"), Dev("ttyACM10"), Dev("ttyS0"),
                                               Dev("ttyS3"), Dev("ttyS10")}));
    EXPECT_EQ(kinds,
              (std::vector<std::string>{"by-id", "by-id", "ttyUSB", "ttyACM", "ttyACM", "ttyS", "ttyS", "ttyS"}));
    EXPECT_EQ(found[0].node, Dev("ttyUSB1"));

    // COM1..COM7 are the first seven; a higher COMn goes on in the same order.
    auto list = ListPortMap();
    ASSERT_EQ(list.size(), 7u);
    for (size_t i = 0; i < 7; ++i) {
        EXPECT_EQ(list[i].device, paths[i]) << list[i].name;
        EXPECT_FALSE(list[i].mapped);
        EXPECT_TRUE(list[i].present);
        EXPECT_EQ(ResolvePortName(list[i].name), paths[i]);
    }
    EXPECT_EQ(ResolvePortName("COM8"), Dev("ttyS10"));
    EXPECT_EQ(ResolvePortName("COM9"), "");
}

TEST_F(PortDiscoveryTest, LinkInTheDefaultDirectoryWinsAndItsDeviceIsNotRepeated) {
    TypicalTree();
    std::string err;
    ASSERT_TRUE(MapPort("COM2", Dev("ttyACM2"), &err)) << err;
    ASSERT_TRUE(MapPort("COM5", "/dev/duxk-unplugged", &err)) << err;
    auto list = ListPortMap();
    const std::string byId = root + "/dev/serial/by-id/";
    EXPECT_EQ(list[0].device, byId + "usb-A_serial-if00-port0");
    EXPECT_TRUE(list[1].mapped);
    EXPECT_EQ(list[1].device, Dev("ttyACM2"));
    EXPECT_EQ(ResolvePortName("COM2"), root + "/config/duxkupdate/ports/com2");
    EXPECT_EQ(list[2].device, byId + "usb-B_serial-if00-port0");
    EXPECT_EQ(list[3].device, Dev("ttyUSB2"));
    EXPECT_EQ(list[4].device, "/dev/duxk-unplugged");
    EXPECT_TRUE(list[4].mapped);
    EXPECT_FALSE(list[4].present);
    // ttyACM2 has its link already: the next device found follows.
    EXPECT_EQ(list[5].device, Dev("ttyACM10"));
    EXPECT_EQ(list[6].device, Dev("ttyS0"));
    // A dangling link still wins: that COMn does not open.
    CWinCom port;
    EXPECT_EQ(port.Open("COM5", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
}

TEST_F(PortDiscoveryTest, ComNumbersPastTheLastPortAreNoPortsAndHighOnesNeedNoTable) {
    TypicalTree();
    for (const std::string name : {"COM257", "COM2000000", "COM999999999", "COM0"}) {
        EXPECT_EQ(ResolvePortName(name), "") << name;
        CWinCom port;
        EXPECT_EQ(port.Open(name.c_str(), 0, 0, false), ERROR_FILE_NOT_FOUND_CODE) << name;
        EXPECT_EQ(DescribePortOpenFailure(name, ERROR_FILE_NOT_FOUND_CODE),
                  name + " is not a port name: COM ports are numbered from COM1 to COM256");
    }
    // Ports above COM7 take what a table of every port below them would give.
    std::string err;
    ASSERT_TRUE(MapPort("COM2", Dev("ttyACM2"), &err)) << err;
    ASSERT_TRUE(MapPort("COM5", "/dev/duxk-unplugged", &err)) << err;
    ASSERT_TRUE(MapPort("COM9", Dev("ttyS0"), &err)) << err;
    ASSERT_TRUE(MapPort("COM256", Dev("ttyS10"), &err)) << err;
    EXPECT_EQ(ResolvePortName("COM7"), Dev("ttyS0"));
    EXPECT_EQ(ResolvePortName("COM8"), Dev("ttyS3"));
    EXPECT_EQ(ResolvePortName("COM9"), root + "/config/duxkupdate/ports/com9");
    EXPECT_EQ(ResolvePortName("COM10"), "");
    EXPECT_EQ(ResolvePortName("com256"), root + "/config/duxkupdate/ports/com256");
}

TEST_F(PortDiscoveryTest, OnlyTheExplicitMapCountsAndNoDevicesMeansNoPorts) {
    TypicalTree();
    char tmpl[] = "/tmp/duxk-ports-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    setenv("DUXK_PORTS_DIR", tmpl, 1);
    EXPECT_EQ(ResolvePortName("COM1"), "");
    for (const PortMapEntry& e : ListPortMap()) EXPECT_TRUE(e.device.empty()) << e.name;
    EXPECT_EQ(DescribePortOpenFailure("COM1", 2), "COM1 does not exist (no link for it in DUXK_PORTS_DIR)");
    unsetenv("DUXK_PORTS_DIR");
    rmdir(tmpl);

    for (const char* dir : {"/dev", "/sys/class/tty"}) {
        std::filesystem::remove_all(root + dir);
        std::filesystem::create_directories(root + dir);
    }
    Node("ttyS0");
    Node("ttyS1");
    EXPECT_EQ(ResolvePortName("COM1"), "") << "ttyS without a UART behind it";
    CWinCom port;
    EXPECT_EQ(port.Open("COM1", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_NE(DescribePortOpenFailure("COM1", 2).find("no serial device left for it"), std::string::npos);

    // Without sysfs there is no telling: the ttyS nodes count, in order.
    std::filesystem::remove_all(root + "/sys");
    EXPECT_EQ(ResolvePortName("COM2"), Dev("ttyS1"));
}

TEST_F(PortDiscoveryTest, FoundDeviceOpensThroughItsComName) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::filesystem::create_symlink(pty.slave(), root + "/dev/serial/by-id/usb-Test_Adapter-if00-port0");
    CWinCom port;
    ASSERT_EQ(port.Open("COM1", 0, 0, false), 0u);
    EXPECT_EQ(port.PortName(), "COM1");
    port.Close();
}

TEST(PortMapNames, WithoutHomeTheUsersOwnHomeNeverTmp) {
    const char* oldHome = getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    unsetenv("DUXK_PORTS_DIR");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(PortMapDir(), std::string(pw->pw_dir) + "/.config/duxkupdate/ports");
    EXPECT_NE(PortMapDir().rfind("/tmp", 0), 0u);
    if (oldHome) setenv("HOME", savedHome.c_str(), 1);
}

TEST_F(PortMapTest, MapResolveListUnmap) {
    EXPECT_TRUE(PortMapIsExplicit());
    EXPECT_EQ(PortMapDir(), dir);
    EXPECT_EQ(ResolvePortName("COM2"), "");
    Pty pty;
    ASSERT_TRUE(pty.ok());
    std::string err;
    ASSERT_TRUE(MapPort("COM2", pty.slave(), &err)) << err;
    EXPECT_EQ(ResolvePortName("COM2"), dir + "/com2");
    // Mapping again replaces the link.
    ASSERT_TRUE(MapPort("com2", pty.slave(), &err)) << err;
    EXPECT_FALSE(MapPort("PORT2", pty.slave(), &err));

    auto list = ListPortMap();
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(list[1].name, "COM2");
    EXPECT_TRUE(list[1].mapped);
    EXPECT_TRUE(list[1].present);
    EXPECT_EQ(list[1].device, pty.slave());
    EXPECT_FALSE(list[0].mapped);
    EXPECT_EQ(list[0].device, "");

    // The port opens through its name.
    {
        CWinCom port;
        EXPECT_EQ(port.Open("COM2", 0, 0, false), 0u);
        EXPECT_EQ(port.PortName(), "COM2");
        EXPECT_EQ(port.Open("COM2", 0, 0, false), ERROR_ALREADY_INITIALIZED_CODE);
        CWinCom other;
        EXPECT_EQ(other.Open("COM1", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
    }

    EXPECT_TRUE(UnmapPort("COM2", &err));
    EXPECT_TRUE(UnmapPort("COM2", &err));
    EXPECT_EQ(ResolvePortName("COM2"), "");
    // A link whose device has gone does not open.
    ASSERT_TRUE(MapPort("COM4", "/dev/duxk-gone", &err));
    CWinCom port;
    EXPECT_EQ(port.Open("COM4", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_FALSE(ListPortMap()[3].present);
}
