// The registry operations that tarnwick calls, and what its callers rely on in
// their results. In tarnwick.exe Windows' advapi32 answers them (with the load
// mended in src/platform/windows); in the Linux builds the emulation of
// Windows' rules in src/platform/emulation answers them over a store: the hive
// files of an offline volume, or memory in the unit tests. The contract suite
// in tests/contract checks every provider, Windows' own under Wine included.
//
// Each returns a registry status, 0 for success. tarnwick acts on no status
// other than those named here; any other is only logged.
//
//   RegOpenKeyExW(HKEY_LOCAL_MACHINE, profile list path, 0, KEY_READ)
//       0 and a key whose subkeys can be listed and whose values can be read.
//   RegOpenKeyExW(HKEY_USERS, mount name, 0, KEY_WRITE)
//       0 and a key below which values can be set and deleted;
//       ERROR_FILE_NOT_FOUND exactly when no key of that name is directly
//       under HKEY_USERS.
//   RegEnumKeyExW(profile list key, index 0, 1, ..., 1024-character buffer)
//       0 with the name of the subkey at that index, terminated, and its
//       length in characters without the terminator; ERROR_NO_MORE_ITEMS
//       once the index is past the last subkey.
//   RegGetValueW(key, subkey or null, value name,
//                RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, no type,
//                5200-byte buffer)
//       0 with the text as stored, terminated, references not expanded; not
//       0 when the value is missing, is of another type or does not fit.
//   RegLoadKeyW(HKEY_USERS, mount name, hive file path)
//       0 once the file's hive is mounted under the name and opens by it. A
//       missing file is never created in its place.
//   RegUnLoadKeyW(HKEY_USERS, mount name)
//       0 once the hive is no longer mounted.
//   RegSetKeyValueW(hive root, subkey, value name, REG_SZ, text with its
//                   terminator, its size in bytes)
//       0 once the value holds the text; missing keys of the subkey path are
//       created first.
//   RegDeleteKeyValueW(hive root, subkey, value name)
//       0 once the value is gone; not 0 when the subkey or the value does not
//       exist.
//   RegCloseKey(a key opened above)
//       0 once the key is closed.
//
// The order callers keep: a key is closed after its last use; a hive is
// unloaded only after the root key opened on it is closed; the profile list
// key stays open while hives are loaded and unloaded.
#pragma once

#include "platform/winapi.h"
