// Port map: how the Windows-style port names "COM1".."COM7" find a device on
// this platform. A directory of symbolic links com1..com7 names the devices;
// any name that is not of the form COMn is taken as a device path.
#pragma once

#include <string>
#include <vector>

// The port number of a name "COMn" (letters in any case, n >= 1), else 0.
int ComPortNumber(const std::string& name);

// The map directory: $DUXK_PORTS_DIR when set, otherwise
// ${XDG_CONFIG_HOME:-$HOME/.config}/duxkupdate/ports.
std::string PortMapDir();
// True when DUXK_PORTS_DIR is set: then only its links count.
bool PortMapIsExplicit();

// The device path that opening `name` uses. "COMn": the link in the map
// directory; without one, /dev/ttyS<n-1> (unless DUXK_PORTS_DIR is set, in
// which case the result is empty: the port does not exist). Any other name
// is returned unchanged.
std::string ResolvePortName(const std::string& name);

// Links COMn to device in the map directory (creating the directory, and
// replacing an existing link). On failure returns false with a message.
bool MapPort(const std::string& comName, const std::string& device, std::string* error = nullptr);
// Removes the link of COMn. Removing a link that does not exist succeeds.
bool UnmapPort(const std::string& comName, std::string* error = nullptr);

struct PortMapEntry {
    std::string name;    // "COM1"
    std::string device;  // what the name resolves to; empty when it does not exist
    bool mapped = false; // resolved through a link of the map directory
    bool present = false;// the resolved device exists
};
// COM1..COM7 with what each resolves to.
std::vector<PortMapEntry> ListPortMap();

// Serial devices present on the machine: /dev/serial/by-id/* links, then
// /dev/ttyUSB*, /dev/ttyACM*, sorted within each group.
std::vector<std::string> ListSerialDevices();
