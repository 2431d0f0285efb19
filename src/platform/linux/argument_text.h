// The argument text of a Linux run, rebuilt from argv as Windows would have
// handed it to the program.
#pragma once

#include <string>
#include <vector>

// Joins arguments into an argument text (the command line after the program
// name) that CommandLineToArgvW splits back into the same elements. The first
// element is read by the program-name rules, which cannot carry a double
// quote together with a blank; such a list gets an empty first element (the
// text starts with a blank), which matches no switch.
std::wstring quoteArgumentText(const std::vector<std::wstring>& arguments);

// Where an empty argument text is split, Windows gives the program's own
// path; main() records it here from argv[0].
void setRunningExecutablePath(const std::wstring& path);
const std::wstring& runningExecutablePath();
