#include "calibration/CalTransfer.h"

#include "app/MainFrame.h"
#include "calibration/PackBlock.h"
#include "serial/DUXKSerial.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kCmdShow[] = "calib:show\n";
const char kCmdLock[] = "calib:lock\n";
const char kCmdUnlock[] = "calib:unlock mulberry\n";
const char kCmdRead[] = "calib:read\n";

const char kFileErrorCaption[] = "File Error";

// Progress values are real numbers; the bar takes them truncated toward
// zero and, like any range-limited bar, held inside 0..100.
int BarPosition(double value) {
    if (!(value > 0)) return 0;
    if (value >= 100) return 100;
    return static_cast<int>(std::trunc(value));
}

// Opens (creating or truncating) a file for writing, refusing when another
// writer holds it, and writes data untranslated in one piece.
bool WriteWholeFile(const std::string& name, const std::string& data) {
    if (name.empty()) return false;
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    bool ok = ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::ftruncate(fd, 0) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (::close(fd) != 0) ok = false;
    return ok;
}

std::FILE* OpenForReading(const std::string& name) {
    if (name.empty()) return nullptr;
    std::FILE* f = std::fopen(name.c_str(), "rb");
    if (!f) return nullptr;
    struct stat st {};
    if (::fstat(::fileno(f), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(f);
        return nullptr;
    }
    return f;
}

enum class LineRead { Line, End, Error };

// Reads one text line of any length: it ends at LF, and a CR right before
// the LF belongs to the line end, as a text-mode read sees it.
LineRead ReadTextLine(std::FILE* f, std::string& line) {
    line.clear();
    int c;
    bool any = false;
    while ((c = std::getc(f)) != EOF) {
        any = true;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return LineRead::Line;
        }
        line.push_back(static_cast<char>(c));
    }
    if (std::ferror(f)) return LineRead::Error;
    return any ? LineRead::Line : LineRead::End;
}

}  // namespace

void CalTransferSink::SetProgress(int) {}

void CalTransferSink::SetStatusText(const std::string& text) {
    if (CMainFrameCore* frame = GetMainFrame()) frame->Ui().SetStatusText(text);
}

void CalTransferSink::ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    if (CMainFrameCore* frame = GetMainFrame()) frame->Ui().ShowMessageBox(text, caption, icon);
}

CalTransfer::CalTransfer(CalTransferSink* sink) : sink_(sink ? sink : &defaultSink_) {}

CalTransfer::~CalTransfer() { CloseLoadFile(); }

std::string CalTransfer::DefaultFileName(const std::string& cwd, const std::string& serial) {
    return cwd + "/" + serial + ".cal";
}

std::string CalTransfer::DefaultFileName() {
    std::string cwd;
    if (char* dir = ::getcwd(nullptr, 0)) {
        cwd = dir;
        std::free(dir);
    }
    std::string serial;
    if (CMainFrameCore* frame = GetMainFrame()) serial = frame->m_search.szSerial;
    return DefaultFileName(cwd, serial);
}

bool CalTransfer::SensorFound() const {
    CMainFrameCore* frame = GetMainFrame();
    return frame && frame->m_bSensorFound.load() != 0;
}

void CalTransfer::EnsureChannelOpen() {
    if (GetSensorChannel().IsOpen()) return;
    if (CMainFrameCore* frame = GetMainFrame()) frame->ReopenSensorPort();
}

void CalTransfer::WriteText(const char* text, size_t length) {
    // The sensor channel reports its own failures; a command that reaches
    // nobody shows up as a save that never completes or a load time-out.
    GetSensorChannel().Write(text, static_cast<uint32_t>(length));
}

void CalTransfer::Drain(std::string& target) {
    CDUXKSerial& channel = GetSensorChannel();
    while (channel.ReceivedCount() != 0) target.push_back(static_cast<char>(channel.GetByte()));
}

void CalTransfer::CloseLoadFile() {
    if (m_loadFile) {
        std::fclose(m_loadFile);
        m_loadFile = nullptr;
    }
}

bool CalTransfer::WriteSaveFile(const std::string& data) { return WriteWholeFile(m_strFileName, data); }

bool CalTransfer::OnSave(const std::string& fileName) {
    if (!SensorFound()) return false;
    m_strFileName = fileName;
    m_strReceived.clear();
    if (m_strFileName.empty()) {
        sink_->ShowMessageBox("Please enter a filename", kFileErrorCaption, BoxIcon::Error);
        return false;
    }
    // The file exists, empty, from now on; the listing follows when complete.
    if (!WriteSaveFile(std::string())) {
        sink_->ShowMessageBox("Cannot create file", kFileErrorCaption, BoxIcon::Error);
        return false;
    }
    EnsureChannelOpen();
    sink_->SetStatusText("Saving Cal data...");
    m_bStopped = false;
    m_nMode = kModeSave;
    WriteText(kCmdShow, sizeof(kCmdShow) - 1);
    return true;
}

bool CalTransfer::OnLoad(const std::string& fileName) {
    if (!SensorFound()) return false;
    m_strFileName = fileName;
    m_strReceived.clear();
    std::FILE* probe = OpenForReading(m_strFileName);
    if (!probe) {
        sink_->ShowMessageBox("Please enter the name of an existing file", kFileErrorCaption, BoxIcon::Error);
        return false;
    }
    std::fclose(probe);
    EnsureChannelOpen();
    m_bStopped = false;
    m_nMode = kModeLoad;
    m_nLoadStep = 1;
    return true;
}

void CalTransfer::Stop() {
    m_bStopped = true;
    CloseLoadFile();
}

void CalTransfer::Tick() {
    if (m_bStopped) return;
    if (m_nMode != kModeNone && GetSensorChannel().IsDeviceGone()) {
        // The port went away (adapter unplugged, device removed): nothing
        // more can be sent or received, and waiting for the line to drain
        // would wait forever. End the transfer and say which port is gone.
        const bool save = m_nMode == kModeSave;
        CloseLoadFile();
        m_nMode = kModeNone;
        m_nLoadStep = 0;
        if (save) {
            ++m_nSaveFailures;
        } else {
            ++m_nLoadFailures;
        }
        sink_->SetProgress(0);
        sink_->SetStatusText("");
        sink_->ShowMessageBox("The connection to " + GetSensorChannel().PortName() +
                                  " was lost (adapter unplugged or device removed).",
                              "DUXKUpdate", BoxIcon::Error);
        return;
    }
    if (m_nMode == kModeSave) {
        TickSave();
    } else if (m_nMode == kModeLoad) {
        TickLoad();
    }
}

void CalTransfer::TickSave() {
    Drain(m_strReceived);
    if (std::optional<double> percent = PackBlockProgress(m_strReceived)) sink_->SetProgress(BarPosition(*percent));
    if (!IsPackBlockComplete(m_strReceived)) {
        m_nCompleteTicks = 0;
        return;
    }
    // The count may appear before the last record has fully arrived: write
    // only after the listing has stayed complete for a while.
    if (++m_nCompleteTicks <= kCompleteTicks) return;

    const bool written = WriteSaveFile(ParsePackBlock(m_strReceived, false));
    m_strReceived.clear();
    sink_->SetProgress(0);
    if (written) {
        ++m_nSavesWritten;
        sink_->SetStatusText("Done.");
    } else {
        // A listing that could not be stored must not look like a success.
        ++m_nSaveFailures;
        sink_->SetStatusText("");
        sink_->ShowMessageBox("Cannot create file", kFileErrorCaption, BoxIcon::Error);
    }
}

void CalTransfer::TickLoad() {
    {
        std::string tickBytes;
        Drain(tickBytes);
        if (tickBytes.find("unlocked_") != std::string::npos) m_bUnlocked = 1;
    }

    switch (m_nLoadStep) {
    case 0:
        break;
    case 1: {
        m_nDone = 0;
        sink_->SetProgress(0);
        sink_->SetStatusText("");
        CloseLoadFile();
        m_loadFile = OpenForReading(m_strFileName);
        if (!m_loadFile) {
            m_nLoadStep = 0;
            break;
        }
        struct stat st {};
        const long long size = ::fstat(::fileno(m_loadFile), &st) == 0 ? st.st_size : 0;
        m_nTotal = static_cast<int32_t>(size > INT32_MAX ? INT32_MAX : size);
        WriteText(kCmdLock, sizeof(kCmdLock) - 1);
        m_nLoadStep = 2;
        break;
    }
    case 2:
        m_bUnlocked = 0;
        m_nUnlockWait = 0;
        WriteText(kCmdUnlock, sizeof(kCmdUnlock) - 1);
        m_nLoadStep = 3;
        break;
    case 3:
        if (m_bUnlocked) m_nLoadStep = 4;
        if (++m_nUnlockWait > kUnlockTicks) m_nLoadStep = 7;
        break;
    case 4:
        WriteText(kCmdRead, sizeof(kCmdRead) - 1);
        m_nLoadStep = 5;
        break;
    case 5: {
        if (!GetSensorChannel().IsTransmitDone()) break;
        std::string line;
        const LineRead got = m_loadFile ? ReadTextLine(m_loadFile, line) : LineRead::Error;
        if (got == LineRead::End) {
            m_nLoadStep = 6;
            break;
        }
        if (got == LineRead::Error) {
            // A file that cannot be read to its end was not loaded: lock the
            // sensor again and say so rather than report a finished load.
            CloseLoadFile();
            sink_->SetProgress(0);
            WriteText(kCmdLock, sizeof(kCmdLock) - 1);
            m_nLoadStep = 8;
            ++m_nLoadFailures;
            sink_->ShowMessageBox("Cannot read file", kFileErrorCaption, BoxIcon::Error);
            break;
        }
        const long long done = static_cast<long long>(m_nDone) + static_cast<long long>(line.size());
        m_nDone = static_cast<int32_t>(done > INT32_MAX ? INT32_MAX : done);
        sink_->SetProgress(m_nTotal == 0 ? 50 : BarPosition(static_cast<double>(m_nDone) * 100.0 / m_nTotal));
        size_t end = line.size();
        while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == '\t' ||
                           line[end - 1] == ' '))
            --end;
        line.resize(end);
        // Pack header lines stay in the file only; the sensor rebuilds its own.
        if (line.find(" pack ") == std::string::npos) {
            line.push_back('\n');
            WriteText(line);
        }
        break;
    }
    case 6:
        CloseLoadFile();
        sink_->SetProgress(100);
        WriteText(kCmdLock, sizeof(kCmdLock) - 1);
        m_nLoadStep = 8;
        ++m_nLoadsDone;
        sink_->SetStatusText("Done.");
        break;
    case 7:
        CloseLoadFile();
        sink_->SetProgress(0);
        WriteText(kCmdLock, sizeof(kCmdLock) - 1);
        // The step moves on before the box opens: a box with its own event
        // loop keeps the timer running, and the sequence finishes meanwhile.
        m_nLoadStep = 8;
        ++m_nLoadTimeouts;
        sink_->ShowMessageBox("Timeout occured", "Error", BoxIcon::Error);
        break;
    case 8:
        sink_->SetProgress(0);
        m_nLoadStep = 0;
        break;
    default:
        m_nLoadStep = 0;
        break;
    }
}
