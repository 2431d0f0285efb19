// Text conversions at the edges of the Linux builds: UTF-8 for the command
// line and file names, UTF-16LE inside hive files. wchar_t is UTF-32 here.
#pragma once

#include <string>

// Invalid sequences become U+FFFD.
std::wstring wideFromUtf8(const std::string& text);
std::string utf8FromWide(const std::wstring& text);

// UTF-16 units and back, unit for unit: an unpaired surrogate stays the unit
// it is, so that a name read from a hive finds the same key when given back.
std::u16string utf16FromWide(const std::wstring& text);
std::wstring wideFromUtf16(const std::u16string& units);

// Unpaired surrogates become U+FFFD.
std::wstring wideFromUtf16le(const unsigned char* bytes, std::size_t count);
std::string utf16leFromWide(const std::wstring& text);
