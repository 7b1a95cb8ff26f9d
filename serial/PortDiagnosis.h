// Why a port could not be opened, in words a user can act on. The port
// classes report Windows codes (5 stands for both "in use" and "access
// denied"); this looks at the device again to tell the cases apart.
#pragma once

#include <cstdint>
#include <string>

// A one-line explanation for a failed open of portName (a COMn name or a
// device path) that ended with `code`; empty when there is nothing to add.
// Names the resolved device; for a port held elsewhere it says so (and
// which process holds it when that can be seen); for a device the user may
// not open it says which group grants access (dialout on Debian).
std::string DescribePortOpenFailure(const std::string& portName, uint32_t code);

// For a name of the COMn form whose number no port can have (COM0,
// COM2000000): what is wrong with it, naming it; otherwise empty.
std::string ComPortRangeProblem(const std::string& portName);

// A word as a POSIX shell reads it back unchanged (quoted when it holds
// anything but letters, digits and /._-+:@,=%).
std::string ShellQuote(const std::string& word);
