// The main frame's core: the connection state the search fills in, the
// search thread's life, reopening the sensor port and the last-port file.

#include "app/MainFrame.h"

#include "serial/DUXKSerial.h"

#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::atomic<CMainFrameCore*> g_mainFrame{nullptr};

// The sensor commands in the order the search enables and greys them.
constexpr int kSensorCommands[] = {ID_SENSOR_SPECIFICATION, ID_SENSOR_CALDATA, ID_SENSOR_SELFTEST,
                                   ID_SENSOR_SETTINGS,      ID_SENSOR_UPDATE,  ID_SENSOR_VIEWCAL};

const char kLastPortFileName[] = "DUXKUpdt.tmp";

// The directory that holds the last-port file.
std::string TempDirectory() {
    for (const char* var : {"TEMP", "TMPDIR"}) {
        const char* value = std::getenv(var);
        if (value && *value) return value;
    }
    return "/tmp";
}

}  // namespace

CMainFrameCore* GetMainFrame() { return g_mainFrame.load(std::memory_order_acquire); }

void SetMainFrame(CMainFrameCore* frame) { g_mainFrame.store(frame, std::memory_order_release); }

std::string LastPortFilePath() {
    std::string dir = TempDirectory();
    if (dir.back() != '/') dir += '/';
    return dir + kLastPortFileName;
}

CMainFrameCore::CMainFrameCore(IFrameUi& ui) : ui_(ui) {}

CMainFrameCore::~CMainFrameCore() {
    StopSearch();
    if (GetMainFrame() == this) SetMainFrame(nullptr);
}

void CMainFrameCore::StartSearch() {
    if (searchThread_.joinable()) return;  // the search runs once per frame
    m_search.pSensorFound = &m_bSensorFound;
    m_search.pStatusBar = &ui_;
    m_search.pChannel = &GetSensorChannel();
    m_search.pFrame = this;
    m_search.nStop = 0;
    {
        std::lock_guard<std::mutex> lock(endMutex_);
        searchEnded_ = false;
        searchExitCode_ = 0;
    }
    searchThread_ = std::thread([this] {
        unsigned code = SearchSensor(&m_search);
        {
            std::lock_guard<std::mutex> lock(endMutex_);
            searchEnded_ = true;
            searchExitCode_ = code;
        }
        endCv_.notify_all();
    });
    m_search.pThread = &searchThread_;
}

void CMainFrameCore::StopSearch() {
    {
        std::lock_guard<std::mutex> lock(m_search.stopMutex);
        if (m_search.nStop == 0) m_search.nStop = 1;
    }
    m_search.stopCv.notify_all();
    if (searchThread_.joinable()) searchThread_.join();
}

bool CMainFrameCore::SearchRunning() const {
    std::lock_guard<std::mutex> lock(endMutex_);
    return searchThread_.joinable() && !searchEnded_;
}

bool CMainFrameCore::WaitSearchEnd(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(endMutex_);
    if (!searchThread_.joinable()) return true;
    return endCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return searchEnded_; });
}

unsigned CMainFrameCore::SearchExitCode() const {
    std::lock_guard<std::mutex> lock(endMutex_);
    return searchExitCode_;
}

bool CMainFrameCore::ReopenSensorPort() {
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.Open(m_search.szPort, 4000, 4000, true) != 0) return false;
    if (channel.SetParams(CDUXKSerial::BaudFromText(m_search.szBaud), 8, NOPARITY, TWOSTOPBITS) != 0)
        return false;
    channel.SetEventMask(0x1FD);
    channel.SetFlowControl(0);
    if (channel.IsOpen()) channel.Write("appl\n", 5);
    return channel.IsOpen();
}

bool CMainFrameCore::ReadLastPort(char* portName) {
    const std::string path = LastPortFilePath();
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return false;
    char line[128] = {};
    bool gotLine = std::fgets(line, 127, file) != nullptr;
    std::fclose(file);
    if (!gotLine) return false;
    // The file may have been written with either line end; neither belongs
    // to the name.
    line[std::strcspn(line, "\r\n")] = '\0';
    line[4] = '\0';  // only the first four characters count
    if (std::toupper(static_cast<unsigned char>(line[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(line[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(line[2])) != 'M')
        return false;
    std::memcpy(portName, line, std::strlen(line) + 1);
    return true;
}

bool CMainFrameCore::WriteLastPort(const char* portName) {
    const std::string dir = TempDirectory();
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    FILE* file = std::fopen(LastPortFilePath().c_str(), "w");
    if (!file) return false;
    // CR LF line end: the file keeps the same bytes on every platform the
    // tool runs on; ReadLastPort accepts either line end.
    std::fprintf(file, "%s\r\n", portName);
    std::fclose(file);
    return true;
}

bool CMainFrameCore::EnableSensorCommands(bool enable) {
    return ui_.EnableMenuCommands(kSensorCommands, static_cast<int>(std::size(kSensorCommands)), enable);
}

bool CMainFrameCore::CheckSensorFound() {
    if (m_bSensorFound.load(std::memory_order_acquire)) return true;
    ui_.SetStatusText("No Sensor!");
    return false;
}
