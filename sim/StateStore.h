// Persistence of a virtual sensor across runs (--state DIR): the flash
// contents (flash.bin, 128 KiB), the calibration records (calibration.txt,
// one record a line) and the serial number (serial.txt).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class StateStore {
public:
    explicit StateStore(std::string dir) : dir_(std::move(dir)) {}
    bool Enabled() const { return !dir_.empty(); }
    bool Prepare(std::string& error);  // creates the directory

    std::optional<std::vector<uint8_t>> LoadFlash(size_t size) const;
    std::optional<std::vector<std::string>> LoadRecords() const;
    std::optional<std::string> LoadSerial() const;

    bool SaveFlash(const std::vector<uint8_t>& cells) const;
    bool SaveRecords(const std::vector<std::string>& records) const;
    bool SaveSerial(const std::string& serial) const;

private:
    bool WriteFile(const std::string& name, const std::string& bytes) const;
    std::string dir_;
};

}  // namespace sim
