// What the libraries need of the operating system besides the serial port:
// directories and paths, files, the console. One implementation per system
// (PlatformPosix.cpp, PlatformWin32.cpp); nothing above this header knows
// which one is built.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// The separator between a directory and a name ('/' or '\').
char PathSeparator();
// dir and name joined by the separator; none is added when dir already ends
// in one (or is empty).
std::string JoinPath(const std::string& dir, const std::string& name);

bool IsDirectory(const std::string& path);

// The current working directory; empty when it cannot be found out.
std::string CurrentDirectory();

// True when `stream` is a terminal that understands the cursor-movement
// escapes of a VT100 (a Windows console is switched to that mode).
bool IsAnsiTerminal(std::FILE* stream);

// Process-wide set-up of the command-line front end, before any port is
// opened (on Windows: waits and sleeps to the millisecond).
void PrepareProcess();

}  // namespace platform
