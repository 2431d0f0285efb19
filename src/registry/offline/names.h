// Name comparison for the offline volume: NTFS file names and registry key and
// value names are both compared without regard to case by Windows.
#pragma once

#include <string>

namespace offline {

// Upper case as Windows' case tables map it, for ASCII, Latin-1, Latin
// Extended-A, Greek and Cyrillic; other characters compare as they are.
wchar_t upperCaseOf(wchar_t c);
std::wstring upperCased(const std::wstring& text);
bool sameName(const std::wstring& a, const std::wstring& b);
bool isAscii(const std::wstring& text);

}  // namespace offline
