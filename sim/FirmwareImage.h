// Layout of the sensor's flash as the virtual sensor's resident firmware sees
// it, and the sample application images it can run.
//
// The flash is 128 KiB at linear 0x80000. The application area is the lower
// 112 KiB (0x80000..0x9BFFF, the part an update erases); the top 16 KiB
// (0x9C000..0x9FFFF) hold the boot firmware and are never erased.
//
// An application image starts with a 12-byte header:
//   bytes 0..3   magic "DKFW"
//   bytes 4..7   image length L in bytes, header included, LSB first
//   bytes 8..11  32-bit sum of image bytes 12..L-1, LSB first
// The boot firmware starts the application only when the magic matches,
// 12 <= L <= 0x1C000 and the sum over the flash contents matches. An erased
// or partly programmed application area therefore keeps the sensor in its
// boot firmware.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

constexpr uint32_t kFlashBase = 0x80000;
constexpr uint32_t kFlashSize = 0x20000;
constexpr uint32_t kAppAreaSize = 0x1C000;
constexpr uint32_t kBootAreaOffset = 0x1C000;  // offset in the flash
constexpr uint32_t kBootAreaSize = kFlashSize - kBootAreaOffset;
constexpr uint32_t kImageHeaderSize = 12;

// Builds an application image of `size` bytes (at least the header and the
// version text) carrying the marker "VER=<version>". Deterministic: the same
// version and size give the same bytes.
std::vector<uint8_t> MakeFirmwareImage(const std::string& version, uint32_t size);

// Whether the flash (all 128 KiB, offset 0 = 0x80000) holds a startable
// application by the header rule above.
bool ApplicationValid(const std::vector<uint8_t>& flash);

// Version text of the first "VER=x.yy" marker in the flash, if any.
std::optional<std::string> FindVersionMarker(const std::vector<uint8_t>& flash);

// The boot firmware's 16 KiB as they are placed in a new sensor's flash.
std::vector<uint8_t> BootAreaImage();

}  // namespace sim
