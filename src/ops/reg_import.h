// A registry file's HKEY_CURRENT_USER changes applied to a user's hives: read
// and checked whole before anything happens, then applied in each hive in
// the file's order.
#pragma once

#include <string>
#include <vector>

#include "hives/user_hive.h"
#include "ops/reg_file.h"
#include "registry/registry.h"

// Reads and checks the file. On success logs what it holds; otherwise logs
// the one line that names the file, the line and what is wrong, and returns
// false: nothing of the file may then be applied anywhere.
bool readRegistryFile(const std::wstring& path, RegFile& file);

// The user's hives the file changes, the profile hive before the classes
// hive; the profile hive alone for a file without changes, so that the walk
// still reaches every profile.
std::vector<UserHive> hivesOfRegistryFile(const RegFile& file);

// Applies the file's changes that belong in the given hive, below its root,
// in the file's order. A change that fails is logged with its line and the
// rest still applied; a key that is not there to delete, or a value, is no
// failure. The values of a key that could not be created are not set.
void importFunc(const RegFile& file, UserHive hive, HKEY hiveRoot);
