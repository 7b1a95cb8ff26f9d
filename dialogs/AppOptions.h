// The desktop application's command line, read the same way on every
// system: the port and rate switches in either style, trace files, help and
// version, and the document named at start. The port options are checked in
// one place for both front ends.
#pragma once

#include <string>
#include <vector>

// What is wrong with a port and rate given by the user, if anything.
enum class PortOptionProblem { None, EmptyPort, PortTooLong, BaudWithoutPort, UnknownBaud };

// portGiven/baudGiven: the option was present at all (its value may be
// empty). A rate needs a port and must be one the search uses; a port name
// is carried whole (at most kPortNameSize - 1 bytes) or not at all, since a
// cut path names another device.
PortOptionProblem CheckPortOptions(const std::string& port, bool portGiven, const std::string& baud, bool baudGiven);
// The rates the search tries, in its order.
const std::vector<std::string>& SearchRates();

struct AppOptions {
    std::string documentPath;
    std::vector<std::string> traceFiles;
    std::string port, baud;
    bool help = false, version = false;
    std::string error;  // a usage error; empty when the line is fine
};

// args: the program name first, then its arguments (UTF-8). Options:
// "--trace FILE" / "--trace=FILE" / "/trace:FILE" (any number), "--port NAME"
// / "/port:NAME", "--baud RATE" / "/baud:RATE" (the slash switches in any
// case), --help (-h, /?) and --version; every other word beginning with '-',
// or with '/' and naming nothing that exists, is a flag of its own
// (/noSNcheck, /fast) or ignored; the first other word names the document.
AppOptions ParseAppArguments(const std::vector<std::string>& args);

// The text of duxkupdate --help.
std::string AppUsageText();
