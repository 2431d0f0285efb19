#pragma once

#include <string>

#include "hives/callback.h"
#include "registry/registry.h"

// Opens HKEY_USERS\<mountName> for writing, runs the callback on it and closes
// it. Returns 0, or the open's status (and then logs nothing).
LONG openLoadedKeyAndCallCallback(const wchar_t* mountName, HiveCallback callback);

// Runs the callback on the hive mounted under the name; when none is mounted,
// loads "ntuser.dat" from the profile directory under that name first and
// unloads it afterwards.
void maybeLoadUserHiveAndCallCallback(const wchar_t* mountName, const wchar_t* profileDirectory,
                                      HiveCallback callback);

// "ntuser.dat" appended to a Windows directory path as one more element.
std::wstring joinHiveFilePath(const std::wstring& profileDirectory);
