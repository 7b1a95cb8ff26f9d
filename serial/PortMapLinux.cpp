#include "serial/PortMap.h"

#include "platform/Files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <iterator>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* EnvOrNull(const char* name) {
    const char* v = std::getenv(name);
    return (v && *v) ? v : nullptr;
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Empty when there is no port map directory at all.
std::string LinkPath(int n) {
    const std::string dir = PortMapDir();
    return dir.empty() ? std::string() : dir + "/com" + std::to_string(n);
}

std::vector<std::string> ListDir(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        if (n.compare(0, prefix.size(), prefix) == 0) out.push_back(dir + "/" + n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

// Where /dev and /sys are looked for: DUXK_DEV_ROOT (a fake tree in tests),
// else the real root.
std::string DevRoot() {
    const char* r = EnvOrNull("DUXK_DEV_ROOT");
    std::string root = r ? r : "";
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

std::string Canonical(const std::string& path) {
    char real[PATH_MAX];
    return realpath(path.c_str(), real) ? std::string(real) : path;
}

// The number after `prefix` in a node name such as "ttyACM12", or -1 when
// the rest is not a plain number.
long NodeNumber(const std::string& name, const std::string& prefix) {
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    long n = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

// /dev nodes prefix<number>, in numeric order (ttyACM2 before ttyACM10).
std::vector<std::string> ListNodes(const std::string& devDir, const std::string& prefix) {
    std::vector<std::pair<long, std::string>> found;
    for (const std::string& path : ListDir(devDir, prefix)) {
        long n = NodeNumber(path.substr(devDir.size() + 1), prefix);
        if (n >= 0) found.emplace_back(n, path);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found) out.push_back(f.second);
    return out;
}

// Whether a UART stands behind /dev/<name>. The serial core reports the
// port type in sysfs, 0 when no UART was found at the port. Without a type
// the device link decides; without sysfs at all nothing can be told, and
// the node counts as a port.
bool TtyHasUart(const std::string& root, const std::string& name) {
    struct stat st {};
    const std::string classDir = root + "/sys/class/tty";
    if (stat(classDir.c_str(), &st) != 0) return true;
    const std::string dir = classDir + "/" + name;
    if (FILE* f = std::fopen((dir + "/type").c_str(), "re")) {
        int type = 0;
        bool ok = std::fscanf(f, "%d", &type) == 1;
        std::fclose(f);
        return ok && type != 0;
    }
    return Exists(dir + "/device");
}

// The links com1..com<last> of the map directory, by number, found by
// reading the directory (never by trying every number up to `last`).
std::map<int, std::string> MapLinks(int last) {
    std::map<int, std::string> links;
    const std::string dir = PortMapDir();
    if (dir.empty()) return links;
    for (const std::string& path : ListDir(dir, "com")) {
        const std::string digits = path.substr(dir.size() + 4);
        const int n = ComPortNumber("COM" + digits);
        // Only the name MapPort gives the link counts ("com3", not "com03").
        if (n < 1 || n > last || std::to_string(n) != digits || !IsLink(path)) continue;
        links[n] = path;
    }
    return links;
}

// What a mapped COMn stands for: the link's target as the link holds it.
void FillMapped(PortMapEntry& e, const std::string& link) {
    e.mapped = true;
    char buf[4096];
    ssize_t len = readlink(link.c_str(), buf, sizeof buf - 1);
    e.device = len > 0 ? std::string(buf, static_cast<size_t>(len)) : link;
    e.present = Exists(link);
}

// The devices that COMn without links take, in order: those found on the
// machine that no present link among `links` names.
std::vector<SerialDevice> UnlinkedDevices(const std::map<int, std::string>& links) {
    std::set<std::string> linked;
    for (const auto& [n, link] : links)
        if (Exists(link)) linked.insert(Canonical(link));
    std::vector<SerialDevice> out;
    for (SerialDevice& d : DiscoverSerialDevices())
        if (!linked.count(d.node)) out.push_back(std::move(d));
    return out;
}

// COM1..COMcount: links of the map directory first; without DUXK_PORTS_DIR
// the others take the devices found that no link names, in order.
std::vector<PortMapEntry> AssignPorts(int count) {
    const std::map<int, std::string> links = MapLinks(count);
    std::vector<PortMapEntry> out;
    for (int n = 1; n <= count; ++n) {
        PortMapEntry e;
        e.name = "COM" + std::to_string(n);
        if (auto it = links.find(n); it != links.end()) FillMapped(e, it->second);
        out.push_back(e);
    }
    if (PortMapIsExplicit()) return out;
    const std::vector<SerialDevice> devices = UnlinkedDevices(links);
    auto next = devices.begin();
    for (PortMapEntry& e : out) {
        if (e.mapped) continue;
        if (next == devices.end()) break;
        e.device = next->path;
        e.kind = next->kind;
        e.present = true;
        ++next;
    }
    return out;
}

// The device of COMn that has no link of its own: the one AssignPorts(max(n,
// 7)) gives it, worked out from the links and devices there are.
std::string UnlinkedPortDevice(int n) {
    const std::map<int, std::string> links = MapLinks(std::max(n, 7));
    // COMn takes the device after those taken by the unlinked ports below it.
    const size_t index =
        static_cast<size_t>(n - 1) - static_cast<size_t>(std::distance(links.begin(), links.lower_bound(n)));
    const std::vector<SerialDevice> devices = UnlinkedDevices(links);
    return index < devices.size() ? devices[index].path : std::string();
}

}  // namespace

bool PortMapSupported() { return true; }

const char* PortNameHelp() { return "COM1..COM7 (see 'duxk ports') or device paths such as /dev/ttyUSB0"; }

bool PortMapIsExplicit() { return EnvOrNull("DUXK_PORTS_DIR") != nullptr; }

std::string PortMapDir() {
    if (const char* d = EnvOrNull("DUXK_PORTS_DIR")) return d;
    // Never a shared directory: anyone could plant links to a device of
    // their choosing there.
    std::string base;
    if (const char* x = EnvOrNull("XDG_CONFIG_HOME"))
        base = x;
    else if (const std::string home = platform::HomeDirectory(); !home.empty())
        base = home + "/.config";
    else
        return std::string();
    return base + "/duxkupdate/ports";
}

std::string ResolvePortName(const std::string& name) {
    if (!HasComPortForm(name)) return name;
    const int n = ComPortNumber(name);
    if (n == 0) return std::string();  // COM0, or past the last port number
    std::string link = LinkPath(n);
    if (IsLink(link)) return link;
    if (PortMapIsExplicit()) return std::string();
    return UnlinkedPortDevice(n);
}

bool MapPort(const std::string& comName, const std::string& device, std::string* error) {
    int n = ComPortNumber(comName);
    if (n == 0) {
        if (error) *error = "not a port name of the form COMn: " + comName;
        return false;
    }
    if (device.empty()) {
        if (error) *error = "no device given";
        return false;
    }
    const std::string dir = PortMapDir();
    if (dir.empty()) {
        if (error) *error = "no directory for the port map (set HOME or DUXK_PORTS_DIR)";
        return false;
    }
    if (!platform::MakeDirectories(dir, 0755, error)) return false;
    std::string link = LinkPath(n);
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        if (error) *error = "cannot replace " + link + ": " + std::strerror(errno);
        return false;
    }
    if (symlink(device.c_str(), link.c_str()) != 0) {
        if (error) *error = "cannot create " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool UnmapPort(const std::string& comName, std::string* error) {
    int n = ComPortNumber(comName);
    if (n == 0) {
        if (error) *error = "not a port name of the form COMn: " + comName;
        return false;
    }
    std::string link = LinkPath(n);
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
        if (error) *error = "cannot remove " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

std::vector<PortMapEntry> ListPortMap() { return AssignPorts(7); }

std::vector<SerialDevice> DiscoverSerialDevices() {
    const std::string root = DevRoot();
    const std::string dev = root + "/dev";
    std::vector<SerialDevice> out;
    std::set<std::string> seen;
    for (const std::string& link : ListDir(dev + "/serial/by-id", "")) {
        if (!Exists(link)) continue;  // a link left behind by an adapter that has gone
        std::string node = Canonical(link);
        if (seen.insert(node).second) out.push_back({link, "by-id", node});
    }
    for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS"}) {
        for (const std::string& path : ListNodes(dev, prefix)) {
            if (std::strcmp(prefix, "ttyS") == 0 && !TtyHasUart(root, path.substr(dev.size() + 1))) continue;
            std::string node = Canonical(path);
            if (seen.insert(node).second) out.push_back({path, prefix, node});
        }
    }
    return out;
}

std::vector<std::string> ListSerialDevices() {
    std::vector<std::string> out;
    for (const SerialDevice& d : DiscoverSerialDevices()) out.push_back(d.path);
    return out;
}
