#include "dialogs/Document.h"

#include "platform/Files.h"

#include <filesystem>
#include <fstream>

namespace {
// Names are UTF-8 on every system.
std::filesystem::path PathOf(const std::string& name) {
    return std::filesystem::path(std::u8string(name.begin(), name.end()));
}

std::string Utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}
}  // namespace

void DocumentCore::SetPath(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path p = PathOf(path);
    const std::filesystem::path absolute = std::filesystem::absolute(p, ec);
    path_ = Utf8(ec ? p : absolute);
    title_ = Utf8(p.filename());
}

void DocumentCore::OnNewDocument() {
    path_.clear();
    title_ = kUntitled;
}

bool DocumentCore::OnOpenDocument(const std::string& path) {
    std::error_code ec;
    if (path.empty() || std::filesystem::is_directory(PathOf(path), ec)) return false;
    std::ifstream file(PathOf(path), std::ios::binary);
    if (!file.is_open()) return false;
    SetPath(path);
    return true;
}

bool DocumentCore::OnSaveDocument(const std::string& path) {
    if (path.empty()) return false;
    // The document holds nothing of its own, but the file chosen may be
    // anything (a calibration file, a firmware image, a link to one): it is
    // replaced whole through a temporary file, never truncated in place nor
    // written through a link.
    if (!platform::ReplaceFileAtomically(path, std::string(), platform::kUserFileMode)) return false;
    SetPath(path);
    return true;
}
