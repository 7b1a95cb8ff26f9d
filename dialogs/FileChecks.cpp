#include "dialogs/FileChecks.h"

#include "platform/Files.h"
#include "update/Update.h"

#include <filesystem>

FirmwareInput ReadFirmwareInput(const std::string& path) {
    FirmwareInput input;
    input.path = path;
    if (path.size() >= kJobPathSize) {
        input.nameTooLong = true;
        input.why = "The file name is too long (at most " + std::to_string(kJobPathSize - 1) + " bytes)";
        return input;
    }
    input.state = ReadFirmwareFile(path.c_str(), input.image, &input.why);
    return input;
}

std::string FirmwareRefusalText(const FirmwareInput& input) {
    if (input.path.empty()) return kNoExistingFileText;
    if (input.nameTooLong) return input.why;
    if (input.state == FirmwareFileState::CannotOpen) return std::string(kNoExistingFileText) + "\n" + input.why;
    return input.why;
}

OutputFileState CheckOutputFile(const std::string& path, bool replaceAllowed, std::string* why) {
    std::string reason;
    if (path.empty()) {
        reason = "no file name";
    } else {
        // Anything at the name counts, a dangling link included.
        std::error_code ec;
        const auto status =
            std::filesystem::symlink_status(std::filesystem::path(std::u8string(path.begin(), path.end())), ec);
        if (!replaceAllowed && !ec && std::filesystem::exists(status)) {
            if (why) *why = path + ": the file exists";
            return OutputFileState::Exists;
        }
        // The file will be replaced through a new file beside it: trying
        // that (and throwing the new file away) is the one sure test.
        platform::PendingFile probe;
        if (probe.Begin(path, &reason)) {
            probe.Discard();
            if (why) why->clear();
            return OutputFileState::Ok;
        }
    }
    if (why) *why = reason.rfind(path + ": ", 0) == 0 ? reason : path + ": " + reason;
    return OutputFileState::Unusable;
}
