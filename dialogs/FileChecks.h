// The checks made on the files a user names, before anything is sent to the
// sensor: a firmware image to program or to compare with, and a file to be
// written whole (a flash backup). Both desktop applications and the command
// line make the same checks; each words the refusal in its own way.
#pragma once

#include "update/UpdateDetail.h"

#include <cstdint>
#include <string>
#include <vector>

// A firmware image named by the user, read once, whole, as the update reads
// it (a regular file of 1 to 114,688 bytes that does not change meanwhile).
struct FirmwareInput {
    std::string path;
    bool nameTooLong = false;  // longer than an update job can carry: not read
    FirmwareFileState state = FirmwareFileState::CannotOpen;
    std::string why;             // "<path>: <reason>" unless Ok
    std::vector<uint8_t> image;  // the bytes, when Ok
    bool Ok() const { return !nameTooLong && state == FirmwareFileState::Ok; }
};
FirmwareInput ReadFirmwareInput(const std::string& path);

// The desktop dialogs' "File Error" texts.
constexpr const char* kFileErrorCaption = "File Error";
constexpr const char* kNoExistingFileText = "Please enter the name of an existing file";
// The box text for an unusable firmware input: the request for an existing
// file when none could be opened (with the reason below it), else the reason.
std::string FirmwareRefusalText(const FirmwareInput& input);

// A file to be written whole: created, or replaced through a new file
// renamed over it. Exists: something stands at the name and replacing was
// not allowed. Unusable: it could not be created or replaced (a directory, a
// FIFO or a device at the name, a missing or read-only directory). `why`
// gets "<path>: <reason>" for both. Nothing is created or changed.
enum class OutputFileState { Ok, Exists, Unusable };
OutputFileState CheckOutputFile(const std::string& path, bool replaceAllowed, std::string* why);
