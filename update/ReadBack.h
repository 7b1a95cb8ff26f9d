// Reading the sensor's flash back through the transfer program: the read
// telegram, reading a range in chunks, comparing it with an image, saving the
// whole flash into a file, and a read-back session of its own (boot entry,
// download, identify, read, program end) for backup and verify.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CMainFrameCore;

// Progress of the reads in percent (100.01 when a read has ended), read by
// the front ends: the backup (a backup of its own or before an update's
// erase) and the verification.
extern std::atomic<double> BackupProgress;
extern std::atomic<double> VerifyProgress;

// The whole flash, boot area included.
constexpr uint32_t kFlashSize = 0x20000;
// Largest read telegram: its reply length byte (count + 10) must hold the
// whole reply, and the reply buffer holds 256 bytes.
constexpr uint32_t kReadChunkSize = 240;

// Results beyond the update's own codes (their texts: FlashResultMessage).
constexpr int kReadBackDiffers = 0xB01;     // the flash differs from the file
constexpr int kReadBackReadFailed = 0xB02;  // a read telegram gave up
constexpr int kBackupWriteFailed = 0xB03;   // the backup file could not be written

constexpr const char* kReadErrorCaption = "FLASH read error";

// Reads count (1 to kReadChunkSize) bytes at address. The reply is taken only
// when its code is 0xA4, its length is count + 10 and it repeats the width
// index, the address and the count asked for; otherwise the telegram is
// repeated under the retry rule of the flash operations. 0, 0x601 for a
// count out of range, or 0x905 when the retry window ran out.
int flashRead(uint8_t width, uint32_t address, uint32_t count, uint8_t* buffer);

// Reads count bytes from start in chunks of kReadChunkSize, setting *progress
// (may be null) before each chunk and to 100.01 at the end. 0,
// kReadBackReadFailed (the chunk's address is kept for the detail text), or
// the stop code when the user asked to stop (looked at between chunks).
int ReadFlashRange(uint32_t start, uint32_t count, uint8_t* buffer, std::atomic<double>* progress);

// Where two images differ: the first differing offset and how many bytes
// differ (0: equal).
struct FlashDifference {
    uint32_t firstOffset = 0;
    uint32_t count = 0;
};
FlashDifference CompareImages(const uint8_t* expected, const uint8_t* actual, size_t size);

// What a backup file named by the user may be, checked before the sensor is
// looked for.
enum class BackupTarget {
    Ok,
    Unusable,    // no name, a directory, a FIFO, or no file can be made there
    Exists,      // something is at the name and replace was not asked for
    IsFirmware,  // the same file as the firmware image (replace or not)
};
// Checks path as the target of a backup: not firmwarePath (when given) by
// device and inode, through links and other spellings; not an existing file
// unless replace; a file can be made in its directory. Nothing is created or
// changed. `why` (may be null) gets "<path>: <reason>" for anything but Ok.
// A backup is the only copy of the flash as it was: a re-run after a failed
// update must not put a damaged flash over it unasked.
BackupTarget CheckBackupFile(const std::string& path, const std::string& firmwarePath, bool replace,
                             std::string* why = nullptr);
// Writes a backup into path through a new file renamed over it: 0666 less
// the umask when new; a replaced file's permissions and group are kept. With
// replace false an existing path (also one that appeared after the check) is
// kept and the write fails. `why` gets "<path>: <reason>" on failure.
bool WriteBackupFile(const std::string& path, const std::vector<uint8_t>& flash, bool replace, std::string* why);

// Inside an update, with the transfer program running: the whole flash read
// into path (WriteBackupFile), or the programmed range read back and
// compared with the image. 0 or one of the codes above.
int BackupFlashToFile(const std::string& path, bool replace = false);
// Whether the last BackupFlashToFile wrote its file (since the last
// ForgetBackupWritten, which each update starts with).
bool BackupFileWritten();
void ForgetBackupWritten();
int VerifyFlashAgainstImage(const uint8_t* image, uint32_t size);

// The details of the last read-back result with this code (where the reads
// stopped, where the flash differs, why the file could not be written);
// empty for other codes.
std::string ReadBackResultDetail(int code);
FlashDifference LastFlashDifference();

// A read-back session: opens the port, enters boot mode, downloads the
// transfer program, identifies the flash, reads count bytes from the flash
// base into data, ends the program (the sensor restarts, also after a failed
// or stopped read) and hands the port back. True when every byte was read;
// otherwise the failure has been shown as a box with caption
// kReadErrorCaption (or the port error box) and data is incomplete. frame,
// when given, gets the boxes and the port back (see UpdateFrameScope).
bool ReadBackFlash(const char* portName, const char* baudText, uint32_t count, std::vector<uint8_t>& data,
                   std::atomic<double>* progress, CMainFrameCore* frame = nullptr);
