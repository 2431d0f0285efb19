// The whole life of one run, shared by the Windows and the Linux entry points.
#pragma once

// Logs the start, parses and reports the options, applies the value operation
// to every profile and returns the exit code: 0 when the walk over the profile
// list ran, 1 when it did not start.
int runTarnwick(const wchar_t* argumentText);
