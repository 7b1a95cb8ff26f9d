#include "serial/PortDiagnosis.h"

#include "serial/PortMap.h"

#include <windows.h>

std::string DescribePortOpenFailure(const std::string& portName, uint32_t code) {
    if (const std::string range = ComPortRangeProblem(portName); !range.empty()) return range;
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return portName + " does not exist on this system (see 'duxk ports' for the COM ports present)";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // Windows gives a port to one handle at a time and does not say whose.
        return portName + " is in use by another program; close it there and try again";
    case ERROR_INVALID_FUNCTION: return portName + " is not a serial port";
    default: return {};
    }
}
