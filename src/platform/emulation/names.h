// Name comparison as Windows makes it: registry key, value and mount names,
// environment variable names and NTFS file names all compare without regard
// to case, by the upper-case mapping of Windows' case tables.
#pragma once

#include <string>

namespace emulation {

// Upper case as Windows' case tables map it, for ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic; other characters compare as they are.
wchar_t upperCaseOf(wchar_t c);
std::wstring upperCased(const std::wstring& text);
bool sameName(const std::wstring& a, const std::wstring& b);
bool isAscii(const std::wstring& text);

}  // namespace emulation
