// The emulated registry's state, for the providers: the hives mounted under
// HKEY_LOCAL_MACHINE and HKEY_USERS, and the open handles. The registry calls
// themselves are in registry_keys.cpp and registry_values.cpp.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/emulation/hive.h"
#include "platform/winapi.h"

namespace emulation {

// Mounts the hive under the predefined root, as a loaded hive (one that
// RegUnLoadKeyW may take away) or as one of the machine's own.
void mount(HKEY root, const std::wstring& name, std::shared_ptr<Hive> hive, bool unloadable);
// The hive mounted under the root by that name, or null.
std::shared_ptr<Hive> mountedHive(HKEY root, const std::wstring& name);

// Back to the state of a fresh process: no handle open, nothing mounted. The
// hives are dropped as they are, not unmounted.
void resetRegistry();
// Open key handles, for checking that every one is closed.
int openKeyCount();

// A key path split into its key names; runs of backslashes and a backslash at
// the end make no empty name, as in Windows.
std::vector<std::wstring> splitKeyPath(const wchar_t* path);
// ERROR_BAD_PATHNAME for a subkey path that starts at a backslash, which
// Windows refuses (it names no key below the handle's); else ERROR_SUCCESS.
LONG checkSubKeyPath(const wchar_t* path);
// The key at the path of key names below the hive's root; statuses as
// Hive::findChild.
LONG findKey(Hive& hive, const std::vector<std::wstring>& path, KeyId& key);
// The position of the value of that name among the names, or newValue.
std::size_t findValue(const std::vector<std::wstring>& names, const std::wstring& name);

}  // namespace emulation
