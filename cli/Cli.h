// Shared pieces of the duxk command-line tool: global options, the console
// front end of the main frame, and self-registration of sub-commands.
#pragma once

#include "session/FrameUi.h"
#include "session/MainFrame.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace CLI {
class App;
}

// Exit status of duxk.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitNoSensor = 3;

struct CliOptions {
    std::string port;        // --port
    std::string baud;        // --baud
    bool noSnCheck = false;  // --no-sn-check
    std::string trace;       // --trace
    double timeout = 120;    // --timeout, seconds
    bool timeoutGiven = false;
    bool json = false;     // --json
    bool quiet = false;    // -q/--quiet: only results and errors
    bool verbose = false;  // -v/--verbose: the steps of the line work too
};

// The console front end: status texts go to standard error as lines (none
// with --quiet), message boxes as "caption: text" to standard output
// (information: the result of a success) or standard error (errors, and
// every box with --json, whose object owns standard output); the last box is
// remembered so that commands can derive their exit status from it.
class ConsoleUi : public IFrameUi {
public:
    void SetStatusText(const std::string& text) override;
    bool EnableMenuCommands(const int* ids, int count, bool enable) override;
    void ShowMessageBox(const std::string& text, const std::string& caption, BoxIcon icon) override;

    bool json = false;   // boxes of information go to standard error too
    bool quiet = false;  // status texts are not shown
    std::string lastBoxText, lastBoxCaption;
    BoxIcon lastBoxIcon = BoxIcon::None;
    std::vector<std::string> boxes;  // "caption: text" of every box shown
};

struct CliContext {
    CliOptions opts;
    ConsoleUi ui;
    CMainFrameCore* frame = nullptr;
    std::string command;  // "find", "cal save", ...: the sub-command's full name
    double startSeconds = 0;
    // Why ConnectSensor did not connect, in words for the --json message.
    std::string connectFailure = "No sensor found";
};

// Applies the global options (--json output routing, --no-sn-check, --trace
// and DUXK_TRACE) once; main runs it after parsing, before the command.
void PrepareCliContext(CliContext& ctx);

// Finds the sensor as the options ask (search, one port's four rates, or a
// direct open with --port and --baud) and leaves the channel open on the
// main frame's port and rate. Returns kExitOk, or kExitNoSensor after the
// time-out (a message has been printed). A sensor still in the update
// program of an interrupted update is looked for first when an update left
// its marker; found there, only `update` goes on (the frame's
// m_bInUpdateProgram is set), every other command gets kExitFailed.
int ConnectSensor(CliContext& ctx);

// Text that came from the sensor or names a file, as it may be written to
// `out`: on a terminal, control characters, DEL, C1 controls and bytes that
// are no UTF-8 become \xHH escapes (line feeds, tabs and CR LF pairs stay
// with keepLines); written elsewhere (a file, a pipe) it is unchanged.
std::string TerminalText(FILE* out, const std::string& text, bool keepLines = true);
// The escaping itself, whatever the stream.
std::string EscapeControls(const std::string& text, bool keepLines);

// Prints the --json object: command, port, baud, serial, result code, message, seconds.
void PrintJsonResult(CliContext& ctx, int resultCode, const std::string& message);

// Progress of a command's phases on standard error: bars redrawn in place on
// a terminal, a line per 10 % step otherwise, nothing with --quiet. Values
// above 100 mark a finished phase. BeforeBox/AfterBox bracket a message box:
// the display is brought up to date once more and then stays put.
class ProgressView {
public:
    ProgressView(const CliContext& ctx, std::vector<std::string> phases);
    void Show(const std::vector<double>& values);
    void BeforeBox(const std::vector<double>& values);
    void AfterBox();
    void End();
    // A message on standard error between two drawings: the bars start
    // afresh below it.
    void Note(const std::string& text);

private:
    void DrawBars(const std::vector<int>& percent);
    FILE* out_;
    bool terminal_, hidden_;
    std::vector<std::string> phases_;
    std::vector<int> steps_;
    bool drawn_ = false;
    bool closed_ = false;
    std::mutex mutex_;
};

// The backup file named on the command line, checked before the search
// (CheckBackupFile): kExitOk, or the usage failure printed (an existing file
// without force, the firmware file itself, an unusable name).
int CheckBackupArgument(CliContext& ctx, const std::string& path, const std::string& firmware, bool force);
// An error of the command line's own: "duxk: text" on standard error, the
// JSON object with exit status 2; returns 2.
int UsageFailure(CliContext& ctx, const std::string& text);

// A sub-command registers itself at static initialisation:
//   static CliCommand reg{"update", [](CLI::App& app, CliContext& ctx) { ... }};
// The setup function adds the sub-command to app and sets its callback,
// which stores the exit status in ctx through SetExitCode.
struct CliCommand {
    using Setup = std::function<void(CLI::App&, CliContext&)>;
    CliCommand(const char* name, Setup setup);
    static std::vector<std::pair<std::string, Setup>>& Registry();
};
void SetExitCode(int code);
// The exit status stored by the last SetExitCode (kExitOk when none).
int CliExitCode();
// Monotonic seconds, the clock of CliContext::startSeconds.
double CliNowSeconds();
