// The firmware update: driver, transfer-program download and flash telegrams.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstddef>
#include <string>

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
    // The sensor still runs the transfer program of an interrupted update:
    // continue from the flash sequence instead of entering boot mode.
    bool resume = false;
};

// Runs one complete update; 1 after a port error box, otherwise 0.
int UpdateFirmware(const char* transferPrgName, const char* firmwarePath, const char* portName,
                   const char* baudText, uint32_t firstAddressWord, uint32_t secondAddressWord,
                   const UpdateOptions& options = UpdateOptions{});
void ProgramFlash(uint32_t baud, const char* firmwarePath, uint32_t firstAddressWord, uint32_t secondAddressWord,
                  const UpdateOptions& options = UpdateOptions{});
// `why`, when given, follows the code on its own line.
int ShowPortError(int code, const char* text, const std::string& why = {});
void ShowFlashError(const char* text);

int LoadTransferPrg(uint32_t firstAddressWord, uint32_t secondAddressWord);
int LoadFlashContents(const char* firmwarePath);

// The update dialog's job record, shared with its worker thread.
struct UpdateJob {
    std::atomic<int> counter{0};
    std::atomic<uint8_t> startFlag{0};
    char transferPrgName[256] = {};
    char firmwarePath[256] = {};
    char portName[256] = {};
    char baudText[256] = {};
    uint32_t firstAddressWord = kLoadAddressWord;
    uint32_t secondAddressWord = kLoadAddressWord;
    UpdateOptions options;
};
unsigned UpdateWorker(UpdateJob* job);
