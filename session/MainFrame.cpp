// The main frame's core: the connection state the search fills in, the
// search thread's life, reopening the sensor port and the last-port file.

#include "session/MainFrame.h"

#include "platform/Files.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The sensor commands in the order the search enables and greys them.
constexpr int kSensorCommands[] = {ID_SENSOR_SPECIFICATION, ID_SENSOR_CALDATA, ID_SENSOR_SELFTEST,
                                   ID_SENSOR_SETTINGS,      ID_SENSOR_UPDATE,  ID_SENSOR_VIEWCAL};

const char kLastPortFileName[] = "DUXKUpdt.tmp";

// The port name a last-port file line stands for: "COM" (any case) and a
// digit, of which only these four characters count ("COM12" gives "COM1"),
// or an absolute device path without control characters. Empty when the
// line is neither.
std::string PortNameFromLine(const std::string& line) {
    if (line.size() >= 4 && std::toupper(static_cast<unsigned char>(line[0])) == 'C' &&
        std::toupper(static_cast<unsigned char>(line[1])) == 'O' &&
        std::toupper(static_cast<unsigned char>(line[2])) == 'M' && std::isdigit(static_cast<unsigned char>(line[3])))
        return line.substr(0, 4);
    if (line.empty() || line[0] != '/') return {};
    for (unsigned char c : line)
        if (c < 0x20 || c == 0x7F) return {};
    return line;
}

}  // namespace

std::string LastPortFilePath() {
    // Never a directory shared with other users: anyone could plant a link,
    // a FIFO or a port name of their choosing there.
    std::string dir = platform::PrivateStateDir();
    if (dir.empty()) return {};
    return platform::JoinPath(dir, kLastPortFileName);
}

CMainFrameCore::CMainFrameCore(IFrameUi& ui) : ui_(ui) {}

CMainFrameCore::~CMainFrameCore() { StopSearch(); }

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
    if (channel.SetParams(CDUXKSerial::BaudFromText(m_search.szBaud), 8, NOPARITY, TWOSTOPBITS) != 0) return false;
    channel.SetEventMask(0x1FD);
    channel.SetFlowControl(0);
    if (channel.IsOpen()) channel.Write("appl\n", 5);
    return channel.IsOpen();
}

bool CMainFrameCore::ReadLastPort(char* portName, size_t size) {
    const std::string path = LastPortFilePath();
    if (path.empty() || !portName || size == 0) return false;
    // Only this user's own regular file counts; a link or a FIFO planted in
    // its place is neither followed nor waited on.
    std::string data;
    if (platform::ReadOwnFile(path, kPortNameSize + 2, data) != platform::ReadResult::Ok) return false;
    // The file may have been written with either line end; neither belongs
    // to the name.
    const size_t end = data.find_first_of("\r\n");
    if (end == std::string::npos && data.size() > kPortNameSize) return false;  // no line of a sane length
    const std::string name = PortNameFromLine(data.substr(0, end));
    if (name.empty() || name.size() >= size) return false;
    std::memcpy(portName, name.c_str(), name.size() + 1);
    return true;
}

bool CMainFrameCore::WriteLastPort(const char* portName) {
    const std::string path = LastPortFilePath();
    // Only a name that would be read back is stored.
    if (path.empty() || !portName || PortNameFromLine(portName) != portName) return false;
    // CR LF line end: the file keeps the same bytes on every platform the
    // tool runs on; ReadLastPort accepts either line end. The file is
    // replaced, never written through whatever stands at its name.
    return platform::ReplaceFileAtomically(path, std::string(portName) + "\r\n", 0600);
}

bool CMainFrameCore::EnableSensorCommands(bool enable) {
    return ui_.EnableMenuCommands(kSensorCommands, static_cast<int>(std::size(kSensorCommands)), enable);
}

bool CMainFrameCore::EnableUpdateCommandOnly() {
    int others[std::size(kSensorCommands)];
    int count = 0;
    for (int id : kSensorCommands)
        if (id != ID_SENSOR_UPDATE) others[count++] = id;
    const int update = ID_SENSOR_UPDATE;
    return ui_.EnableMenuCommands(others, count, false) && ui_.EnableMenuCommands(&update, 1, true);
}

void CMainFrameCore::RestartSearch() {
    StopSearch();
    CDUXKSerial& channel = GetSensorChannel();
    if (channel.IsOpen()) channel.Close();
    m_bInUpdateProgram.store(0);
    m_bSensorFound.store(0, std::memory_order_release);
    StartSearch();
}

bool CMainFrameCore::CheckSensorFound() {
    if (m_bSensorFound.load(std::memory_order_acquire)) return true;
    ui_.SetStatusText("No Sensor!");
    return false;
}
