#pragma once

#include <string>

#include "hives/callback.h"
#include "hives/user_hive.h"
#include "registry/registry.h"

// Opens HKEY_USERS\<mountName> for writing, runs the callback on it and closes
// it. Returns 0, or the open's status (and then logs nothing).
LONG openLoadedKeyAndCallCallback(const wchar_t* mountName, HiveCallback callback);

// Runs the callback on one of the profile's hives, mounted under the name that
// userHiveMountName gives for the profile's mount name; when none is mounted
// there, loads the hive's file from the profile directory under that name
// first and unloads it afterwards.
void maybeLoadUserHiveAndCallCallback(const wchar_t* profileMountName, const wchar_t* profileDirectory,
                                      UserHive hive, HiveCallback callback);

// The hive's file path ("ntuser.dat", or the classes hive's path below the
// profile) appended to a Windows directory path as one more element.
std::wstring joinHiveFilePath(const std::wstring& profileDirectory, UserHive hive);
