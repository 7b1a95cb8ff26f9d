// On Windows COMn are the system's own ports: names are opened as they are
// (COMn through the device namespace, so that COM10 and above work too) and
// there is no port map.

#include "serial/PortMap.h"

#include <windows.h>

#include <algorithm>

namespace {

const char kNoMap[] = "the port map is Linux-only: on Windows COM1, COM2, ... are the system's own ports";

// The system's COM port names (from the DOS device namespace), by number.
std::vector<int> SystemComPorts() {
    std::vector<char> names(64 * 1024);
    DWORD n = 0;
    for (;;) {
        n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0 || GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (16u << 20)) break;
        names.resize(names.size() * 4);
    }
    std::vector<int> ports;
    for (DWORD i = 0; i < n && names[i] != '\0';) {
        const std::string name(&names[i]);
        if (const int number = ComPortNumber(name)) ports.push_back(number);
        i += static_cast<DWORD>(name.size()) + 1;
    }
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

}  // namespace

bool PortMapSupported() { return false; }

const char* PortNameHelp() { return "COM1..COM7 or any other COM port of the system (COM12)"; }

bool PortMapIsExplicit() { return false; }

std::string PortMapDir() { return {}; }

std::string ResolvePortName(const std::string& name) {
    if (!HasComPortForm(name)) return name;
    const int n = ComPortNumber(name);
    if (n == 0) return {};  // COM0, or past the last port number
    return "\\\\.\\COM" + std::to_string(n);
}

bool MapPort(const std::string&, const std::string&, std::string* error) {
    if (error) *error = kNoMap;
    return false;
}

bool UnmapPort(const std::string&, std::string* error) {
    if (error) *error = kNoMap;
    return false;
}

std::vector<SerialDevice> DiscoverSerialDevices() {
    std::vector<SerialDevice> out;
    for (int n : SystemComPorts()) {
        SerialDevice d;
        d.path = "COM" + std::to_string(n);
        d.kind = "COM";
        d.node = ResolvePortName(d.path);
        out.push_back(d);
    }
    return out;
}

std::vector<PortMapEntry> ListPortMap() {
    const std::vector<int> present = SystemComPorts();
    std::vector<PortMapEntry> out;
    for (int n = 1; n <= 7; ++n) {
        PortMapEntry e;
        e.name = "COM" + std::to_string(n);
        e.device = ResolvePortName(e.name);
        e.present = std::find(present.begin(), present.end(), n) != present.end();
        e.kind = "COM";
        out.push_back(e);
    }
    return out;
}

std::vector<std::string> ListSerialDevices() {
    std::vector<std::string> out;
    for (const SerialDevice& d : DiscoverSerialDevices()) out.push_back(d.path);
    return out;
}
