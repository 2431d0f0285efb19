// Windows command-line rules for the Linux builds.
#pragma once

#include <string>
#include <vector>

// Joins arguments into an argument text (the command line after the program
// name) that CommandLineToArgvW splits back into the same elements. The first
// element is read by the program-name rules, which cannot carry a double
// quote together with a blank; such a list gets an empty first element (the
// text starts with a blank), which matches no switch.
std::wstring quoteArgumentText(const std::vector<std::wstring>& arguments);

// Where an empty argument text is split, Windows gives the program's own path.
void setRunningExecutablePath(const std::wstring& path);
