#include "calibration/PackBlock.h"

#include <cstdlib>

CTokenList::CTokenList(const std::string& text, char delimiter) {
    std::string current;
    for (char c : text) {
        if (c == delimiter) {
            tokens_.push_back(std::move(current));
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    tokens_.push_back(std::move(current));
}

std::string CTokenList::GetToken(int index) const {
    if (index < 0 || index >= GetCount()) throw std::out_of_range("Index out of Bounds");
    return tokens_[static_cast<size_t>(index)];
}

namespace {

bool IsTrailingSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Trailing white space first, then the trailing underscores, each once.
void TrimLine(std::string& line) {
    size_t end = line.size();
    while (end > 0 && IsTrailingSpace(line[end - 1])) --end;
    while (end > 0 && line[end - 1] == '_') --end;
    line.resize(end);
}

bool HasLineMarker(const std::string& line) {
    return line.find("pack ") != std::string::npos || line.find("PACK ") != std::string::npos ||
           line.find("Pack ") != std::string::npos;
}

const char kHeaderMarker[] = " pack ";
constexpr size_t kHeaderMarkerLength = sizeof(kHeaderMarker) - 1;

// Reads a field the way atoi does: leading white space, optional sign,
// digits up to the first non-digit; no digits read as 0.
long FieldValue(const std::string& text, size_t pos, size_t length) {
    if (pos >= text.size()) return 0;
    const std::string field = text.substr(pos, length);
    return std::strtol(field.c_str(), nullptr, 10);
}

}  // namespace

std::string ParsePackBlock(const std::string& text, bool fromFirstPack) {
    // Text without a single CR LF pair is not line-structured yet: shown as is.
    if (text.find("\r\n") == std::string::npos) return text;

    CTokenList lines(text, '\n');
    std::string result;
    result.reserve(text.size() + 2);
    bool found = false;
    for (int i = 0; i < lines.GetCount(); ++i) {
        std::string line = lines.GetToken(i);
        TrimLine(line);
        if (HasLineMarker(line)) found = true;
        if (!fromFirstPack || found) {
            result += line;
            result += "\r\n";
        }
    }
    return result;
}

bool IsPackBlockComplete(const std::string& text) {
    const size_t marker = text.find(kHeaderMarker);
    if (marker == std::string::npos) return false;
    // The marker's closing space, the block count and one more space.
    std::string pattern = text.substr(marker + kHeaderMarkerLength - 1, 3);
    pattern += ' ';
    return text.find(pattern) != std::string::npos;
}

std::optional<double> PackBlockProgress(const std::string& text) {
    const size_t marker = text.find(kHeaderMarker);
    if (marker == std::string::npos) return std::nullopt;
    const long count = FieldValue(text, marker + kHeaderMarkerLength, 2);

    const size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0) return std::nullopt;
    if (text.size() - at - 1 < 4) return std::nullopt;
    const long record = FieldValue(text, at + 4, 2);

    if (count == 0) return 0.0;
    return static_cast<double>(record) * 100.0 / static_cast<double>(count);
}
