// Text at the edge of the Win32 API: UTF-8 inside the program, UTF-16 for
// the W functions.
#pragma once

#include <string>

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);
std::string Utf8(const wchar_t* wide);
// Bytes from the sensor shown as they are: each byte one Latin-1 character.
std::wstring WideFromLatin1(const std::string& bytes);
