#include "calibration/CalTransfer.h"

#include "session/MainFrame.h"
#include "calibration/PackBlock.h"
#include "platform/Platform.h"
#include "serial/DUXKSerial.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

const char kCmdShow[] = "calib:show\n";
const char kCmdLock[] = "calib:lock\n";
const char kCmdUnlock[] = "calib:unlock mulberry\n";
const char kCmdRead[] = "calib:read\n";

const char kFileErrorCaption[] = "File Error";
const char kCopyStatus[] = "Saving Cal data before loading...";

// The copies of the calibrations a load replaces: "DUXKCal-<serial>-<time>"
// and ".cal" while the load may still fail, ".replaced.cal" once it went
// through.
const char kCopyPrefix[] = "DUXKCal-";
const char kCopyExtension[] = ".cal";
const char kReplacedExtension[] = ".replaced.cal";

// The serial number as it may stand in a file name on every system.
std::string CopySerial(const std::string& serial) {
    std::string name;
    for (char c : serial) {
        const bool plain = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
        name.push_back(plain ? c : '_');
    }
    return name.empty() ? "unknown" : name;
}

std::string CopyTime() {
    const std::time_t now = std::time(nullptr);
    char text[32] = "00000000-000000";
    if (const std::tm* local = std::localtime(&now)) std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", local);
    return text;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A path as it may be typed into a shell.
std::string ShellWord(const std::string& path) {
    if (path.find_first_of(" \t'\"$`\\;&|<>()*?!#~") == std::string::npos) return path;
    std::string quoted = "'";
    for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

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
    m_strCopyPath.clear();
    m_nLoadStep = kCopyStep;
    return true;
}

std::string CalTransfer::CopyDirectory(std::string* why) { return platform::KeptStateDir(why); }

bool CalTransfer::LoadUnderWay() const {
    return m_nMode == kModeLoad && !m_bStopped &&
           ((m_nLoadStep >= 1 && m_nLoadStep <= 7) || m_nLoadStep == 9 || m_nLoadStep == 10);
}

std::string CalTransfer::RestoreNote() const {
    if (m_strCopyPath.empty()) return {};
    return "The sensor's calibration data as they were before this load are saved in " + m_strCopyPath +
           ": to put them back, load that file (duxk cal load " + ShellWord(m_strCopyPath) +
           ", or Load Cal-Data in the Calibration Data dialog).";
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
        const std::string note = LoadUnderWay() ? "\n\n" + RestoreNote() : std::string();
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
                                  " was lost (adapter unplugged or device removed)." + note,
                              "DUXKUpdate", BoxIcon::Error);
        return;
    }
    if (m_nMode == kModeSave) {
        TickSave();
    } else if (m_nMode == kModeLoad) {
        TickLoad();
    }
}

CalTransfer::Listings CalTransfer::CollectListings(std::string& agreed) {
    if (std::optional<double> percent = PackBlockProgress(m_strReceived)) sink_->SetProgress(BarPosition(*percent));
    if (!IsPackBlockComplete(m_strReceived)) {
        m_nCompleteTicks = 0;
        return Listings::Collecting;
    }
    // The count may appear before the last record has fully arrived: take
    // the listing only after it has stayed complete for a while.
    if (++m_nCompleteTicks <= kCompleteTicks) return Listings::Collecting;
    m_nCompleteTicks = 0;

    // The listing carries no check of its own: a byte garbled on the line
    // would go into the file unnoticed. It is taken once two listings in a
    // row agree whole, as they would be written (the lines before the pack
    // header too: they are part of the file).
    std::string listing = ParsePackBlock(m_strReceived, false);
    m_strReceived.clear();
    if (!m_strFirstListing.empty() && listing == m_strFirstListing) {
        agreed = std::move(listing);
        m_strFirstListing.clear();
        return Listings::Agreed;
    }
    if (m_nListings >= kMaxListings) {
        m_strFirstListing.clear();
        return Listings::Differ;
    }
    m_strFirstListing = std::move(listing);
    ++m_nListings;
    WriteText(kCmdShow, sizeof(kCmdShow) - 1);
    return Listings::Collecting;
}

void CalTransfer::TickSave() {
    Drain(m_strReceived);
    std::string listing;
    switch (CollectListings(listing)) {
    case Listings::Collecting: return;
    case Listings::Differ:
        ++m_nSaveFailures;
        m_saveFile.Discard();
        m_nMode = kModeNone;
        sink_->SetProgress(0);
        sink_->SetStatusText("");
        sink_->ShowMessageBox("The calibration listing arrived differently each of " + std::to_string(kMaxListings) +
                                  " times (a disturbed line?): nothing was saved, " + m_strFileName + " is unchanged.",
                              "Error", BoxIcon::Error);
        return;
    case Listings::Agreed: break;
    }

    std::string why;
    const bool written = WriteSaveFile(listing, &why);
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

bool CalTransfer::WriteCopy(const std::string& listing, std::string* why) {
    const std::string base = kCopyPrefix + CopySerial(frame_.m_search.szSerial) + "-" + CopyTime();
    for (int n = 1; n < 100; ++n) {
        const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
        const std::string path = platform::JoinPath(m_strCopyDir, name + kCopyExtension);
        if (platform::PathExists(path) ||
            platform::PathExists(platform::JoinPath(m_strCopyDir, name + kReplacedExtension)))
            continue;
        // A state file: readable by the user alone, never put over another.
        platform::PendingFile file;
        if (!file.Begin(path, why, 0600)) return false;
        if (file.Commit(listing, why, false)) {
            m_strCopyPath = path;
            return true;
        }
        if (!file.TargetExisted()) return false;
    }
    if (why) *why = "no free name for " + base + kCopyExtension + " in " + m_strCopyDir;
    return false;
}

// The load went through: its copy is marked as one that may go, and of this
// sensor's marked copies only the newest are kept.
void CalTransfer::KeepCopyOfLoadDone() {
    if (!EndsWith(m_strCopyPath, kCopyExtension)) return;
    const std::string replaced =
        m_strCopyPath.substr(0, m_strCopyPath.size() - (sizeof kCopyExtension - 1)) + kReplacedExtension;
    std::error_code error;
    std::filesystem::rename(m_strCopyPath, replaced, error);
    if (error) return;
    m_strCopyPath = replaced;

    const std::string prefix = kCopyPrefix + CopySerial(frame_.m_search.szSerial) + "-";
    std::vector<std::string> done;
    std::filesystem::directory_iterator it(m_strCopyDir, error), end;
    for (; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        // "<prefix>YYYYMMDD-HHMMSS...": another serial that begins with this
        // one has no digits and a '-' there.
        const std::string rest = name.size() > prefix.size() ? name.substr(prefix.size()) : std::string();
        if (name.rfind(prefix, 0) != 0 || !EndsWith(name, kReplacedExtension) || rest.size() < 15 || rest[8] != '-' ||
            !std::all_of(rest.begin(), rest.begin() + 8, [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        done.push_back(name);
    }
    std::sort(done.begin(), done.end());
    for (size_t i = 0; i + kKeptReplacedCopies < done.size(); ++i)
        platform::RemoveOwnFile(platform::JoinPath(m_strCopyDir, done[i]));
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
    case 11: {
        // Nothing changes the sensor before its calibration is saved.
        std::string why;
        m_strCopyDir = CopyDirectory(&why);
        if (m_strCopyDir.empty()) {
            EndLoad(false, "The sensor's calibration data could not be saved before the load (" + why +
                               "). Nothing was loaded: the sensor is as it was.");
            break;
        }
        m_strReceived.clear();
        m_strFirstListing.clear();
        m_nCompleteTicks = 0;
        m_nCheckTicks = 0;
        m_nCheckQuietTicks = 0;
        m_nListings = 1;
        sink_->SetProgress(0);
        sink_->SetStatusText(kCopyStatus);
        WriteText(kCmdShow, sizeof(kCmdShow) - 1);
        m_nLoadStep = 12;
        break;
    }
    case 12: TickLoadCopy(tickBytes); break;
    case 7: {
        CloseLoadFile();
        sink_->SetProgress(0);
        WriteText(kCmdLock, sizeof(kCmdLock) - 1);
        const std::string note = RestoreNote();
        // The step moves on before the box opens: a box with its own event
        // loop keeps the timer running, and the sequence finishes meanwhile.
        m_nLoadStep = 8;
        ++m_nLoadTimeouts;
        sink_->ShowMessageBox(note.empty() ? "Timeout occured" : "Timeout occured\n\n" + note, "Error", BoxIcon::Error);
        break;
    }
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

// Before the load: the sensor's calibration as a save takes it (two
// listings in a row that agree), into a copy of its own. A request or a
// listing lost on the line is asked for again, as the check after the load
// does; when no copy can be made, nothing is loaded.
void CalTransfer::TickLoadCopy(const std::string& tickBytes) {
    const std::string cannot = "The sensor's calibration data could not be saved before the load: ";
    const std::string unchanged = " Nothing was loaded: the sensor is as it was.";
    m_strReceived += tickBytes;
    ++m_nCheckTicks;
    m_nCheckQuietTicks = tickBytes.empty() ? m_nCheckQuietTicks + 1 : 0;
    const bool complete = IsPackBlockComplete(m_strReceived);
    if (m_nCheckTicks > kCheckTicks || (!complete && m_nCheckQuietTicks >= kCheckAskTicks)) {
        if (m_nListings >= kMaxListings || m_nCheckTicks > kCheckTicks) {
            EndLoad(false, cannot + "the sensor did not list them." + unchanged);
            return;
        }
        ++m_nListings;
        m_nCheckTicks = 0;
        m_nCheckQuietTicks = 0;
        m_nCompleteTicks = 0;
        m_strReceived.clear();
        WriteText(kCmdShow, sizeof(kCmdShow) - 1);
        return;
    }
    const int32_t asked = m_nListings;
    std::string listing;
    switch (CollectListings(listing)) {
    case Listings::Collecting:
        // Each listing has the whole time of its own.
        if (m_nListings != asked) m_nCheckTicks = m_nCheckQuietTicks = 0;
        return;
    case Listings::Differ:
        EndLoad(false, cannot + "the listing arrived differently each of " + std::to_string(kMaxListings) +
                           " times (a disturbed line?)." + unchanged);
        return;
    case Listings::Agreed: break;
    }
    std::string why;
    if (!WriteCopy(listing, &why)) {
        EndLoad(false, cannot + why + "." + unchanged);
        return;
    }
    m_nLoadStep = 1;
}

void CalTransfer::EndLoad(bool done, const std::string& failure) {
    m_strReceived.clear();
    m_strFirstListing.clear();
    m_nLoadStep = 8;
    if (done) {
        ++m_nLoadsDone;
        KeepCopyOfLoadDone();
        sink_->SetStatusText("Done.");
        return;
    }
    ++m_nLoadFailures;
    sink_->SetProgress(0);
    sink_->SetStatusText("");
    const std::string note = RestoreNote();
    sink_->ShowMessageBox(note.empty() ? failure : failure + "\n\n" + note, "Error", BoxIcon::Error);
}
