#include "serial/PortMap.h"
#include "serial/WinCom.h"

#include "PtyTestSupport.h"

#include <sys/stat.h>

namespace {

// Runs a test with its own map directory (and restores the environment).
class PortMapTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/duxk-ports-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        setenv("DUXK_PORTS_DIR", dir.c_str(), 1);
    }
    void TearDown() override
    {
        for (int n = 1; n <= 7; ++n)
            UnmapPort("COM" + std::to_string(n));
        rmdir(dir.c_str());
        unsetenv("DUXK_PORTS_DIR");
    }
    std::string dir;
};

} // namespace

TEST(PortMapNames, ComPortNumber)
{
    EXPECT_EQ(ComPortNumber("COM1"), 1);
    EXPECT_EQ(ComPortNumber("com7"), 7);
    EXPECT_EQ(ComPortNumber("COM12"), 12);
    EXPECT_EQ(ComPortNumber("COM0"), 0);
    EXPECT_EQ(ComPortNumber("COM"), 0);
    EXPECT_EQ(ComPortNumber("COM1x"), 0);
    EXPECT_EQ(ComPortNumber("/dev/ttyUSB0"), 0);
}

TEST(PortMapNames, DefaultDirectoryAndFallback)
{
    unsetenv("DUXK_PORTS_DIR");
    setenv("XDG_CONFIG_HOME", "/tmp/duxk-nonexistent-config", 1);
    EXPECT_FALSE(PortMapIsExplicit());
    EXPECT_EQ(PortMapDir(), "/tmp/duxk-nonexistent-config/duxkupdate/ports");
    EXPECT_EQ(ResolvePortName("COM3"), "/dev/ttyS2");
    EXPECT_EQ(ResolvePortName("/dev/ttyUSB0"), "/dev/ttyUSB0");
    unsetenv("XDG_CONFIG_HOME");
}

TEST_F(PortMapTest, MapResolveListUnmap)
{
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
