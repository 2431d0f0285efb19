// What reading a registry file needs from the platform: the whole file, named
// as the platform names files (a Windows path in tarnwick.exe; a path on the
// host, not on the offline volume, in the Linux tool).
#pragma once

#include <string>
#include <vector>

#include "registry/registry.h"

// ---- Implemented by the platform (src/platform/<platform>/read_file.cpp) ----

// Reads the whole regular file at path into bytes. ERROR_SUCCESS, or the
// Windows error number with the name of the call that failed ("CreateFileW",
// "ReadFile"; on Linux "open", "read"): 2 for a missing file, 3 for a missing
// folder, 5 for a folder or a file that may not be read.
DWORD readWholeFile(const std::wstring& path, std::vector<unsigned char>& bytes, const char*& failedCall);
