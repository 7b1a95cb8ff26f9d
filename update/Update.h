// The firmware update: driver, transfer-program download and flash telegrams.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

class CMainFrameCore;

// Progress of the three phases in percent; 100.01 marks a finished phase.
extern std::atomic<double> DownloadProgress;
extern std::atomic<double> EraseProgress;
extern std::atomic<double> ProgramProgress;

// The built-in transfer program.
extern const uint8_t kTransferProgram[];
extern const size_t kTransferProgramSize;

constexpr uint32_t kLoadAddressWord = 0x04000100;

// How an update runs beyond its job: the choices of the front ends.
struct UpdateOptions {
    // No host-side idle in the telegram phase (the same bytes on the wire).
    bool fast = false;
    // Read the programmed range back and compare it before the program end.
    bool verify = false;
    // When not empty: save the whole flash into this file before erasing.
    std::string backupPath;
    // The backup may replace an existing file (otherwise one found there
    // stops the update before the erase).
    bool replaceBackup = false;
    // The sensor still runs the transfer program of an interrupted update:
    // continue from the flash sequence instead of entering boot mode.
    bool resume = false;
    // The front end's frame: it gets the update's notes and boxes, and the
    // port back afterwards. Null: they go to the standard error, and the
    // port stays closed.
    CMainFrameCore* frame = nullptr;
};

// Runs one complete update; 1 after a port error box, otherwise 0.
int UpdateFirmware(const char* transferPrgName, const char* firmwarePath, const char* portName, const char* baudText,
                   uint32_t firstAddressWord, uint32_t secondAddressWord,
                   const UpdateOptions& options = UpdateOptions{});
// Boot entry, download and flash sequence with the firmware image in memory.
void ProgramFlash(uint32_t baud, const std::vector<uint8_t>& image, uint32_t firstAddressWord,
                  uint32_t secondAddressWord, const UpdateOptions& options = UpdateOptions{});
// `why`, when given, follows the code on its own line.
int ShowPortError(int code, const char* text, const std::string& why = {});
void ShowFlashError(const char* text);

int LoadTransferPrg(uint32_t firstAddressWord, uint32_t secondAddressWord);
// Erases, programs and verifies the flash from the image; an empty image
// gives -2 and one larger than the erased area 0x601, both before anything
// is sent. With options.backupPath the whole flash is saved into that file
// before the erase; with options.verify the programmed range is read back
// and compared with the image before the program end.
int LoadFlashContents(const uint8_t* image, size_t size, const UpdateOptions& options = UpdateOptions{});

// Room for a path in the job record: any path the system can open fits.
constexpr size_t kJobPathSize = PATH_MAX;

// The update dialog's job record, shared with its worker thread.
struct UpdateJob {
    std::atomic<int> counter{0};
    std::atomic<uint8_t> startFlag{0};
    char transferPrgName[256] = {};
    char firmwarePath[kJobPathSize] = {};
    char portName[kJobPathSize] = {};
    char baudText[256] = {};
    uint32_t firstAddressWord = kLoadAddressWord;
    uint32_t secondAddressWord = kLoadAddressWord;
    UpdateOptions options;
    // The worker sleeps on this until the start flag or the counter changes;
    // StartUpdateJob and CloseUpdateJob wake it.
    std::mutex wakeMutex;
    std::condition_variable wake;
};
// The worker's procedure: blocks (without using the processor) until the
// job is started or closed, runs the one update when started, then clears
// the start flag and adds 2 to the counter.
unsigned UpdateWorker(UpdateJob* job);
// The window's two moves: set the start flag, or add 1 to the counter as it
// closes; each wakes the waiting worker. A flag set before the worker
// starts needs no wake-up.
void StartUpdateJob(UpdateJob* job);
void CloseUpdateJob(UpdateJob* job);
