#include "dialogs/FileChecks.h"

#include "platform/Files.h"
#include "update/ReadBack.h"
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
    // The backup's own check: anything at the name counts (a dangling link
    // included), and a file must be possible in its directory.
    switch (CheckBackupFile(path, std::string(), replaceAllowed, why)) {
    case BackupTarget::Ok: return OutputFileState::Ok;
    case BackupTarget::Exists: return OutputFileState::Exists;
    default: return OutputFileState::Unusable;
    }
}
