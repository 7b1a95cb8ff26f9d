#include "calibration/CalTransfer.h"

#include "session/MainFrame.h"
#include "calibration/PackBlock.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"

#include <climits>
#include <cmath>
#include <cstdlib>
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

enum class LineRead { Line, End };

// Takes the next text line of content from pos: it ends at LF, and a CR
// right before the LF belongs to the line end, as a text-mode read sees it.
LineRead NextTextLine(const std::string& content, size_t& pos, std::string& line) {
    line.clear();
    if (pos >= content.size()) return LineRead::End;
    const size_t lf = content.find('\n', pos);
    const size_t end = lf == std::string::npos ? content.size() : lf;
    line.assign(content, pos, end - pos);
    if (lf != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
    pos = lf == std::string::npos ? content.size() : lf + 1;
    return LineRead::Line;
}

}  // namespace

void CalTransferSink::SetProgress(int) {}

void CalTransferSink::SetStatusText(const std::string& text) {
    if (ui_) ui_->SetStatusText(text);
}

void CalTransferSink::ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) {
    if (ui_) ui_->ShowMessageBox(text, caption, icon);
}

CalTransfer::CalTransfer(CMainFrameCore& frame, CalTransferSink* sink)
    : frame_(frame), defaultSink_(&frame.Ui()), sink_(sink ? sink : &defaultSink_) {}

CalTransfer::~CalTransfer() { CloseLoadFile(); }

std::string CalTransfer::DefaultFileName(const std::string& cwd, const std::string& serial) {
    return cwd + platform::PathSeparator() + FileNameFromSerial(serial);
}

std::string CalTransfer::FileNameFromSerial(const std::string& serial) {
    // The serial number comes from the sensor: whatever it holds, the name
    // stays a plain file in the directory it is meant for.
    std::string name = serial;
    for (char& c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
    }
    if (!name.empty() && name[0] == '.') name[0] = '_';
    return name + ".cal";
}

CalTransfer::LoadFileState CalTransfer::ReadLoadFile(const std::string& path, std::string& content, std::string* why) {
    std::string reason;
    LoadFileState state = LoadFileState::Ok;
    switch (platform::ReadWholeFile(path, kMaxLoadFileBytes, content, &reason)) {
    case platform::WholeFile::Ok: break;
    case platform::WholeFile::CannotOpen: state = LoadFileState::CannotOpen; break;
    case platform::WholeFile::Directory: state = LoadFileState::Directory; break;
    case platform::WholeFile::NotRegular: state = LoadFileState::NotRegular; break;
    case platform::WholeFile::TooLarge: state = LoadFileState::TooLarge; break;
    case platform::WholeFile::Changed: state = LoadFileState::Changed; break;
    }
    if (state == LoadFileState::Ok) {
        size_t pos = 0, number = 0;
        std::string line;
        while (NextTextLine(content, pos, line) == LineRead::Line) {
            ++number;
            if (line.size() > kMaxLoadLineBytes) {
                state = LoadFileState::LineTooLong;
                reason = path + ": line " + std::to_string(number) + " is longer than " +
                         std::to_string(kMaxLoadLineBytes) + " bytes (" + std::to_string(line.size()) + ")";
                content.clear();
                break;
            }
        }
    }
    if (state == LoadFileState::Ok && Records(content).empty()) {
        // Such a file would unlock the sensor and end in "Done." with
        // nothing loaded.
        state = LoadFileState::NoRecords;
        reason = path + ": no calibration records in it (no line begins with '@')";
        content.clear();
    }
    if (why) *why = state == LoadFileState::Ok ? std::string() : reason;
    return state;
}

std::vector<std::string> CalTransfer::Records(const std::string& text) {
    std::vector<std::string> records;
    size_t pos = 0;
    std::string line;
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '_'; };
    while (NextTextLine(text, pos, line) == LineRead::Line) {
        size_t begin = 0, end = line.size();
        while (begin < end && (line[begin] == ' ' || line[begin] == '\t')) ++begin;
        if (begin == end || line[begin] != '@') continue;
        while (end > begin && blank(line[end - 1])) --end;
        records.emplace_back(line, begin, end - begin);
    }
    return records;
}

std::string CalTransfer::DefaultFileName(const CMainFrameCore& frame) {
    return DefaultFileName(platform::CurrentDirectory(), frame.m_search.szSerial);
}

bool CalTransfer::SensorFound() const { return frame_.m_bSensorFound.load() != 0; }

void CalTransfer::EnsureChannelOpen() {
    if (!GetSensorChannel().IsOpen()) frame_.ReopenSensorPort();
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
    m_loadContent.clear();
    m_loadContent.shrink_to_fit();
    m_loadPos = 0;
}

bool CalTransfer::WriteSaveFile(const std::string& data, std::string* why) {
    // The name may have changed since the save began (browse), and a second
    // complete listing needs a temporary file of its own.
    if (!m_saveFile.Active() || m_saveFile.Target() != m_strFileName) {
        if (!m_saveFile.Begin(m_strFileName, why)) return false;
    }
    return m_saveFile.Commit(data, why);
}

bool CalTransfer::OnSave(const std::string& fileName) {
    if (!SensorFound()) return false;
    m_strFileName = fileName;
    m_strReceived.clear();
    if (m_strFileName.empty()) {
        sink_->ShowMessageBox("Please enter a filename", kFileErrorCaption, BoxIcon::Error);
        return false;
    }
    // Whether the file can be written is known now, without touching it: a
    // temporary file beside it takes the listing and replaces the file only
    // once the listing is complete, so a save that never completes leaves
    // the old file (the last good calibration, as a rule) as it was.
    std::string why;
    if (!m_saveFile.Begin(m_strFileName, &why)) {
        sink_->ShowMessageBox("Cannot create file\n" + why, kFileErrorCaption, BoxIcon::Error);
        return false;
    }
    EnsureChannelOpen();
    sink_->SetStatusText("Saving Cal data...");
    m_bStopped = false;
    m_nMode = kModeSave;
    m_strFirstListing.clear();
    m_nListings = 1;
    WriteText(kCmdShow, sizeof(kCmdShow) - 1);
    return true;
}

bool CalTransfer::OnLoad(const std::string& fileName) {
    if (!SensorFound()) return false;
    m_strFileName = fileName;
    m_strReceived.clear();
    const std::string noFile = "Please enter the name of an existing file";
    if (m_strFileName.empty()) {
        sink_->ShowMessageBox(noFile, kFileErrorCaption, BoxIcon::Error);
        return false;
    }
    // The whole file is read here, before anything is sent: a file that
    // cannot be loaded whole never unlocks the sensor.
    std::string content, why;
    const LoadFileState state = ReadLoadFile(m_strFileName, content, &why);
    if (state != LoadFileState::Ok) {
        sink_->ShowMessageBox(state == LoadFileState::CannotOpen ? noFile + "\n" + why : why, kFileErrorCaption,
                              BoxIcon::Error);
        return false;
    }
    return StartLoad(m_strFileName, std::move(content));
}

bool CalTransfer::StartLoad(const std::string& fileName, std::string content) {
    if (!SensorFound()) return false;
    m_strFileName = fileName;
    m_strReceived.clear();
    CloseLoadFile();
    m_loadContent = std::move(content);
    m_loadRecords = Records(m_loadContent);
    EnsureChannelOpen();
    m_bStopped = false;
    m_nMode = kModeLoad;
    m_nLoadStep = 1;
    return true;
}

void CalTransfer::Stop() {
    m_bStopped = true;
    CloseLoadFile();
    m_saveFile.Discard();
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
        sink_->ShowMessageBox(
            "The connection to " + GetSensorChannel().PortName() + " was lost (adapter unplugged or device removed).",
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

    // The listing carries no check of its own: a byte garbled on the line
    // would go into the file unnoticed. It is written once two listings in
    // a row agree (from the pack header on; what came before may differ).
    const bool agree =
        !m_strFirstListing.empty() && ParsePackBlock(m_strFirstListing, true) == ParsePackBlock(m_strReceived, true);
    if (!agree) {
        m_nCompleteTicks = 0;
        if (m_nListings >= kMaxListings) {
            ++m_nSaveFailures;
            m_saveFile.Discard();
            m_strReceived.clear();
            m_nMode = kModeNone;
            sink_->SetProgress(0);
            sink_->SetStatusText("");
            sink_->ShowMessageBox("The calibration listing arrived differently each of " +
                                      std::to_string(kMaxListings) + " times (a disturbed line?): nothing was saved, " +
                                      m_strFileName + " is unchanged.",
                                  "Error", BoxIcon::Error);
            return;
        }
        m_strFirstListing = std::move(m_strReceived);
        m_strReceived.clear();
        ++m_nListings;
        WriteText(kCmdShow, sizeof(kCmdShow) - 1);
        return;
    }

    std::string why;
    const bool written = WriteSaveFile(ParsePackBlock(m_strFirstListing, false), &why);
    m_strReceived.clear();
    m_strFirstListing.clear();
    sink_->SetProgress(0);
    if (written) {
        ++m_nSavesWritten;
        sink_->SetStatusText("Done.");
    } else {
        // A listing that could not be stored must not look like a success.
        ++m_nSaveFailures;
        sink_->SetStatusText("");
        sink_->ShowMessageBox("Cannot create file\n" + why, kFileErrorCaption, BoxIcon::Error);
    }
}

void CalTransfer::TickLoad() {
    std::string tickBytes;
    Drain(tickBytes);
    if (tickBytes.find("unlocked_") != std::string::npos) m_bUnlocked = 1;

    switch (m_nLoadStep) {
    case 0: break;
    case 1: {
        m_nDone = 0;
        sink_->SetProgress(0);
        sink_->SetStatusText("");
        // The file was read whole at the button; from here on it is this copy.
        m_loadPos = 0;
        m_nTotal = static_cast<int32_t>(m_loadContent.size());
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
        if (NextTextLine(m_loadContent, m_loadPos, line) == LineRead::End) {
            m_nLoadStep = 6;
            break;
        }
        const long long done = static_cast<long long>(m_nDone) + static_cast<long long>(line.size());
        m_nDone = static_cast<int32_t>(done > INT32_MAX ? INT32_MAX : done);
        sink_->SetProgress(m_nTotal == 0 ? 50 : BarPosition(static_cast<double>(m_nDone) * 100.0 / m_nTotal));
        size_t end = line.size();
        while (end > 0 &&
               (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == '\t' || line[end - 1] == ' '))
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
        m_nLoadStep = 9;
        break;
    case 9:
    case 10: TickLoadCheck(tickBytes); break;
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
    default: m_nLoadStep = 0; break;
    }
}

// After the final lock: the sensor lists what it now holds, and the load is
// done only when that is exactly the file's records. A line that lost or
// garbled a byte, or records the sensor would not take, show up here.
void CalTransfer::TickLoadCheck(const std::string& tickBytes) {
    if (m_nLoadStep == 9) {
        m_strReceived.clear();
        m_nCompleteTicks = 0;
        m_nCheckTicks = 0;
        m_nCheckQuietTicks = 0;
        m_nListings = 1;
        sink_->SetStatusText("Checking Cal data...");
        WriteText(kCmdShow, sizeof(kCmdShow) - 1);
        m_nLoadStep = 10;
        return;
    }
    m_strReceived += tickBytes;
    ++m_nCheckTicks;
    // Ticks since the last byte: a listing that stopped, or never began
    // (the request or a piece of it lost on the line), is asked for again.
    m_nCheckQuietTicks = tickBytes.empty() ? m_nCheckQuietTicks + 1 : 0;
    const bool complete = IsPackBlockComplete(m_strReceived);
    if (!complete && m_nCheckQuietTicks >= kCheckAskTicks) {
        if (m_nListings >= kMaxListings) {
            EndLoad(false,
                    "The sensor did not list its calibration data after the load: whether it holds the file's "
                    "records is not known. Load the file again.");
            return;
        }
        ++m_nListings;
        m_nCheckQuietTicks = 0;
        m_strReceived.clear();
        WriteText(kCmdShow, sizeof(kCmdShow) - 1);
        return;
    }
    if (m_nCheckTicks > kCheckTicks) {
        EndLoad(false,
                "The sensor did not list its calibration data after the load: whether it holds the file's "
                "records is not known. Load the file again.");
        return;
    }
    if (!IsPackBlockComplete(m_strReceived)) {
        m_nCompleteTicks = 0;
        return;
    }
    if (++m_nCompleteTicks <= kCompleteTicks) return;
    const std::vector<std::string> held = Records(ParsePackBlock(m_strReceived, true));
    if (held == m_loadRecords) {
        EndLoad(true, {});
        return;
    }
    if (m_nListings < kMaxListings) {
        // The listing itself may have been garbled on its way: ask again.
        ++m_nListings;
        m_nCheckQuietTicks = 0;
        m_nCompleteTicks = 0;
        m_strReceived.clear();
        WriteText(kCmdShow, sizeof(kCmdShow) - 1);
        return;
    }
    size_t i = 0;
    while (i < held.size() && i < m_loadRecords.size() && held[i] == m_loadRecords[i]) ++i;
    EndLoad(false, "The sensor's calibration data differ from the file from record " + std::to_string(i + 1) +
                       " on (it holds " + std::to_string(held.size()) + " records, the file has " +
                       std::to_string(m_loadRecords.size()) + "). Load the file again.");
}

void CalTransfer::EndLoad(bool done, const std::string& failure) {
    m_strReceived.clear();
    m_nLoadStep = 8;
    if (done) {
        ++m_nLoadsDone;
        sink_->SetStatusText("Done.");
        return;
    }
    ++m_nLoadFailures;
    sink_->SetProgress(0);
    sink_->SetStatusText("");
    sink_->ShowMessageBox(failure, "Error", BoxIcon::Error);
}
