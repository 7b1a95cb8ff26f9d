// Text operations on the sensor's listings: line normalisation of a reply,
// completeness and progress of a calibration pack block. All of them are
// pure functions of the text handed in; callers pass the whole reply
// collected since their request on every timer tick.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// An ordered list of the pieces of a text split at a one-character
// delimiter. The piece after the last delimiter is always stored, also when
// it is empty, so the count is the number of delimiters plus one.
class CTokenList {
public:
    CTokenList(const std::string& text, char delimiter);

    int GetCount() const { return static_cast<int>(tokens_.size()); }
    // A copy of the token at index; an index outside 0..count-1 throws
    // std::out_of_range with the text "Index out of Bounds".
    std::string GetToken(int index) const;

private:
    std::vector<std::string> tokens_;
};

// Normalises reply text line by line: each line loses its trailing white
// space and then its trailing underscores and ends in "\r\n". With
// fromFirstPack the result starts at the first line carrying "pack ",
// "PACK " or "Pack ". Text without any CR LF pair is returned unchanged.
std::string ParsePackBlock(const std::string& text, bool fromFirstPack);

// True when the block count of the first " pack " header, set between
// spaces, occurs anywhere in the text.
bool IsPackBlockComplete(const std::string& text);

// The latest record number (after the last '@') against the header's block
// count, in percent; no value when the text has no header or no usable record.
std::optional<double> PackBlockProgress(const std::string& text);
