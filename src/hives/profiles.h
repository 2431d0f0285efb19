#pragma once

#include <string>
#include <vector>

#include "hives/callback.h"
#include "hives/user_hive.h"
#include "registry/registry.h"

// Walks the machine's profile list (and, when asked, the default profile) and
// runs the callback on the given hive of every profile. False when the walk
// could not start: no callback, no restore privilege, or no access to the
// profile list.
bool enumAllUserRegHives(bool includeDefaultProfile, UserHive hive, HiveCallback callback);

// One of a profile's hives and what is done in it.
struct HiveWork {
    UserHive hive;
    HiveCallback callback;
};

// The same walk with work in several of each profile's hives: for every
// profile, each hive of the list in turn, loaded (when it must be), worked on
// and unloaded before the next. False as above, or when a callback is empty.
bool enumAllUserRegHives(bool includeDefaultProfile, const std::vector<HiveWork>& work);

// Reads a REG_SZ or REG_EXPAND_SZ value and expands environment references in
// it. subKeyName may be null to read from the key itself. The output is only
// assigned on success.
bool readStringOrExpandStringValue(HKEY key, const wchar_t* subKeyName, const wchar_t* valueName,
                                   std::wstring& output);
