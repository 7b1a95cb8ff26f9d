#include "serial/PortMap.h"
#include "serial/PortDiagnosis.h"

#include <cctype>

namespace {

bool StartsWithCom(const std::string& name) {
    return name.size() >= 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
           std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
           std::toupper(static_cast<unsigned char>(name[2])) == 'M';
}

}  // namespace

bool HasComPortForm(const std::string& name) {
    if (name.size() < 4 || !StartsWithCom(name)) return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

int ComPortNumber(const std::string& name) {
    if (!HasComPortForm(name)) return 0;
    // Digit by digit, stopping as soon as the number passes the last port
    // number: no name, however long, can overflow it.
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        n = n * 10 + (name[i] - '0');
        if (n > kMaxComPortNumber) return 0;
    }
    return n;
}

std::string ComPortRangeProblem(const std::string& portName) {
    if (!HasComPortForm(portName) || ComPortNumber(portName) != 0) return {};
    return portName + " is not a port name: COM ports are numbered from COM1 to COM" +
           std::to_string(kMaxComPortNumber);
}
