#include "dialogs/AppOptions.h"

#include "serial/PortDiagnosis.h"
#include "serial/PortMap.h"
#include "session/MainFrame.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// The value of an option given as "--name VALUE", "--name=VALUE" or
// "/name:VALUE". True when args[i] is that option; i then points at its last
// word. An empty or missing value is a usage error.
bool TakeValue(const std::vector<std::string>& args, size_t& i, const std::string& name, std::string* value,
               std::string* error) {
    const std::string& arg = args[i];
    const std::string dashed = "--" + name;
    const std::string slashed = "/" + name + ":";
    if (arg == dashed) {
        if (i + 1 >= args.size()) {
            if (error->empty()) *error = dashed + " needs a value";
            return true;
        }
        *value = args[++i];
    } else if (arg.rfind(dashed + "=", 0) == 0) {
        *value = arg.substr(dashed.size() + 1);
    } else if (StartsWithNoCase(arg, slashed)) {
        *value = arg.substr(slashed.size());
    } else {
        return false;
    }
    if (value->empty() && error->empty()) *error = dashed + " needs a value";
    return true;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    // UTF-8 inside: the name is read as UTF-8 on every system.
    return std::filesystem::exists(std::filesystem::path(std::u8string(path.begin(), path.end())), ec);
}

}  // namespace

const std::vector<std::string>& SearchRates() {
    static const std::vector<std::string> rates{"38400", "19200", "9600", "4800"};
    return rates;
}

PortOptionProblem CheckPortOptions(const std::string& port, bool portGiven, const std::string& baud, bool baudGiven) {
    if (portGiven && port.empty()) return PortOptionProblem::EmptyPort;
    if (port.size() >= kPortNameSize) return PortOptionProblem::PortTooLong;
    if (baudGiven) {
        if (!portGiven) return PortOptionProblem::BaudWithoutPort;
        const auto& rates = SearchRates();
        if (std::find(rates.begin(), rates.end(), baud) == rates.end()) return PortOptionProblem::UnknownBaud;
    }
    return PortOptionProblem::None;
}

AppOptions ParseAppArguments(const std::vector<std::string>& args) {
    AppOptions cmd;
    bool portGiven = false, baudGiven = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string trace;
        if (TakeValue(args, i, "trace", &trace, &cmd.error)) {
            if (!trace.empty()) cmd.traceFiles.push_back(trace);
        } else if (TakeValue(args, i, "port", &cmd.port, &cmd.error)) {
            portGiven = true;
        } else if (TakeValue(args, i, "baud", &cmd.baud, &cmd.error)) {
            baudGiven = true;
        } else if (arg == "--help" || arg == "-h" || arg == "/?") {
            cmd.help = true;
        } else if (arg == "--version") {
            cmd.version = true;
        } else if (arg.rfind('-', 0) == 0 ||
                   (arg.rfind('/', 0) == 0 && arg.find('/', 1) == std::string::npos && !Exists(arg))) {
            // A flag; those the application does not know are ignored. A word
            // with '/' in it past the first character is an absolute path here.
            continue;
        } else if (cmd.documentPath.empty()) {
            cmd.documentPath = arg;
        }
    }
    // An empty value has been reported above already.
    if (!cmd.error.empty()) return cmd;
    switch (CheckPortOptions(cmd.port, portGiven, cmd.baud, baudGiven)) {
    case PortOptionProblem::None:
    case PortOptionProblem::EmptyPort: break;
    case PortOptionProblem::PortTooLong:
        cmd.error = "--port: the name is too long (at most " + std::to_string(kPortNameSize - 1) + " bytes)";
        break;
    case PortOptionProblem::BaudWithoutPort: cmd.error = "--baud needs --port"; break;
    case PortOptionProblem::UnknownBaud: {
        std::string list;
        for (const std::string& rate : SearchRates()) list += (list.empty() ? "" : ", ") + rate;
        cmd.error = "--baud " + cmd.baud + ": not one of " + list;
        break;
    }
    }
    // A COMn past the last port number names no port: said now, instead of a
    // search that can only fail.
    if (cmd.error.empty() && !cmd.port.empty()) {
        const std::string range = ComPortRangeProblem(cmd.port);
        if (!range.empty()) cmd.error = "--port: " + range;
    }
    return cmd;
}

std::string AppUsageText() {
    const bool map = PortMapSupported();
    std::string text =
        "Usage: duxkupdate [OPTIONS] [DOCUMENT]\n"
        "\n"
        "Service application for DUX-Kxx sensors on a serial line: finds the sensor, shows\n"
        "its specification, settings, self-test and calibration listings, saves and loads\n"
        "its calibration data and updates its firmware.\n"
        "\n"
        "Without options the program searches the port it last found a sensor on, then\n"
        "COM1..COM7, each at 38400, 19200, 9600 and 4800 baud, until a sensor answers.\n"
        "\n"
        "Options (either form):\n";
    text += map ? "  --port NAME, /port:NAME   search only this port (COM1..COM7 or a device path\n"
                  "                            such as /dev/ttyUSB0), at its four rates\n"
                : "  --port NAME, /port:NAME   search only this port (COM1..COM7 or any other COM\n"
                  "                            port of the system, such as COM12), at its four rates\n";
    text +=
        "  --baud RATE, /baud:RATE   with --port: open the port at RATE directly, without\n"
        "                            a search (38400, 19200, 9600 or 4800)\n"
        "  /noSNcheck                accept a sensor that reports no serial number\n"
        "  /fast                     update firmware in fast mode: the same bytes on the\n"
        "                            line, without the host's own idle pauses\n"
        "  --trace FILE              append a timestamped trace of the line to FILE\n"
        "                            (also DUXK_TRACE=FILE)\n"
        "  --help                    show this text and exit\n"
        "  --version                 show the version and exit\n"
        "\n"
        "DOCUMENT is opened as the (empty) document at start.\n"
        "\n";
    text += map ? "Ports: COM1..COM7 are the serial devices present (USB adapters first) unless a\n"
                  "port map says otherwise; 'duxk ports' shows and edits it.\n"
                : "Ports: COM1..COM7 are the system's own COM ports; 'duxk ports' lists those present.\n";
    text +=
        "\n"
        "Examples:\n"
        "  duxkupdate\n";
    text += map ? "  duxkupdate --port /dev/ttyUSB0\n" : "  duxkupdate /port:COM12\n";
    text += "  duxkupdate /port:COM3 /baud:19200\n";
    return text;
}
