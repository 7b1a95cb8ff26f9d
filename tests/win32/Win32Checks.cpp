// Checks of the Win32 platform files, cross-built and run under Wine by the
// windows test. The port checks use the port named by DUXK_TEST_PORT (the
// virtual sensor, idle: it answers nothing unless asked).
#include "platform/Files.h"
#include "platform/Platform.h"
#include "serial/WinCom.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

namespace {

std::string TestPort() {
    const char* p = std::getenv("DUXK_TEST_PORT");
    return p ? p : "";
}

class Channel : public CWinCom2 {
public:
    ~Channel() override { CWinCom2::Close(); }
    void OnCommEvent(uint32_t, uint32_t) override {}
};

// A directory of its own under %TEMP%, removed at the end.
struct ScratchDir {
    ScratchDir() {
        path = platform::JoinPath(platform::PrivateStateDir(), "duxk-checks-" + std::to_string(GetCurrentProcessId()));
        CreateDirectoryA(path.c_str(), nullptr);
    }
    ~ScratchDir() { std::system(("rmdir /s /q \"" + path + "\" >NUL 2>NUL").c_str()); }
    std::string File(const std::string& name) const { return platform::JoinPath(path, name); }
    std::string path;
};

std::string Slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(Win32Port, CodesOfTheContract) {
    CWinCom port;
    EXPECT_EQ(port.SetParams(9600, 8, 0, 0), ERROR_INVALID_HANDLE_CODE);
    EXPECT_EQ(port.GetBaudRate(), -1);
    EXPECT_EQ(port.GetEventMask(), 0u);
    EXPECT_EQ(port.Close(), 0u);
    EXPECT_EQ(port.Open("COM9", 0, 0, false), ERROR_FILE_NOT_FOUND_CODE);
    EXPECT_FALSE(port.IsOpen());
    // A file is no serial port.
    ScratchDir dir;
    std::ofstream(dir.File("plain.txt")) << "x";
    EXPECT_EQ(port.Open(dir.File("plain.txt").c_str(), 0, 0, true), ERROR_INVALID_FUNCTION_CODE);
    EXPECT_FALSE(port.IsOpen());

    ASSERT_FALSE(TestPort().empty());
    ASSERT_EQ(port.Open(TestPort().c_str(), 4000, 4000, false), 0u) << port.LastError();
    EXPECT_EQ(port.Open(TestPort().c_str(), 4000, 4000, false), ERROR_ALREADY_INITIALIZED_CODE);
    EXPECT_EQ(port.PortName(), TestPort());
    EXPECT_EQ(port.GetEventMask(), static_cast<uint32_t>(EV_RXCHAR | EV_BREAK | EV_ERR));
    // Without overlapped I/O a record or a finite time-out is refused.
    uint8_t byte = 0;
    EXPECT_EQ(port.Read(&byte, 1, nullptr, nullptr, 100), ERROR_INVALID_FUNCTION_CODE);
    EXPECT_EQ(port.SetFlowControl(3), E_INVALIDARG_CODE);
    EXPECT_EQ(port.SetTimeoutMode(2), E_INVALIDARG_CODE);
    EXPECT_EQ(port.SetParams(38400, 9, NOPARITY, ONESTOPBIT), ERROR_INVALID_PARAMETER_CODE);
    EXPECT_EQ(port.SetParams(38400, 8, NOPARITY, TWOSTOPBITS), 0u);
    EXPECT_EQ(port.GetBaudRate(), 38400);
    EXPECT_EQ(port.GetStopBits(), TWOSTOPBITS);
    EXPECT_EQ(port.SetFlowControl(0), 0u);
    EXPECT_EQ(port.GetFlowControl(), 0);
    // (Wine keeps no event character: GetEventChar reads 0 back there.)
    EXPECT_EQ(port.SetEventChar('\n', true), 0u);
    EXPECT_NE(port.GetEventMask() & EV_RXFLAG, 0u);
    EXPECT_EQ(port.Close(), 0u);
    EXPECT_FALSE(port.IsOpen());
}

TEST(Win32Port, ReadsEndOnTimeOutAndOnClose) {
    ASSERT_FALSE(TestPort().empty());
    Channel port;
    ASSERT_EQ(port.Open(TestPort().c_str(), 4000, 4000, true), 0u) << port.LastError();
    // Read mode 0 returns at once with nothing, even where the driver's
    // overlapped read would wait for data.
    uint8_t buffer[16];
    uint32_t got = 99;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(port.Read(buffer, sizeof buffer, &got, nullptr, INFINITE_TIMEOUT), 0u);
    EXPECT_EQ(got, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));

    // Read mode 1 waits for every byte: the time-out ends it with 1460 and
    // leaves nothing outstanding, so the next read behaves the same.
    ASSERT_EQ(port.SetTimeoutMode(1), 0u);
    for (int i = 0; i < 2; ++i) {
        t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(port.Read(buffer, sizeof buffer, &got, nullptr, 200), ERROR_TIMEOUT_CODE);
        EXPECT_EQ(got, 0u);
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
    }

    // A read without a time-out ends when another thread closes the port.
    uint32_t code = 0;
    std::thread reader([&] { code = port.Read(buffer, sizeof buffer, &got, nullptr, INFINITE_TIMEOUT); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(port.Close(), 0u);
    reader.join();
    EXPECT_EQ(code, ERROR_OPERATION_ABORTED_CODE);
}

TEST(Win32Port, EventThreadStopsAndRestarts) {
    ASSERT_FALSE(TestPort().empty());
    Channel port;
    ASSERT_EQ(port.Open(TestPort().c_str(), 4000, 4000, true), 0u) << port.LastError();
    ASSERT_EQ(port.SetEventMask(0x1FD), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    // A stop ends the thread's pending comm-event wait, whichever way it
    // waits on this driver.
    EXPECT_EQ(port.StopEventThread(5000), 0u);
    EXPECT_FALSE(port.HasEventThreadFailed());
    EXPECT_EQ(port.StartEventThread(), 0u);
    EXPECT_EQ(port.Close(), 0u);
}

TEST(Win32Files, PendingReplaceAndRead) {
    ScratchDir dir;
    const std::string file = dir.File("a.cal");
    std::ofstream(file, std::ios::binary) << "old\r\n";
    {
        // Until the commit the old contents stay; a discarded file leaves nothing.
        platform::PendingFile pending;
        ASSERT_TRUE(pending.Begin(file));
        EXPECT_EQ(Slurp(file), "old\r\n");
        pending.Discard();
        EXPECT_EQ(GetFileAttributesA(pending.TemporaryPath().c_str()), INVALID_FILE_ATTRIBUTES);
    }
    platform::PendingFile pending;
    ASSERT_TRUE(pending.Begin(file));
    const std::string temp = pending.TemporaryPath();
    ASSERT_TRUE(pending.Commit("first\r\n"));
    EXPECT_EQ(Slurp(file), "first\r\n");
    EXPECT_EQ(GetFileAttributesA(temp.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_FALSE(platform::PendingFile().Begin(dir.path)) << "a directory is no target";

    std::string whole;
    long long size = 0;
    EXPECT_EQ(platform::ReadWholeFile(file, 100, whole, nullptr, &size), platform::WholeFile::Ok);
    EXPECT_EQ(whole, "first\r\n");
    EXPECT_EQ(size, 7);
    EXPECT_EQ(platform::ReadWholeFile(file, 3, whole), platform::WholeFile::TooLarge);
    EXPECT_EQ(platform::ReadWholeFile(dir.path, 100, whole), platform::WholeFile::Directory);
    EXPECT_EQ(platform::ReadWholeFile(dir.File("none"), 100, whole), platform::WholeFile::CannotOpen);

    // Private output appends, or truncates, and never opens a directory.
    const std::string trace = dir.File("trace.log");
    for (bool append : {false, true}) {
        std::FILE* f = platform::OpenPrivateOutput(trace, append);
        ASSERT_NE(f, nullptr);
        std::fputs("line\n", f);
        std::fclose(f);
    }
    EXPECT_EQ(Slurp(trace), "line\nline\n");
    EXPECT_EQ(platform::OpenPrivateOutput(dir.path, true), nullptr);

    std::string error;
    ASSERT_TRUE(platform::ReplaceFileAtomically(file, "replaced", 0600, &error)) << error;
    std::string data;
    EXPECT_EQ(platform::ReadOwnFile(file, 100, data), platform::ReadResult::Ok);
    EXPECT_EQ(data, "replaced");
    EXPECT_EQ(platform::ReadOwnFile(file, 3, data), platform::ReadResult::Ok);
    EXPECT_EQ(data, "rep");
    EXPECT_EQ(platform::ReadOwnFile(dir.File("none"), 100, data), platform::ReadResult::Missing);
    EXPECT_EQ(platform::ReadOwnFile(dir.path, 100, data), platform::ReadResult::Refused);
    EXPECT_TRUE(platform::RemoveOwnFile(file));
    EXPECT_TRUE(platform::RemoveOwnFile(file));
    EXPECT_FALSE(platform::RemoveOwnFile(dir.path));

    const std::string nested = platform::JoinPath(dir.path, "x\\y/z");
    EXPECT_TRUE(platform::MakeDirectories(nested, 0700, &error)) << error;
    EXPECT_TRUE(platform::IsDirectory(nested));
    // A file where a directory should be.
    std::ofstream(dir.File("plain")) << "x";
    EXPECT_FALSE(platform::MakeDirectories(platform::JoinPath(dir.File("plain"), "sub"), 0700, &error));
    EXPECT_FALSE(error.empty());
}

TEST(Win32Files, PathsAndStateDirectory) {
    EXPECT_EQ(platform::JoinPath("C:\\Temp", "DUXKUpdt.tmp"), "C:\\Temp\\DUXKUpdt.tmp");
    EXPECT_EQ(platform::JoinPath("C:\\Temp\\", "DUXKUpdt.tmp"), "C:\\Temp\\DUXKUpdt.tmp");
    EXPECT_EQ(platform::JoinPath("C:/Temp/", "DUXKUpdt.tmp"), "C:/Temp/DUXKUpdt.tmp");
    // The state directory is %TEMP%.
    char temp[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("TEMP", temp, sizeof temp);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(platform::PrivateStateDir(), std::string(temp, n));
    EXPECT_TRUE(platform::IsDirectory(platform::PrivateStateDir()));
    EXPECT_FALSE(platform::CurrentDirectory().empty());
}
