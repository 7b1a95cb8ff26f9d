// Port map: how the Windows-style port names "COM1".."COM7" find a device on
// this platform. On Linux a directory of symbolic links com1..com7 names the
// devices; any name that is not of the form COMn is taken as a device path.
// On Windows COMn are the system's own ports and there is no map.
#pragma once

#include <string>
#include <vector>

// The highest port number a COMn name can stand for. Windows numbers its
// serial ports COM1 to COM256 (its port settings offer no higher number), and
// the port map gives the same names meaning here. A higher number names no
// port on either system.
constexpr int kMaxComPortNumber = 256;

// The port number of a name "COMn" (letters in any case, n from 1 to
// kMaxComPortNumber), else 0.
int ComPortNumber(const std::string& name);
// Whether the name is "COM" (any case) followed by digits only, whatever the
// number: such a name is a port name, never a file name, so that "COM0" and
// "COM2000000" name no port rather than a file of that name.
bool HasComPortForm(const std::string& name);

// False where COMn are the system's own ports (Windows): then the map
// directory is empty, MapPort and UnmapPort fail, ListPortMap shows which of
// COM1..COM7 exist and ListSerialDevices lists the system's COM ports.
bool PortMapSupported();
// What a port name may be, for help texts.
const char* PortNameHelp();

// The map directory: $DUXK_PORTS_DIR when set, otherwise
// ${XDG_CONFIG_HOME:-$HOME/.config}/duxkupdate/ports, HOME taken from the
// user's passwd entry when it is not set; empty when there is no home.
std::string PortMapDir();
// True when DUXK_PORTS_DIR is set: then only its links count.
bool PortMapIsExplicit();

// The device path that opening `name` uses. "COMn": the link in the map
// directory; without one, the n-th serial device found on the machine (as
// ListPortMap assigns them), unless DUXK_PORTS_DIR is set: then only its
// links count and the result is empty (the port does not exist). A name of
// the COMn form with a number outside 1..kMaxComPortNumber gives an empty
// result too. Any other name is returned unchanged. Found without a table
// of the ports below n: the map directory and the devices are looked at
// once each.
std::string ResolvePortName(const std::string& name);

// Links COMn to device in the map directory (creating the directory, and
// replacing an existing link). On failure returns false with a message.
bool MapPort(const std::string& comName, const std::string& device, std::string* error = nullptr);
// Removes the link of COMn. Removing a link that does not exist succeeds.
bool UnmapPort(const std::string& comName, std::string* error = nullptr);

// A serial device found on the machine.
struct SerialDevice {
    std::string path;  // what is opened: the /dev/serial/by-id link or the /dev node
    std::string kind;  // "by-id", "ttyUSB", "ttyACM" or "ttyS"
    std::string node;  // the /dev node behind it (the link's target for by-id)
};

// Serial devices present, in a stable order: USB adapters by their
// /dev/serial/by-id name, then ttyUSB and ttyACM nodes that have no by-id
// link, then ttyS ports with a UART behind them (the kernel creates ttyS
// nodes whether or not there is one; sysfs tells). Each device appears once.
// DUXK_DEV_ROOT, when set, is prefixed to /dev and /sys (tests use a fake
// tree there).
std::vector<SerialDevice> DiscoverSerialDevices();
// The paths of DiscoverSerialDevices().
std::vector<std::string> ListSerialDevices();

struct PortMapEntry {
    std::string name;      // "COM1"
    std::string device;    // what the name resolves to; empty when it does not exist
    bool mapped = false;   // resolved through a link of the map directory
    bool present = false;  // the resolved device exists
    std::string kind;      // for a device found (not mapped): its SerialDevice::kind
};
// COM1..COM7 with what each resolves to. Without DUXK_PORTS_DIR, a COMn
// without a link takes the next serial device found that no link names, in
// the order of DiscoverSerialDevices.
std::vector<PortMapEntry> ListPortMap();
