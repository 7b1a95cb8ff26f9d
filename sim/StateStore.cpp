#include "sim/StateStore.h"

#include "platform/Files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace sim {

namespace {

std::optional<std::string> ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return std::nullopt;
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

bool StateStore::Prepare(std::string& error) {
    if (!Enabled()) return true;
    return platform::MakeDirectories(dir_, 0755, &error);
}

std::optional<std::vector<uint8_t>> StateStore::LoadFlash(size_t size) const {
    if (!Enabled()) return std::nullopt;
    auto s = ReadFile(dir_ + "/flash.bin");
    if (!s || s->size() != size) return std::nullopt;
    return std::vector<uint8_t>(s->begin(), s->end());
}

std::optional<std::vector<std::string>> StateStore::LoadRecords() const {
    if (!Enabled()) return std::nullopt;
    auto s = ReadFile(dir_ + "/calibration.txt");
    if (!s) return std::nullopt;
    std::vector<std::string> out;
    std::istringstream in(*s);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) out.push_back(line);
    }
    return out;
}

std::optional<std::string> StateStore::LoadSerial() const {
    if (!Enabled()) return std::nullopt;
    auto s = ReadFile(dir_ + "/serial.txt");
    if (!s) return std::nullopt;
    std::string v = *s;
    while (!v.empty() && (v.back() == '\n' || v.back() == '\r' || v.back() == ' ')) v.pop_back();
    if (v.empty()) return std::nullopt;
    return v;
}

bool StateStore::WriteFile(const std::string& name, const std::string& bytes) const {
    if (!Enabled()) return true;
    // Written beside and renamed, so that a crash never leaves half a file.
    const std::string path = dir_ + "/" + name;
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!f) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

bool StateStore::SaveFlash(const std::vector<uint8_t>& cells) const {
    return WriteFile("flash.bin", std::string(cells.begin(), cells.end()));
}

bool StateStore::SaveRecords(const std::vector<std::string>& records) const {
    std::string s;
    for (const auto& r : records) s += r + "\n";
    return WriteFile("calibration.txt", s);
}

bool StateStore::SaveSerial(const std::string& serial) const { return WriteFile("serial.txt", serial + "\n"); }

}  // namespace sim
