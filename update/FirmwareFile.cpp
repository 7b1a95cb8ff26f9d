// Reading a firmware image: once, whole, from a regular file that does not
// change while it is read. Everything the update sends comes from that copy.
#include "update/UpdateDetail.h"

#include "platform/Files.h"

FirmwareFileState ReadFirmwareFile(const char* path, std::vector<uint8_t>& image, std::string* why) {
    image.clear();
    const std::string name = path ? path : "";
    std::string data, reason;
    long long size = 0;
    FirmwareFileState state = FirmwareFileState::Ok;
    switch (platform::ReadWholeFile(name, kFlashEraseCount, data, &reason, &size)) {
    case platform::WholeFile::Ok:
        if (data.empty()) {
            state = FirmwareFileState::Empty;
            reason = name + ": the file is empty";
        }
        break;
    case platform::WholeFile::CannotOpen: state = FirmwareFileState::CannotOpen; break;
    case platform::WholeFile::Directory: state = FirmwareFileState::Directory; break;
    case platform::WholeFile::NotRegular: state = FirmwareFileState::NotRegular; break;
    case platform::WholeFile::Changed: state = FirmwareFileState::Changed; break;
    case platform::WholeFile::TooLarge:
        state = FirmwareFileState::TooLarge;
        reason = name + ": too large: " + std::to_string(size) + " bytes, the flash area holds at most " +
                 std::to_string(kFlashEraseCount) + " bytes";
        break;
    }
    if (why) *why = state == FirmwareFileState::Ok ? std::string() : reason;
    if (state == FirmwareFileState::Ok) image.assign(data.begin(), data.end());
    return state;
}
