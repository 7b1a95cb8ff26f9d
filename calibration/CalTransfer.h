// The window-free core of the calibration dialog: saving the sensor's
// calibration listing into a file and loading a file back into the sensor,
// both advanced step by step by a 100 ms timer tick. The desktop dialog and
// the command-line tool drive it the same way and map its outputs (progress
// position, status line, message boxes) to their own presentation.
#pragma once

#include "platform/Files.h"
#include "session/FrameUi.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CMainFrameCore;

// Where the transfer's visible effects go. The defaults send status texts
// and message boxes to the window given here (none: they are dropped) and
// drop the progress position.
class CalTransferSink {
public:
    explicit CalTransferSink(IFrameUi* ui = nullptr) : ui_(ui) {}
    virtual ~CalTransferSink() = default;
    // New position of the progress bar, 0..100.
    virtual void SetProgress(int position);
    // Text for the main window's status line ("" empties it).
    virtual void SetStatusText(const std::string& text);
    // A modal message box with an OK button. A GUI may run a nested event
    // loop here that calls CalTransfer::Tick again; the state is consistent
    // for that before the box is requested.
    virtual void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon);

private:
    IFrameUi* ui_;
};

class CalTransfer {
public:
    enum Mode : int32_t { kModeNone = -1, kModeSave = 0, kModeLoad = 1 };

    // The frame gives the sensor's state and port. sink may be null: status
    // texts and boxes then go to the frame's window. Both must outlive the
    // transfer.
    explicit CalTransfer(CMainFrameCore& frame, CalTransferSink* sink = nullptr);
    ~CalTransfer();
    CalTransfer(const CalTransfer&) = delete;
    CalTransfer& operator=(const CalTransfer&) = delete;

    // cwd + "/" + FileNameFromSerial(serial) (the directory's own trailing
    // separator is kept, as it is, so a root directory gives a doubled
    // separator).
    static std::string DefaultFileName(const std::string& cwd, const std::string& serial);
    // serial + ".cal", with every character that could lead into another
    // directory or upset a terminal ('/', '\\', control characters, DEL, a
    // leading '.') replaced by '_'.
    static std::string FileNameFromSerial(const std::string& serial);

    // Limits of a calibration file to load.
    static constexpr size_t kMaxLoadFileBytes = 1 << 20;
    static constexpr size_t kMaxLoadLineBytes = 64 * 1024;
    enum class LoadFileState { Ok, CannotOpen, Directory, NotRegular, TooLarge, Changed, LineTooLong, NoRecords };
    // Reads a calibration file whole for a load: a regular file of at most
    // kMaxLoadFileBytes whose lines hold at most kMaxLoadLineBytes each and
    // at least one calibration record (a line beginning with '@').
    // `why` gets "<path>: <reason>" (naming the line at fault) otherwise.
    static LoadFileState ReadLoadFile(const std::string& path, std::string& content, std::string* why);
    // The same with the process's current directory and the serial number
    // the frame's search read.
    static std::string DefaultFileName(const CMainFrameCore& frame);

    // The file name a later write or read goes to (the browse button and the
    // save/load buttons take the edit's text over through this).
    void SetFileName(const std::string& fileName) { m_strFileName = fileName; }
    const std::string& FileName() const { return m_strFileName; }

    // The save button: checks the name, creates a temporary file beside the
    // target (the target itself is untouched until the listing is complete)
    // and requests the listing. A listing is written only once a second one
    // has arrived the same (a byte garbled on the line shows as a
    // difference); after kMaxListings different ones the save fails. False (with a message box) when nothing was
    // started; false without a message while no sensor has been found.
    bool OnSave(const std::string& fileName);
    // The load button: reads the file whole (ReadLoadFile) and starts the
    // load sequence. Before anything that changes the sensor, its current
    // calibration is saved as a save does (steps 11 and 12: two listings in
    // a row that agree) into a copy in the state directory (CopyDirectory);
    // when that fails the load does not start. Then steps 1 to 8. After the
    // final lock the sensor is asked for its listing (steps 9 and 10): the
    // load is done only when the sensor holds exactly the file's records.
    // Every failure after the copy says where it is and how to load it back.
    // False as for OnSave.
    bool OnLoad(const std::string& fileName);
    // Starts the load sequence with a file's contents read beforehand.
    bool StartLoad(const std::string& fileName, std::string content);

    // One 100 ms timer tick.
    void Tick();

    // The dialog is closed: the transfer stops at once, nothing more is
    // sent or written, the save's temporary file is removed (the target
    // keeps what it held).
    void Stop();
    // The temporary file of a save under way ("" when none).
    const std::string& SaveTemporaryPath() const { return m_saveFile.TemporaryPath(); }

    // The first step of a load: the copy of the sensor's calibration.
    static constexpr int32_t kCopyStep = 11;
    // Where the copies of the calibrations a load replaces are kept
    // (platform::KeptStateDir), and how many copies of each sensor's whose
    // load went through are kept there ("DUXKCal-<serial>-<time>.replaced.cal";
    // a copy whose load failed or was cut off, "DUXKCal-<serial>-<time>.cal",
    // is never removed by the tool).
    static std::string CopyDirectory(std::string* why = nullptr);
    static constexpr int kKeptReplacedCopies = 5;
    // The copy made before the current (or last) load; "" when none.
    const std::string& CopyPath() const { return m_strCopyPath; }
    // A load has sent something that may change the sensor's records and has
    // not ended yet (steps 1 to 7, 9 and 10).
    bool LoadUnderWay() const;
    // What to tell the user after a load that failed past its copy: where
    // the copy is and how to load it back ("" when no copy was made).
    std::string RestoreNote() const;

    // State, readable by dialogs and tests.
    int32_t Mode() const { return m_nMode; }
    int32_t LoadStep() const { return m_nLoadStep; }
    bool Unlocked() const { return m_bUnlocked != 0; }
    int32_t UnlockWait() const { return m_nUnlockWait; }
    const std::string& Received() const { return m_strReceived; }
    int32_t Total() const { return m_nTotal; }
    int32_t DoneCount() const { return m_nDone; }
    int32_t CompleteTicks() const { return m_nCompleteTicks; }
    bool Stopped() const { return m_bStopped; }
    // Outcome counters for front ends that end on a result.
    int SavesWritten() const { return m_nSavesWritten; }
    int SaveFailures() const { return m_nSaveFailures; }
    int LoadsDone() const { return m_nLoadsDone; }
    int LoadTimeouts() const { return m_nLoadTimeouts; }
    int LoadFailures() const { return m_nLoadFailures; }

    // Ticks the unlock answer may take, and how many consecutive complete
    // ticks a save lets pass before it writes (it writes on the next one).
    static constexpr int kUnlockTicks = 50;
    static constexpr int kCompleteTicks = 5;
    // Listings a save or a load's check asks for at most; ticks without a
    // byte after which the check asks again, and ticks it waits in all.
    static constexpr int kMaxListings = 3;
    static constexpr int kCheckAskTicks = 30;
    static constexpr int kCheckTicks = 300;

    // The calibration records of a text (a file or a listing): every line
    // that begins with '@' after leading blanks and tabs, without its
    // leading and trailing blanks, tabs and underscores.
    static std::vector<std::string> Records(const std::string& text);

private:
    void TickSave();
    void TickLoad();
    void TickLoadCheck(const std::string& tickBytes);
    void TickLoadCopy(const std::string& tickBytes);
    // One tick of a save's collection in m_strReceived: Agreed (with the
    // listing to write in `agreed`) once two listings in a row agree whole,
    // Differ after kMaxListings that did not; otherwise Collecting (and a
    // new listing requested when the last one differed from the one before).
    enum class Listings { Collecting, Agreed, Differ };
    Listings CollectListings(std::string& agreed);
    bool WriteCopy(const std::string& listing, std::string* why);
    void KeepCopyOfLoadDone();
    void EndLoad(bool done, const std::string& failure);
    void Drain(std::string& target);
    void WriteText(const char* text, size_t length);
    void WriteText(const std::string& text) { WriteText(text.data(), text.size()); }
    void EnsureChannelOpen();
    bool SensorFound() const;
    void CloseLoadFile();
    // Replaces m_strFileName with data through the save's temporary file
    // (begun anew when there is none for that name).
    bool WriteSaveFile(const std::string& data, std::string* why);

    CMainFrameCore& frame_;
    CalTransferSink defaultSink_;
    CalTransferSink* sink_;

    std::string m_strFileName;
    std::string m_strReceived;
    platform::PendingFile m_saveFile;
    std::string m_loadContent;
    std::vector<std::string> m_loadRecords;  // what the sensor must hold after the load
    std::string m_strFirstListing;           // a save's earlier listing, as received
    std::string m_strCopyDir;                // where the load's copy goes
    std::string m_strCopyPath;               // the load's copy, once written
    int32_t m_nListings = 0;
    int32_t m_nCheckTicks = 0;
    int32_t m_nCheckQuietTicks = 0;
    size_t m_loadPos = 0;
    int32_t m_nMode = kModeNone;
    int32_t m_nLoadStep = 0;
    uint8_t m_bUnlocked = 0;
    int32_t m_nUnlockWait = 0;
    int32_t m_nTotal = 0;
    int32_t m_nDone = 0;
    int32_t m_nCompleteTicks = 0;
    bool m_bStopped = false;
    int m_nSavesWritten = 0;
    int m_nSaveFailures = 0;
    int m_nLoadsDone = 0;
    int m_nLoadTimeouts = 0;
    int m_nLoadFailures = 0;
};
