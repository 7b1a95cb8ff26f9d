#include "serial/PortMap.h"

#include "platform/Files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* EnvOrNull(const char* name)
{
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

bool IsLink(const std::string& path)
{
    struct stat st{};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool Exists(const std::string& path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0;
}

std::string LinkPath(int n)
{
    return PortMapDir() + "/com" + std::to_string(n);
}

std::vector<std::string> ListDir(const std::string& dir, const std::string& prefix)
{
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        if (n.compare(0, prefix.size(), prefix) == 0)
            out.push_back(dir + "/" + n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

int ComPortNumber(const std::string& name)
{
    if (name.size() < 4)
        return 0;
    if (std::toupper(static_cast<unsigned char>(name[0])) != 'C' ||
        std::toupper(static_cast<unsigned char>(name[1])) != 'O' ||
        std::toupper(static_cast<unsigned char>(name[2])) != 'M')
        return 0;
    if (name.size() > 12)
        return 0;
    int n = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return 0;
        n = n * 10 + (name[i] - '0');
    }
    return n >= 1 ? n : 0;
}

bool PortMapIsExplicit()
{
    return EnvOrNull("DUXK_PORTS_DIR") != nullptr;
}

std::string PortMapDir()
{
    if (const char* d = EnvOrNull("DUXK_PORTS_DIR"))
        return d;
    std::string base;
    if (const char* x = EnvOrNull("XDG_CONFIG_HOME"))
        base = x;
    else if (const char* h = EnvOrNull("HOME"))
        base = std::string(h) + "/.config";
    else
        base = "/tmp/.config";
    return base + "/duxkupdate/ports";
}

std::string ResolvePortName(const std::string& name)
{
    int n = ComPortNumber(name);
    if (n == 0)
        return name;
    std::string link = LinkPath(n);
    if (IsLink(link))
        return link;
    if (PortMapIsExplicit())
        return std::string();
    return "/dev/ttyS" + std::to_string(n - 1);
}

bool MapPort(const std::string& comName, const std::string& device, std::string* error)
{
    int n = ComPortNumber(comName);
    if (n == 0) {
        if (error)
            *error = "not a port name of the form COMn: " + comName;
        return false;
    }
    if (device.empty()) {
        if (error)
            *error = "no device given";
        return false;
    }
    if (!platform::MakeDirectories(PortMapDir(), 0755, error))
        return false;
    std::string link = LinkPath(n);
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        if (error)
            *error = "cannot replace " + link + ": " + std::strerror(errno);
        return false;
    }
    if (symlink(device.c_str(), link.c_str()) != 0) {
        if (error)
            *error = "cannot create " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool UnmapPort(const std::string& comName, std::string* error)
{
    int n = ComPortNumber(comName);
    if (n == 0) {
        if (error)
            *error = "not a port name of the form COMn: " + comName;
        return false;
    }
    std::string link = LinkPath(n);
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        if (error)
            *error = "cannot remove " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<PortMapEntry> ListPortMap()
{
    std::vector<PortMapEntry> out;
    for (int n = 1; n <= 7; ++n) {
        PortMapEntry e;
        e.name = "COM" + std::to_string(n);
        std::string link = LinkPath(n);
        if (IsLink(link)) {
            e.mapped = true;
            char buf[4096];
            ssize_t len = readlink(link.c_str(), buf, sizeof buf - 1);
            e.device = len > 0 ? std::string(buf, static_cast<size_t>(len)) : link;
            e.present = Exists(link);
        } else if (!PortMapIsExplicit()) {
            e.device = "/dev/ttyS" + std::to_string(n - 1);
            e.present = Exists(e.device);
        }
        out.push_back(e);
    }
    return out;
}

std::vector<std::string> ListSerialDevices()
{
    std::vector<std::string> out = ListDir("/dev/serial/by-id", "");
    for (const char* prefix : {"ttyUSB", "ttyACM"}) {
        std::vector<std::string> more = ListDir("/dev", prefix);
        out.insert(out.end(), more.begin(), more.end());
    }
    return out;
}
