#include "sim/FirmwareImage.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

void PutLe32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(x >> (8 * i));
}

uint32_t GetLe32(const std::vector<uint8_t>& v, size_t at) {
    uint32_t x = 0;
    for (int i = 0; i < 4; ++i) x |= static_cast<uint32_t>(v[at + i]) << (8 * i);
    return x;
}

bool IsDigit(uint8_t c) { return c >= '0' && c <= '9'; }

}  // namespace

std::vector<uint8_t> MakeFirmwareImage(const std::string& version, uint32_t size) {
    std::string text = "VER=" + version;
    text.push_back('\0');
    text += "DUX-K52 application firmware V" + version;
    text.push_back('\0');
    const uint32_t minSize = kImageHeaderSize + static_cast<uint32_t>(text.size());
    if (size < minSize) size = minSize;
    if (size > kAppAreaSize) size = kAppAreaSize;

    std::vector<uint8_t> img(size, 0);
    std::memcpy(img.data(), "DKFW", 4);
    std::memcpy(img.data() + kImageHeaderSize, text.data(), text.size());

    // Code-like filler: a linear congruential sequence seeded from the
    // version, so that two versions differ everywhere. Letters are avoided
    // so that no second "VER=" can appear by chance.
    uint32_t seed = 0x2545F491u;
    for (char c : version) seed = seed * 31u + static_cast<uint8_t>(c);
    for (uint32_t i = minSize; i < size; ++i) {
        seed = seed * 1664525u + 1013904223u;
        uint8_t b = static_cast<uint8_t>(seed >> 24);
        if (b >= 'A' && b <= 'z') b = static_cast<uint8_t>(b ^ 0x80);
        img[i] = b;
    }

    uint32_t sum = 0;
    for (uint32_t i = kImageHeaderSize; i < size; ++i) sum += img[i];
    PutLe32(img, 4, size);
    PutLe32(img, 8, sum);
    return img;
}

bool ApplicationValid(const std::vector<uint8_t>& flash) {
    if (flash.size() < kAppAreaSize) return false;
    if (std::memcmp(flash.data(), "DKFW", 4) != 0) return false;
    const uint32_t len = GetLe32(flash, 4);
    if (len < kImageHeaderSize || len > kAppAreaSize) return false;
    uint32_t sum = 0;
    for (uint32_t i = kImageHeaderSize; i < len; ++i) sum += flash[i];
    return sum == GetLe32(flash, 8);
}

std::optional<std::string> FindVersionMarker(const std::vector<uint8_t>& flash) {
    static const char kMarker[] = "VER=";
    for (size_t i = 0; i + 4 <= flash.size(); ++i) {
        if (std::memcmp(flash.data() + i, kMarker, 4) != 0) continue;
        // x.yy: one or more digits, a point, digits.
        size_t p = i + 4;
        std::string v;
        while (p < flash.size() && IsDigit(flash[p]) && v.size() < 4) v.push_back(static_cast<char>(flash[p++]));
        if (v.empty() || p >= flash.size() || flash[p] != '.') continue;
        v.push_back('.');
        ++p;
        size_t frac = 0;
        while (p < flash.size() && IsDigit(flash[p]) && frac < 4) {
            v.push_back(static_cast<char>(flash[p++]));
            ++frac;
        }
        if (frac == 0) continue;
        return v;
    }
    return std::nullopt;
}

std::vector<uint8_t> BootAreaImage() {
    std::vector<uint8_t> area(kBootAreaSize, 0xFF);
    // Recognisable, position-dependent lines; the last 32 bytes stay erased
    // like the unused end of a real boot block.
    size_t at = 0;
    for (unsigned line = 0; at + 64 <= kBootAreaSize - 32; ++line) {
        char buf[96];
        std::snprintf(buf, sizeof buf, "DUX-K52 BOOT FIRMWARE 1.02 block %04X loader+monitor (resident)", line);
        std::string text(buf);
        text.resize(63, ' ');
        text.push_back('\n');
        std::memcpy(area.data() + at, text.data(), 64);
        at += 64;
    }
    return area;
}

}  // namespace sim
