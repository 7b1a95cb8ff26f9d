// The toolkit-free dialog layer: the update dialog's tick and Execute rule,
// its refusals and its worker, the job it fills, the file checks, the
// read-back texts, the menu rule and the port options.

#include "dialogs/AppOptions.h"
#include "dialogs/CalDialog.h"
#include "dialogs/Document.h"
#include "dialogs/FileChecks.h"
#include "dialogs/FrameController.h"
#include "dialogs/ReadBackDialog.h"
#include "dialogs/UpdateDialog.h"
#include "dialogs/Worker.h"
#include "serial/DUXKSerial.h"
#include "tests/session/TestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <future>

using namespace testsupport;

namespace {

// Records what the core asks of its window.
class FakeUpdateView : public IUpdateView {
public:
    void ShowBox(const std::string& text, const std::string& caption, BoxIcon icon) override {
        boxes.push_back(caption + ": " + text);
        icons.push_back(icon);
    }
    bool AskFile(const FileQuestion& q, std::string& path) override {
        asked.push_back(q);
        if (answer.empty()) return false;
        path = answer;
        return true;
    }
    std::string FileText() override { return file; }
    void SetFileText(const std::string& text) override { file = text; }
    void SetBars(int d, int e, int p) override { bars = {d, e, p}; }
    void EnableExecute(bool enable) override { execute = enable; }
    void PostWorkerEnded() override {
        std::lock_guard<std::mutex> lock(m);
        ended = true;
        cv.notify_all();
    }
    bool WaitEnded(int ms) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended; });
    }

    std::vector<std::string> boxes;
    std::vector<BoxIcon> icons;
    std::vector<FileQuestion> asked;
    std::string file, answer;
    std::vector<int> bars{-1, -1, -1};
    bool execute = false;
    std::mutex m;
    std::condition_variable cv;
    bool ended = false;
};

class UpdateDialogTest : public ::testing::Test {
protected:
    void SetUp() override { DownloadProgress = EraseProgress = ProgramProgress = 0.0; }
    void TearDown() override {
        DownloadProgress = EraseProgress = ProgramProgress = 0.0;
        if (GetSensorChannel().IsOpen()) GetSensorChannel().Close();
    }
    std::string WriteFile(const std::string& name, size_t size) {
        const std::string path = env.temp + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
        return path;
    }
    TempEnv env;
    RecordingUi ui;
    CMainFrameCore frame{ui};
    FakeUpdateView view;
};

TEST_F(UpdateDialogTest, ExecuteIsEnabledOnlyWithASensorAndWhileTheWorkerWaitsAndTheBarsTruncate) {
    UpdateDialog dlg(frame, view);
    dlg.OnInitDialog();
    struct Tick {
        uint8_t found;
        double download, erase, program;
        bool executeAfter;  // the rule looks at the previous tick's program value
        std::vector<int> bars;
    };
    const Tick ticks[] = {
        {0, 0, 0, 0, false, {0, 0, 0}},
        {1, 4.9, 0, 0, true, {4, 0, 0}},
        {1, 100.01, 0.05, 0, true, {100, 0, 0}},      // erase not yet started: no pace of its own
        {1, 100.01, 1.0, 99.95, true, {100, 2, 99}},  // 1 + 5/3 shown
        {1, 100.01, 100.01, 100.01, false, {100, 100, 100}},
        {1, -3, NAN, 0, false, {0, 0, 0}},  // the previous tick's program value was 100.01
        {1, 0, 0, 0, true, {0, 0, 0}},
    };
    for (const Tick& t : ticks) {
        frame.m_bSensorFound = t.found;
        DownloadProgress = t.download;
        EraseProgress = t.erase;
        ProgramProgress = t.program;
        dlg.OnTimer();
        EXPECT_EQ(view.execute, t.executeAfter) << t.download << " " << t.program;
        EXPECT_EQ(view.bars, t.bars) << t.download << " " << t.erase << " " << t.program;
    }
    // The erase bar's own pace is written back while the erase runs.
    EraseProgress = 1.0;
    dlg.OnTimer();
    EXPECT_NEAR(EraseProgress.load(), 1.0 + 5.0 / 3.0, 1e-9);

    // Closed without an update: the worker ends at once, Execute stays off.
    EXPECT_FALSE(dlg.Ran());
    dlg.BeginClose();
    ASSERT_TRUE(view.WaitEnded(5000));
    EXPECT_TRUE(dlg.OnWorkerEnded());
    dlg.FinishClose();
    EXPECT_GE(dlg.Job().counter.load(), 2);
    dlg.OnTimer();
    EXPECT_FALSE(view.execute);
    EXPECT_FALSE(dlg.OnExecute()) << "no worker is left to serve a start";
}

TEST_F(UpdateDialogTest, UnusableFilesAreRefusedInAFileErrorBoxAndNothingStarts) {
    frame.m_bSensorFound = 1;
    const std::string empty = WriteFile("empty.bin", 0), big = WriteFile("big.bin", 0x1C001);
    const std::string missing = env.temp + "/none.bin";
    const std::pair<std::string, std::string> cases[] = {
        {"", "File Error: Please enter the name of an existing file"},
        {missing, "File Error: Please enter the name of an existing file\n" + missing + ": no such file or directory"},
        {empty, "File Error: " + empty + ": the file is empty"},
        {env.temp, "File Error: " + env.temp + ": is a directory"},
        {big, "File Error: " + big + ": too large: 114689 bytes, the flash area holds at most 114688 bytes"},
        {std::string(kJobPathSize, 'a'),
         "File Error: The file name is too long (at most " + std::to_string(kJobPathSize - 1) + " bytes)"},
    };
    UpdateDialog dlg(frame, view);
    dlg.OnInitDialog();
    for (const auto& [path, box] : cases) {
        view.file = path;
        EXPECT_FALSE(dlg.OnExecute()) << path;
        ASSERT_FALSE(view.boxes.empty());
        EXPECT_EQ(view.boxes.back(), box);
        EXPECT_EQ(view.icons.back(), BoxIcon::Error);
        EXPECT_FALSE(dlg.UpdateRunning());
    }
    EXPECT_EQ(view.boxes.size(), std::size(cases));
    EXPECT_EQ(dlg.Job().counter.load(), 0) << "the worker still waits for a start";
}

TEST_F(UpdateDialogTest, ExecuteFillsTheJobAndTheWorkerRunsTheUpdateOnce) {
    frame.m_bSensorFound = 1;
    frame.m_strCmdLine = "duxkupdate /FAST";
    std::strcpy(frame.m_search.szPort, "COM6");  // not in the port map: the update's open fails
    std::strcpy(frame.m_search.szBaud, "9600");
    view.file = WriteFile("fw.bin", 512);
    UpdateDialog dlg(frame, view);
    dlg.OnInitDialog();
    ASSERT_TRUE(dlg.OnExecute());
    EXPECT_FALSE(view.execute);
    ASSERT_TRUE(view.WaitEnded(10000)) << "the worker wakes for the start";
    EXPECT_FALSE(dlg.OnWorkerEnded()) << "no close waits for it";
    const UpdateJob& job = dlg.Job();
    EXPECT_STREQ(job.firmwarePath, view.file.c_str());
    EXPECT_STREQ(job.portName, "COM6");
    EXPECT_STREQ(job.baudText, "9600");
    EXPECT_STREQ(job.transferPrgName, "dux_tra.bin");
    EXPECT_EQ(job.firstAddressWord, kLoadAddressWord);
    EXPECT_TRUE(job.options.fast);
    EXPECT_FALSE(job.options.resume);
    EXPECT_EQ(job.options.frame, &frame);
    EXPECT_TRUE(dlg.Ran());
    EXPECT_FALSE(dlg.Succeeded());
    EXPECT_EQ(dlg.Outcome().stage, 2) << "the port";
    EXPECT_TRUE(dlg.CanCancel());
    EXPECT_TRUE(dlg.BeginClose()) << "the worker has ended: the window may go at once";
}

TEST(FillUpdateJobTest, ChoicesAndAnInterruptedUpdate) {
    RecordingUi ui;
    CMainFrameCore frame(ui);
    std::strcpy(frame.m_search.szPort, "/dev/ttyUSB0");
    std::strcpy(frame.m_search.szBaud, "4800");
    frame.m_bInUpdateProgram = 1;
    UpdateOptions choices;
    choices.verify = true;
    choices.backupPath = "before.bin";
    choices.resume = false;
    auto job = std::make_unique<UpdateJob>();
    FillUpdateJob(*job, frame, "fw.bin", choices);
    EXPECT_STREQ(job->portName, "/dev/ttyUSB0");
    EXPECT_STREQ(job->baudText, "4800");
    EXPECT_EQ(job->secondAddressWord, kLoadAddressWord);
    EXPECT_TRUE(job->options.verify);
    EXPECT_FALSE(job->options.fast);
    EXPECT_EQ(job->options.backupPath, "before.bin");
    EXPECT_TRUE(job->options.resume) << "taken from the search, not from the choices";
}

TEST(FileChecksTest, OutputFiles) {
    TempEnv env;
    const std::string existing = env.temp + "/old.bin", fresh = env.temp + "/new.bin";
    std::ofstream(existing) << "old";
    const std::string dir = env.temp + "/sub";
    std::filesystem::create_directory(dir);
    struct Case {
        std::string path;
        bool replace;
        OutputFileState state;
        std::string why;
    };
    const Case cases[] = {
        {fresh, false, OutputFileState::Ok, ""},
        {existing, false, OutputFileState::Exists, existing + ": the file exists"},
        {existing, true, OutputFileState::Ok, ""},
        {dir, true, OutputFileState::Unusable, dir + ": "},
        {env.temp + "/missing/x.bin", false, OutputFileState::Unusable, env.temp + "/missing/x.bin: "},
        {"", true, OutputFileState::Unusable, "no backup file name given"},
    };
    for (const Case& c : cases) {
        std::string why = "?";
        EXPECT_EQ(CheckOutputFile(c.path, c.replace, &why), c.state) << c.path;
        EXPECT_EQ(why.substr(0, c.why.size()), c.why) << why;
    }
    EXPECT_FALSE(std::filesystem::exists(fresh)) << "nothing is created";
    std::ifstream in(existing);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "old") << "nothing is changed";
}

TEST(ReadBackTest, ResultTextsAreThoseOfTheCommandLine) {
    ReadBackResult r;
    r.file = "k52.bin";
    const std::pair<ReadBackOutcome, std::string> cases[] = {
        {ReadBackOutcome::Saved, "Flash saved to k52.bin (131072 bytes, 0x80000-0x9FFFF)"},
        {ReadBackOutcome::Matches, "Flash matches k52.bin (2000 bytes from 0x80000)"},
        {ReadBackOutcome::Differs, "Flash differs from k52.bin: 3 of 2000 bytes differ, the first at 0x80010"},
        {ReadBackOutcome::WriteFailed, "cannot write the backup: k52.bin: disk full"},
        {ReadBackOutcome::ReadFailed, ""},
        {ReadBackOutcome::NotRun, ""},
    };
    r.bytes = 2000;
    r.difference = FlashDifference{0x10, 3};
    r.writeError = "disk full";
    for (const auto& [outcome, text] : cases) {
        r.outcome = outcome;
        EXPECT_EQ(ReadBackMessage(r), text);
    }
}

TEST(FrameControllerTest, ReadBackCommandsFollowSpecificationAndRefusalsBeforeTheDialog) {
    const int six[] = {32771, 32774, 32773, 32772, 32775, 32776};
    EXPECT_EQ(MenuCommandsToSet(six, 6), (std::vector<int>{32771, 32774, 32773, 32772, 32775, 32776, 32777, 32778}));
    const int update = ID_SENSOR_UPDATE;
    EXPECT_EQ(MenuCommandsToSet(&update, 1), std::vector<int>{ID_SENSOR_UPDATE});
    for (int id : {ID_SENSOR_BACKUP, ID_SENSOR_VERIFY}) {
        ASSERT_NE(FindSensorCommand(id), nullptr);
        EXPECT_EQ(FindSensorCommand(id)->dialog, CommandDialog::ReadBack);
    }
    EXPECT_EQ(FindSensorCommand(ID_APP_ABOUT), nullptr);

    TempEnv env;
    RecordingUi ui;
    CMainFrameCore core(ui);
    struct Window : IMainWindow {
        bool CallOnWindowThread(const std::function<void()>& fn) override {
            fn();
            return true;
        }
        void RefreshView() override {}
    } window;
    FrameController controller(core, window);
    EXPECT_FALSE(controller.BeforeSensorCommand(ID_SENSOR_BACKUP));
    core.m_bSensorFound = 1;
    core.m_bInUpdateProgram = 1;
    EXPECT_FALSE(controller.BeforeSensorCommand(ID_SENSOR_VERIFY));
    EXPECT_TRUE(controller.BeforeSensorCommand(ID_SENSOR_UPDATE));
    EXPECT_EQ(ui.Status(), (std::vector<std::string>{"No Sensor!",
                                                     "The sensor is still in its update program: finish the "
                                                     "interrupted update with Firmware Update"}));
}

struct NoWindow : IMainWindow {
    bool CallOnWindowThread(const std::function<void()>& fn) override {
        fn();
        return true;
    }
    void RefreshView() override {}
};

TEST(FrameControllerTest, ViewTextFollowsTheConnection) {
    RecordingUi ui;
    CMainFrameCore core(ui);
    NoWindow window;
    FrameController controller(core, window);
    SearchState& s = core.m_search;
    struct Case {
        const char *port, *baud, *identity, *serial, *onlyPort;
        bool waiting, accepted;
        std::string text;
    };
    const Case cases[] = {
        {"????", "", "", "", "", true, false, "Searching COM1..COM7 \xE2\x80\xA6"},
        {"COM3", "9600", "", "", "", false, false, "Searching COM1..COM7 \xE2\x80\xA6"},
        {"COM3", "9600", "", "", "", true, false, "Searching COM1..COM7 \xE2\x80\xA6\n\nNow trying COM3 at 9600 baud"},
        {"/dev/ttyUSB0", "4800", "", "", "/dev/ttyUSB0", true, false,
         "Searching /dev/ttyUSB0 \xE2\x80\xA6\n\nNow trying /dev/ttyUSB0 at 4800 baud"},
        {"COM1", "38400", " DUX-K52 V5.66 ", "K52A1", "", false, true,
         "Sensor found\n\nDUX-K52\nFirmware V5.66\nSerial number K52A1\nCOM1, 38400 baud"},
        {"COM1", "38400", "", "", "", false, true,
         "Sensor found\n\n(no identity)\nFirmware unknown\nNo serial number reported\nCOM1, 38400 baud"},
    };
    for (const Case& c : cases) {
        std::strcpy(s.szPort, c.port);
        std::strcpy(s.szBaud, c.baud);
        std::strcpy(s.szIdentity, c.identity);
        std::strcpy(s.szSerial, c.serial);
        std::strcpy(s.szOnlyPort, c.onlyPort);
        EXPECT_EQ(controller.ViewText(c.waiting, c.accepted), c.text);
    }
    core.m_bInUpdateProgram = 1;
    EXPECT_EQ(controller.ViewText(false, true),
              "Sensor found in its update program\n\nAn update was interrupted.\nSensor > Firmware Update finishes "
              "it.\n\nCOM1, 38400 baud");
}

TEST(DocumentTest, OpensReadsNothingSavesEmptyAndCarriesTheTitle) {
    TempEnv env;
    DocumentCore doc;
    EXPECT_EQ(doc.Caption(), "Unbenannt - DUXKUpdate");
    const std::string path = env.temp + "/doc.dux";
    EXPECT_FALSE(doc.OnOpenDocument(path)) << "missing";
    EXPECT_FALSE(doc.OnOpenDocument(env.temp)) << "a directory";
    std::ofstream(path) << "content";
    ASSERT_TRUE(doc.OnOpenDocument(path));
    EXPECT_EQ(doc.Caption(), "doc.dux - DUXKUpdate");
    EXPECT_EQ(doc.PathName(), path);
    ASSERT_TRUE(doc.OnSaveDocument(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_FALSE(doc.OnSaveDocument(env.temp + "/none/x.dux"));
    EXPECT_EQ(doc.Title(), "doc.dux") << "unchanged by a failed save";
    // Saved over a link to a calibration file: the link is replaced, the
    // file it led to keeps its content.
    const std::string cal = env.temp + "/k52.cal", link = env.temp + "/link.dux";
    std::ofstream(cal) << "CAL:SER K52A01234";
    std::filesystem::create_symlink(cal, link);
    ASSERT_TRUE(doc.OnSaveDocument(link));
    EXPECT_EQ(std::filesystem::file_size(cal), 17u);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    doc.OnNewDocument();
    EXPECT_EQ(doc.Caption(), "Unbenannt - DUXKUpdate");
}

class FakeReadBackView : public IReadBackView {
public:
    void ShowBox(const std::string& text, const std::string& caption, BoxIcon) override {
        boxes.push_back(caption + ": " + text);
    }
    bool AskFile(const FileQuestion& q, std::string& path) override {
        asked.push_back(q);
        path = answer;
        return !answer.empty();
    }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        boxes.push_back(caption + "? " + text);
        return yes;
    }
    std::string FileText() override { return file; }
    void SetFileText(const std::string& text) override { file = text; }
    void SetBars(int, int) override {}
    void EnableExecute(bool enable) override { execute = enable; }
    void SetStatusText(const std::string&) override {}
    void PostWorkerEnded() override {}
    std::vector<std::string> boxes;
    std::vector<FileQuestion> asked;
    std::string file, answer;
    bool yes = false, execute = false;
};

TEST(ReadBackTest, RefusalsBeforeTheReadAndTheSaveDialogsConfirmation) {
    TempEnv env;
    RecordingUi ui;
    CMainFrameCore frame(ui);
    frame.m_bSensorFound = 1;
    const std::string existing = env.temp + "/old.bin", empty = env.temp + "/empty.bin";
    std::ofstream(existing) << "old";
    std::ofstream(empty).close();

    FakeReadBackView view;
    ReadBackDialog backup(frame, view, ReadBackKind::Backup);
    backup.OnInitDialog();
    backup.OnTimer();
    EXPECT_TRUE(view.execute);
    view.file = existing;
    EXPECT_FALSE(backup.OnExecute()) << "answered No";
    ASSERT_EQ(view.boxes.size(), 1u);
    EXPECT_EQ(view.boxes[0], "Backup Flash? " + existing + " already exists.\nDo you want to replace it?");
    // Chosen in the save dialog, which asked already: no second question.
    view.answer = existing;
    backup.OnBrowse();
    ASSERT_EQ(view.asked.size(), 1u);
    EXPECT_TRUE(view.asked[0].save);
    EXPECT_EQ(view.asked[0].defaultExtension, "bin");
    EXPECT_EQ(view.asked[0].filters[0].first, "Firmware Files (*.bin)");
    EXPECT_EQ(view.file, existing);

    FakeReadBackView verifyView;
    ReadBackDialog verify(frame, verifyView, ReadBackKind::Verify);
    verifyView.file = empty;
    EXPECT_FALSE(verify.OnExecute());
    EXPECT_EQ(verifyView.boxes, std::vector<std::string>{"File Error: " + empty + ": the file is empty"});
    EXPECT_FALSE(verify.Running());
    verifyView.answer = existing;
    verify.OnBrowse();
    EXPECT_FALSE(verifyView.asked.back().save) << "an open dialog for the firmware";
}

TEST(AppOptionsTest, PortOptionsAreCheckedInOnePlace) {
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const Case cases[] = {
        {{"--port", "COM3", "--baud", "19200"}, ""},
        {{"/PORT:COM3", "/baud:4800", "doc.dux"}, ""},
        {{"--baud", "9600"}, "--baud needs --port"},
        {{"--port", "COM1", "/baud:1234"}, "--baud 1234: not one of 38400, 19200, 9600, 4800"},
        {{"/port:"}, "--port needs a value"},
        {{"--port"}, "--port needs a value"},
        {{"--port", std::string(kPortNameSize, 'p')},
         "--port: the name is too long (at most " + std::to_string(kPortNameSize - 1) + " bytes)"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"duxkupdate"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(ParseAppArguments(args).error, c.error) << c.args[0];
    }
    EXPECT_EQ(CheckPortOptions("COM1", true, "", false), PortOptionProblem::None);
    EXPECT_EQ(CheckPortOptions("", true, "", false), PortOptionProblem::EmptyPort);
}

TEST(WorkerTest, TicksUntilTheWorkEndsAndWakesAtItsEnd) {
    std::atomic<int> ticks{0};
    std::promise<void> go;
    auto started = std::chrono::steady_clock::now();
    RunWithTicks([&] { go.get_future().wait(); },
                 [&] {
                     if (++ticks == 3) go.set_value();
                 },
                 20);
    EXPECT_GE(ticks.load(), 3) << "a tick at once, then one a period until the end";
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));

    // Ticks without a worker: each after a period, until one says Stop.
    int driven = 0;
    RunTicks([&] { return ++driven == 1 ? TickStep::Restart : driven < 3 ? TickStep::Next : TickStep::Stop; }, 5);
    EXPECT_EQ(driven, 3);

    Worker worker;
    std::atomic<bool> endSeen{false};
    EXPECT_TRUE(worker.WaitEnd(0)) << "never started";
    ASSERT_TRUE(worker.Start([] {}, [&] { endSeen = true; }));
    EXPECT_FALSE(worker.Start([] {})) << "one start per worker";
    EXPECT_TRUE(worker.WaitEnd(10000));
    worker.Join();
    EXPECT_TRUE(endSeen.load());
}

}  // namespace
